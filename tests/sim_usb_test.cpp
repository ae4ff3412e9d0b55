// The bench as libusb 0.1 shows it: bus lists, handles, scripted faults, request log.
#include "sim_client.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace sim_test {
namespace {

using UsbTest = SimClient;

struct Recorder : sim::BenchObserver {
    void device_plugged(sim::SimDevice& d) override { events.push_back("plug " + d.name()); }
    void device_left(sim::SimDevice& d) override {
        const int last = d.log().empty() ? 0 : d.log().back().result;
        events.push_back("left " + d.name() + " rc=" + std::to_string(last));
    }
    void device_closed(sim::SimDevice& d) override { events.push_back("close " + d.name()); }
    std::vector<std::string> events;
};

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

usb_dev_handle* open_fault(sim::Bench& bench, const char* fault) {
    sim::SimDevice& d = bench.plug(1, 5);
    d.add_fault(*sim::parse_fault(fault));
    usb_find_busses();
    usb_find_devices();
    return usb_open(usb_get_busses()->devices);
}

TEST_F(UsbTest, BusListMirrorsPluggedDevices) {
    bench->plug(1, 3);
    bench->plug(12, 5);
    bench->plug(1, 2);
    bench->plug(1, 4, 0x1234, 0x5678);
    EXPECT_EQ(usb_get_busses(), nullptr);
    EXPECT_EQ(usb_find_busses(), 2);
    EXPECT_EQ(usb_find_devices(), 4);

    usb_bus* first = usb_get_busses();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->dirname, "001");
    EXPECT_EQ(first->prev, nullptr);
    usb_bus* second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->dirname, "012");
    EXPECT_EQ(second->prev, first);
    EXPECT_EQ(second->next, nullptr);

    std::vector<int> devnums;
    for (struct usb_device* dev = first->devices; dev; dev = dev->next) {
        devnums.push_back(dev->devnum);
        EXPECT_EQ(dev->bus, first);
    }
    EXPECT_EQ(devnums, std::vector<int>({2, 3, 4}));
    struct usb_device* two = first->devices;
    EXPECT_EQ(two->descriptor.idVendor, 0x03EB);
    EXPECT_EQ(two->descriptor.idProduct, 0x2FE4);
    EXPECT_EQ(two->next->next->descriptor.idVendor, 0x1234);
    EXPECT_EQ(two->next->prev, two);
    ASSERT_NE(second->devices, nullptr);
    EXPECT_EQ(second->devices->devnum, 5);
    EXPECT_EQ(second->devices->bus, second);

    // A departure shows after the next rescan; the other nodes stay put.
    bench->unplug(*bench->find(1, 3));
    EXPECT_EQ(two->next->devnum, 3);
    EXPECT_EQ(usb_find_devices(), 1);
    EXPECT_EQ(first->devices, two);
    EXPECT_EQ(two->next->devnum, 4);
    EXPECT_EQ(two->next->prev, two);

    // Other vendors' devices refuse every request.
    usb_dev_handle* plain = usb_open(two->next);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(status(plain), Bytes());
    EXPECT_EQ(bench->find(1, 4)->log().at(0).result, kEpipe);
    usb_close(plain);

    EXPECT_THROW(bench->plug(1, 2), std::invalid_argument);
    EXPECT_THROW(bench->plug(1, 128), std::invalid_argument);
    EXPECT_THROW(bench->plug(0, 1), std::invalid_argument);
}

TEST_F(UsbTest, FaultTextParses) {
    EXPECT_EQ(sim::parse_fault("stall@5"), (sim::Fault{sim::FaultKind::Stall, 5}));
    EXPECT_EQ(sim::parse_fault("unplug"), (sim::Fault{sim::FaultKind::Unplug, std::nullopt}));
    EXPECT_EQ(sim::parse_fault("statuslen@0"), (sim::Fault{sim::FaultKind::StatusLen, 0}));
    EXPECT_EQ(sim::parse_fault("noattr"), (sim::Fault{sim::FaultKind::NoAttr, std::nullopt}));
    EXPECT_EQ(sim::parse_fault("gone"), (sim::Fault{sim::FaultKind::Gone, std::nullopt}));
    for (const char* bad : {"", "stall@", "stall@x", "stall@-1", "stall@5x", "Stall", "stal",
                            "noerase@3", "noopen@0", "timeout@99999999999999999999999"})
        EXPECT_EQ(sim::parse_fault(bad), std::nullopt) << bad;
    EXPECT_EQ(sim::to_string(*sim::parse_fault("badstatus@12")), "badstatus@12");
}

