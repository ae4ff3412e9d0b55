// The bench's arrival events and clock, seen through the libudev and usleep
// stand-ins the way the program uses them.
#include "sim_clock.h"
#include "udev_bench.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <sys/select.h>
#include <unistd.h>
#include <usb.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kBus = 1;
constexpr int kDevnum = 5;

// A monitor made as the program makes it, released by the destructor.
struct Monitor {
    explicit Monitor(bool filtered = true) {
        context = udev_new();
        monitor = udev_monitor_new_from_netlink(context, "udev");
        if (filtered)
            udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
        udev_monitor_enable_receiving(monitor);
        fd = udev_monitor_get_fd(monitor);
    }
    ~Monitor() {
        udev_monitor_unref(monitor);
        udev_unref(context);
    }

    // select() with a zero time-out, as the wait loop polls.
    bool readable() const {
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        timeval no_wait{};
        return select(fd + 1, &fds, nullptr, nullptr, &no_wait) > 0 && FD_ISSET(fd, &fds);
    }

    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    int fd = -1;
};

// What one received event showed, taken as the program reads it.
struct Seen {
    std::string action;
    std::string devtype;
    std::vector<std::string>
        attributes; // busnum, devnum, idVendor, idProduct; "NULL" if unreadable
};

std::string text_or_null(const char* text) {
    return text ? text : "NULL";
}

// Receives one event and releases its record; nothing when none came.
std::optional<Seen> take(Monitor& monitor) {
    udev_device* record = udev_monitor_receive_device(monitor.monitor);
    if (!record)
        return std::nullopt;
    Seen seen{text_or_null(udev_device_get_action(record)),
              text_or_null(udev_device_get_devtype(record)),
              {}};
    for (const char* name : {"busnum", "devnum", "idVendor", "idProduct"})
        seen.attributes.push_back(text_or_null(udev_device_get_sysattr_value(record, name)));
    udev_device_unref(record);
    return seen;
}

using Attributes = std::vector<std::string>;
const Attributes kUnreadable = {"NULL", "NULL", "NULL", "NULL"};

class UdevTest : public ::testing::Test {
  protected:
    void SetUp() override { layer = &sim::UdevBench::install(); }
    void TearDown() override { sim::UdevBench::uninstall(); }

    sim::Bench& bench() { return layer->bench(); }

    sim::SimDevice& plug_with_fault(const char* fault) {
        sim::SimDevice& device = bench().plug(kBus, kDevnum);
        device.add_fault(*sim::parse_fault(fault));
        return device;
    }

    sim::UdevBench* layer = nullptr;
};

// ---- the monitor

TEST_F(UdevTest, MonitorFdIsReadableExactlyWhileAnEventIsQueued) {
    Monitor monitor;
    EXPECT_FALSE(monitor.readable());
    bench().plug(kBus, kDevnum);
    bench().plug(kBus, kDevnum + 1);
    EXPECT_TRUE(monitor.readable());
    ASSERT_TRUE(take(monitor));
    EXPECT_TRUE(monitor.readable());
    EXPECT_FALSE(layer->all_events_taken());
    ASSERT_TRUE(take(monitor));
    EXPECT_FALSE(monitor.readable());
    EXPECT_TRUE(layer->all_events_taken());
    EXPECT_FALSE(take(monitor));
}

TEST_F(UdevTest, EventsComeOutOnePerReceiveInOrder) {
    Monitor monitor;
    bench().plug(kBus, kDevnum);
    bench().plug(12, 127, 0x1234, 0xABCD);

    const auto first = take(monitor);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->action, "add");
    EXPECT_EQ(first->devtype, "usb_device");
    EXPECT_EQ(first->attributes, Attributes({"1", "5", "03eb", "2fe4"}));
    const auto second = take(monitor);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->attributes, Attributes({"12", "127", "1234", "abcd"}));
    EXPECT_FALSE(take(monitor));
}

TEST_F(UdevTest, FilteredMonitorNeverDeliversInterfaceEvents) {
    Monitor filtered;
    Monitor everything(false);
    bench().plug(kBus, kDevnum);

    ASSERT_EQ(layer->stream().size(), 2u);
    EXPECT_EQ(layer->stream()[1].devtype, "usb_interface");
    const auto device = take(everything);
    const auto interface = take(everything);
    ASSERT_TRUE(device && interface);
    EXPECT_EQ(device->devtype, "usb_device");
    EXPECT_EQ(interface->devtype, "usb_interface");

    const auto only = take(filtered);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->devtype, "usb_device");
    EXPECT_FALSE(filtered.readable());
    EXPECT_FALSE(take(filtered));
}

TEST_F(UdevTest, MonitorSeesOnlyEventsAfterItStartsReceiving) {
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    bench().plug(kBus, kDevnum);
    EXPECT_EQ(udev_monitor_receive_device(monitor), nullptr);
    EXPECT_TRUE(layer->all_events_taken());
    udev_monitor_enable_receiving(monitor);
    bench().plug(kBus, kDevnum + 1);
    udev_device* record = udev_monitor_receive_device(monitor);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(udev_device_get_sysattr_value(record, "devnum"), "6");
    udev_device_unref(record);
    udev_monitor_unref(monitor);
    udev_unref(context);
}

TEST_F(UdevTest, OnlyTheUdevAndKernelStreamsExist) {
    udev* context = udev_new();
    EXPECT_EQ(udev_monitor_new_from_netlink(context, "usb"), nullptr);
    EXPECT_EQ(udev_monitor_new_from_netlink(context, nullptr), nullptr);
    EXPECT_EQ(layer->live_monitors(), 0u);
    udev_unref(context);
}

