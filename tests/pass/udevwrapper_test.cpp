// The arrival watcher against the bench's udev stand-ins.
#include "udev_bench.h"
#include "udevwrapper.h"

#include <gtest/gtest.h>

namespace {

struct Watcher : testing::Test {
    sim::UdevBench* udev = nullptr;
    void SetUp() override { udev = &sim::UdevBench::install(); }
    void TearDown() override { sim::UdevBench::uninstall(); }
};

} // namespace

TEST_F(Watcher, TakesOneWholeDeviceEventPerPoll) {
    UdevWrapper watcher;
    EXPECT_FALSE(watcher.poll(0)); // nothing pending: returns at once

    udev->bench().plug(1, 5);
    udev->bench().plug(12, 7, 0x046D, 0xC52B);
    ASSERT_TRUE(watcher.poll(0));
    EXPECT_EQ(watcher.bus_num, 1);
    EXPECT_EQ(watcher.dev_num, 5);
    EXPECT_EQ(watcher.vend_num, 1003);
    EXPECT_EQ(watcher.prod_num, 12260);
    // The interface events in between never reach the watcher.
    ASSERT_TRUE(watcher.poll(0));
    EXPECT_EQ(watcher.bus_num, 12);
    EXPECT_EQ(watcher.dev_num, 7);
    EXPECT_EQ(watcher.vend_num, 0x046D);
    EXPECT_FALSE(watcher.poll(0));
    EXPECT_EQ(udev->live_records(), 0u); // each record is released once used
}

TEST_F(Watcher, UnreadableAttributesGiveNothing) {
    UdevWrapper watcher;
    sim::SimDevice& device = udev->bench().plug(1, 5);
    ASSERT_TRUE(watcher.poll(0));
    udev->bench().unplug(device); // its removal carries no readable attributes
    EXPECT_FALSE(watcher.poll(0));
    EXPECT_EQ(watcher.bus_num, 0);
    EXPECT_EQ(watcher.dev_num, 0);
    EXPECT_EQ(watcher.vend_num, 0);
    EXPECT_EQ(watcher.prod_num, 0);
    EXPECT_EQ(watcher.dev, nullptr);
    EXPECT_EQ(udev->live_records(), 0u);
}

TEST_F(Watcher, ReleasesEverythingAtTheEnd) {
    {
        UdevWrapper watcher;
        udev->bench().plug(1, 5);
        ASSERT_TRUE(watcher.poll(0));
    }
    EXPECT_EQ(udev->live_records(), 0u);
    EXPECT_EQ(udev->live_monitors(), 0u);
    EXPECT_EQ(udev->live_contexts(), 0u);
}

TEST_F(Watcher, FailedInitEndsTheProgram) {
    udev->set_udev_new_fails(true);
    EXPECT_EXIT(UdevWrapper(), testing::ExitedWithCode(1), "error: udev init");
}