TEST_F(UsbTest, UnplugFailsTheRequestAndAllLaterOnes) {
    Recorder recorder;
    bench->add_observer(&recorder);
    usb_dev_handle* h = open_fault(*bench, "unplug@2");
    EXPECT_EQ(dnload(h, kSelectFlash), 6);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    EXPECT_EQ(dnload(h, kSelectFlash), kEnodev);
    EXPECT_EQ(dnload(h, kSelectFlash), kEnodev);
    EXPECT_EQ(usb_claim_interface(h, 0), kEnodev);
    EXPECT_EQ(bench->find(1, 5)->log().size(), 4u);
    EXPECT_EQ(find_node("001", 5), nullptr);
    usb_close(h);
    EXPECT_EQ(recorder.events,
              std::vector<std::string>({"plug 1-5", "left 1-5 rc=-19", "close 1-5"}));
}

TEST_F(UsbTest, StallAndTimeoutFaults) {
    usb_dev_handle* h = open_fault(*bench, "stall@1");
    EXPECT_EQ(dnload(h, kSelectFlash), 6);
    EXPECT_EQ(dnload(h, kSelectFlash), kEpipe);
    EXPECT_EQ(status(h), kStatusErrStalled);
    usb_close(h);

    bench->reset();
    h = open_fault(*bench, "timeout@1");
    EXPECT_EQ(dnload(h, kSelectFlash), 6);
    EXPECT_EQ(bench->now_us(), 0u);
    EXPECT_EQ(dnload(h, kSelectEeprom), kEtimedout);
    EXPECT_EQ(bench->now_us(), 2000000u);
    // Not carried out: flash is still selected and the device is not in error.
    EXPECT_EQ(bench->find(1, 5)->flip()->selected_unit(), sim::MemoryUnit::Flash);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    usb_close(h);
}

TEST_F(UsbTest, ShortUploadAndShortStatusFaults) {
    usb_dev_handle* h = open_fault(*bench, "short@1");
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x07}), 6);
    Bytes got;
    EXPECT_EQ(upload(h, 8, got), 4);
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x07}), 6);
    EXPECT_EQ(upload(h, 8, got), 8);
    usb_close(h);

    bench->reset();
    h = open_fault(*bench, "statuslen@1");
    EXPECT_EQ(status(h), kStatusIdle);
    EXPECT_EQ(dnload(h, kSelectFlash), 6);
    EXPECT_EQ(status(h), Bytes({0x00, 0x00, 0x00}));
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    usb_close(h);
}

TEST_F(UsbTest, BadStatusIsReportedByTheNextStatusQuery) {
    // Without an index it hits the first download, here request 1.
    usb_dev_handle* h = open_fault(*bench, "badstatus");
    EXPECT_EQ(status(h), kStatusIdle);
    EXPECT_EQ(dnload(h, kSelectEeprom), 6);
    EXPECT_EQ(bench->find(1, 5)->flip()->selected_unit(), sim::MemoryUnit::Flash);
    EXPECT_EQ(status(h), kStatusErrTarget);
    EXPECT_EQ(dnload(h, kSelectEeprom), kEpipe);
    EXPECT_EQ(clear_status(h), 0);
    EXPECT_EQ(dnload(h, kSelectEeprom), 6);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    usb_close(h);

    bench->reset();
    h = open_fault(*bench, "badstatus@0");
    EXPECT_EQ(status(h), kStatusErrTarget);
    usb_close(h);
}