// ---- departures and arrival faults

TEST_F(UdevTest, RemoveEventHasUnreadableAttributes) {
    Monitor monitor;
    sim::SimDevice& device = bench().plug(kBus, kDevnum);
    ASSERT_TRUE(take(monitor));
    bench().unplug(device);
    EXPECT_TRUE(monitor.readable());
    const auto removed = take(monitor);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->action, "remove");
    EXPECT_EQ(removed->devtype, "usb_device");
    EXPECT_EQ(removed->attributes, kUnreadable);
    EXPECT_FALSE(take(monitor));
}

TEST_F(UdevTest, GoneDeviceLeavesTheBusWhenItsAddEventIsTaken) {
    Monitor monitor;
    sim::SimDevice& device = plug_with_fault("gone");
    EXPECT_TRUE(device.on_bus());

    const auto added = take(monitor);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->attributes, Attributes({"1", "5", "03eb", "2fe4"}));
    EXPECT_FALSE(device.on_bus());
    usb_find_busses();
    usb_find_devices();
    ASSERT_NE(usb_get_busses(), nullptr);
    EXPECT_EQ(usb_get_busses()->devices, nullptr);

    const auto removed = take(monitor);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->action, "remove");
}

TEST_F(UdevTest, NoattrDeviceArrivesWithUnreadableAttributes) {
    Monitor monitor;
    sim::SimDevice& device = plug_with_fault("noattr");
    const auto added = take(monitor);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->action, "add");
    EXPECT_EQ(added->attributes, kUnreadable);
    EXPECT_TRUE(device.on_bus());
    EXPECT_FALSE(take(monitor));
}

// ---- reference counts and misuse

TEST_F(UdevTest, EveryObjectIsFreedWhenItsCountReachesZero) {
    {
        Monitor monitor;
        bench().plug(kBus, kDevnum);
        udev_device* record = udev_monitor_receive_device(monitor.monitor);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(layer->live_records(), 1u);
        EXPECT_EQ(udev_device_ref(record), record);
        EXPECT_EQ(udev_device_unref(record), nullptr);
        EXPECT_EQ(layer->live_records(), 1u);
        EXPECT_STREQ(udev_device_get_sysattr_value(record, "busnum"), "1");
        udev_device_unref(record);
        EXPECT_EQ(layer->live_records(), 0u);

        udev_ref(monitor.context);
        udev_unref(monitor.context);
        EXPECT_EQ(layer->live_contexts(), 1u);
        EXPECT_EQ(layer->live_monitors(), 1u);
    }
    EXPECT_EQ(layer->live_contexts(), 0u);
    EXPECT_EQ(layer->live_monitors(), 0u);
}

TEST_F(UdevTest, UnrefOfNullIsHarmless) {
    EXPECT_EQ(udev_device_unref(nullptr), nullptr);
    EXPECT_EQ(udev_monitor_unref(nullptr), nullptr);
    EXPECT_EQ(udev_unref(nullptr), nullptr);
}

TEST_F(UdevTest, UdevNewCanBeMadeToFail) {
    layer->set_udev_new_fails(true);
    EXPECT_EQ(udev_new(), nullptr);
    EXPECT_EQ(layer->live_contexts(), 0u);
    layer->set_udev_new_fails(false);
    udev* context = udev_new();
    EXPECT_NE(context, nullptr);
    udev_unref(context);
}

using UdevDeathTest = UdevTest;

TEST_F(UdevDeathTest, ReleasingARecordTwiceAborts) {
    Monitor monitor;
    bench().plug(kBus, kDevnum);
    udev_device* record = udev_monitor_receive_device(monitor.monitor);
    udev_device_unref(record);
    EXPECT_DEATH(udev_device_unref(record), "device record that is not live");
}

TEST(UdevNoBenchDeathTest, StandInsAbortWithoutABench) {
    EXPECT_DEATH(udev_new(), "libudev stand-in called with no simulated bench installed");
}

// ---- simulated time

struct SleepLog : sim::SleepObserver {
    void slept(std::uint64_t microseconds) override { sleeps.push_back(microseconds); }
    std::vector<std::uint64_t> sleeps;
};

std::chrono::milliseconds elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST_F(UdevTest, UsleepAdvancesTheClockWithoutSleeping) {
    constexpr useconds_t kTwoSeconds = 2000000;
    SleepLog log;
    sim::set_sleep_observer(&log);
    const auto start = std::chrono::steady_clock::now();
    usleep(kTwoSeconds);
    usleep(kTwoSeconds);
    EXPECT_LT(elapsed_since(start), std::chrono::milliseconds(500));
    sim::set_sleep_observer(nullptr);
    EXPECT_EQ(bench().now_us(), 2u * kTwoSeconds);
    EXPECT_EQ(log.sleeps, std::vector<std::uint64_t>({kTwoSeconds, kTwoSeconds}));
}

TEST_F(UdevTest, RealtimeRequestSleepsForRealAsWell) {
    constexpr useconds_t kFiftyMs = 50000;
    ASSERT_EQ(setenv(sim::kRealtimeVariable, "1", 1), 0);
    const auto start = std::chrono::steady_clock::now();
    usleep(kFiftyMs);
    const auto elapsed = elapsed_since(start);
    unsetenv(sim::kRealtimeVariable);
    EXPECT_GE(elapsed, std::chrono::milliseconds(50));
    EXPECT_EQ(bench().now_us(), kFiftyMs);
}

} // namespace
