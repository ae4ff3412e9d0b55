// The arrival watcher against the bench's udev stand-ins.
#include "fault.h"
#include "udev_bench.h"
#include "udevwrapper.h"

#include <gtest/gtest.h>

namespace {

struct Watcher : testing::Test {
    sim::UdevBench* udev = &sim::UdevBench::install();
    void TearDown() override { sim::UdevBench::uninstall(); }
};

// What the watcher holds: "<bus> <devnum> <vendor> <product> <port>", and whether a record.
std::string held(const UdevWrapper& w) {
    return std::to_string(w.bus_num) + " " + std::to_string(w.dev_num) + " " +
           std::to_string(w.vend_num) + " " + std::to_string(w.prod_num) + " " + w.port +
           (w.dev != nullptr ? " record" : "");
}

} // namespace

TEST_F(Watcher, TakesOneWholeDeviceEventPerPoll) {
    {
        UdevWrapper watcher;
        EXPECT_FALSE(watcher.poll(0)); // nothing pending: returns at once, with no device
        EXPECT_EQ(held(watcher), "0 0 0 0 ");
        udev->bench().plug(1, 5);
        udev->bench().plug(12, 7, 0x046D, 0xC52B);
        // The interface events in between never reach the watcher.
        ASSERT_TRUE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "1 5 1003 12260 1-5 record");
        ASSERT_TRUE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "12 7 1133 50475 12-7 record");
        EXPECT_FALSE(watcher.poll(0));
        EXPECT_EQ(udev->live_records(), 0u); // each record is released once used
        udev->bench().plug(2, 2);
        ASSERT_TRUE(watcher.poll(0));
    }
    // Released at the end, the record held last too.
    EXPECT_EQ(udev->live_records() + udev->live_monitors() + udev->live_contexts(), 0u);
}

// An event of which any attribute cannot be read gives nothing, and leaves nothing behind:
// the fields of the device before it are cleared.
TEST_F(Watcher, UnreadableAttributesGiveNothing) {
    for (const char* fault : {"noattr", "noattr@0", "noattr@1", "noattr@2", "noattr@3", ""}) {
        SCOPED_TRACE(fault);
        UdevWrapper watcher;
        udev->bench().plug(3, 3);
        ASSERT_TRUE(watcher.poll(0));
        sim::SimDevice& device = udev->bench().plug(1, 5);
        if (*fault != '\0')
            device.add_fault(*sim::parse_fault(fault));
        else if (watcher.poll(0)) // a removal carries no readable attributes
            udev->bench().unplug(device);
        EXPECT_FALSE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "0 0 0 0 ");
        EXPECT_EQ(udev->live_records(), 0u);
        udev->bench().unplug(*udev->bench().find(3, 3));
        if (*fault != '\0')
            udev->bench().unplug(device);
        while (watcher.poll(0)) {
        }
    }
}

TEST_F(Watcher, FailedInitEndsTheProgram) {
    udev->set_udev_new_fails(true);
    EXPECT_EXIT(UdevWrapper(), testing::ExitedWithCode(1), "error: udev init");
}
