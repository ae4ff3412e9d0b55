// The arrival watcher against the bench's udev stand-ins.
#include "fault.h"
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
    EXPECT_EQ(watcher.port, "1-5");
    // The interface events in between never reach the watcher.
    ASSERT_TRUE(watcher.poll(0));
    EXPECT_EQ(watcher.bus_num, 12);
    EXPECT_EQ(watcher.dev_num, 7);
    EXPECT_EQ(watcher.vend_num, 0x046D);
    EXPECT_FALSE(watcher.poll(0));
    EXPECT_EQ(udev->live_records(), 0u); // each record is released once used
}

// An event of which any attribute cannot be read gives nothing, and leaves nothing behind.
TEST_F(Watcher, UnreadableAttributesGiveNothing) {
    for (const char* fault : {"noattr", "noattr@0", "noattr@1", "noattr@2", "noattr@3", ""}) {
        SCOPED_TRACE(fault);
        UdevWrapper watcher;
        sim::SimDevice& device = udev->bench().plug(1, 5);
        if (*fault != '\0') {
            device.add_fault(*sim::parse_fault(fault));
        } else {
            ASSERT_TRUE(watcher.poll(0));
            udev->bench().unplug(device); // its removal carries no readable attributes
        }
        EXPECT_FALSE(watcher.poll(0));
        EXPECT_EQ(watcher.bus_num, 0);
        EXPECT_EQ(watcher.dev_num, 0);
        EXPECT_EQ(watcher.vend_num, 0);
        EXPECT_EQ(watcher.prod_num, 0);
        EXPECT_EQ(watcher.port, "");
        EXPECT_EQ(watcher.dev, nullptr);
        EXPECT_EQ(udev->live_records(), 0u);
        if (*fault != '\0')
            udev->bench().unplug(device);
        while (watcher.poll(0)) {
        }
    }
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