TEST_F(UsbTest, StuckAndNoEraseFlash) {
    usb_dev_handle* h = open_fault(*bench, "stuck@2");
    const sim::FlipDevice& flip = *bench->find(1, 5)->flip();
    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    ASSERT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x12})), 81);
    ASSERT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x01, 0x00, 0x01}, {0x34})), 81);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    EXPECT_EQ(flip.flash()[0], 0x12);
    EXPECT_EQ(flip.flash()[1], 0xFF);
    usb_close(h);

    bench->reset();
    h = open_fault(*bench, "noerase");
    sim::FlipDevice& worn = *bench->find(1, 5)->flip();
    worn.load(sim::MemoryUnit::Flash, 0, {0xF0, 0x0F, 0x3C});
    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    ASSERT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x00, 0x00, 0x01}, {0xAA, 0x55})), 82);
    EXPECT_EQ(worn.flash()[0], 0xA0);
    EXPECT_EQ(worn.flash()[1], 0x05);
    EXPECT_EQ(worn.flash()[2], 0x3C);
    usb_close(h);
}

TEST_F(UsbTest, OpenRefusals) {
    EXPECT_EQ(open_fault(*bench, "noopen"), nullptr);
    sim::SimDevice& later = bench->plug(1, 6);
    later.add_fault(*sim::parse_fault("gone"));
    EXPECT_TRUE(later.has_fault(sim::FaultKind::Gone));
    struct usb_device* node = find_node("001", 6);
    ASSERT_NE(node, nullptr);
    bench->unplug(later);
    EXPECT_EQ(usb_open(node), nullptr);
}

TEST_F(UsbTest, LogRecordsExactBytesBothWaysAndIsWrittenOut) {
    Recorder recorder;
    bench->add_observer(&recorder);
    usb_dev_handle* h = plug_and_open();
    ASSERT_EQ(dnload(h, kSelectEeprom), 6);
    ASSERT_EQ(status(h), kStatusDnloadIdle);
    Bytes none;
    EXPECT_EQ(upload(h, 2, none), kEpipe);
    EXPECT_EQ(usb_control_msg(h, 0x21, 1, 0, 0, nullptr, 6, kTimeoutMs), kEinval);
    usb_close(h);

    const auto& log = device->log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].out, kSelectEeprom);
    EXPECT_EQ(log[0].in, Bytes());
    EXPECT_EQ(log[1].request_type, 0xA1);
    EXPECT_EQ(log[1].in, kStatusDnloadIdle);

    char dir[] = "/tmp/sim_usb_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    sim::write_device_files(*device, dir);
    const std::string stem = std::string(dir) + "/1-5";
    EXPECT_EQ(read_file(stem + ".log"),
              "0 type=21 req=1 value=0000 index=0000 len=6 out=060300010000 in=- rc=6\n"
              "1 type=a1 req=3 value=0000 index=0000 len=6 out=- in=000000000500 rc=6\n"
              "2 type=a1 req=2 value=0000 index=0000 len=2 out=- in=- rc=-32\n"
              "3 type=21 req=1 value=0000 index=0000 len=6 out=- in=- rc=-22\n");
    EXPECT_EQ(read_file(stem + ".flash"), std::string(32768, '\xFF'));
    EXPECT_EQ(read_file(stem + ".eeprom"), std::string(1024, '\xFF'));
    EXPECT_THROW(sim::write_device_files(*device, std::string(dir) + "/missing"),
                 std::runtime_error);
    for (const char* suffix : {".log", ".flash", ".eeprom"})
        std::remove((stem + suffix).c_str());
    rmdir(dir);
    EXPECT_EQ(recorder.events, std::vector<std::string>({"plug 1-5", "close 1-5"}));
}

TEST(UsbNoBenchDeathTest, StandInsAbortWithoutABench) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sim::Bench::uninstall();
    EXPECT_DEATH(usb_init(), "no simulated bench installed");
    EXPECT_DEATH(usb_find_busses(), "no simulated bench installed");
    EXPECT_DEATH(usb_control_msg(nullptr, 0xA1, 3, 0, 0, nullptr, 0, kTimeoutMs),
                 "no simulated bench installed");
}

} // namespace
} // namespace sim_test
