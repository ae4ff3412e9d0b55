// The bench as the program meets it: a scenario line plugs a device, its arrival event is taken
// through the libudev stand-ins and its requests go through the libusb stand-ins. Checked here
// is what whole-station runs cannot show: each fault's exact effect, the model's refusals, the
// port name and the request log's lines.
#include "scenario_driver.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <usb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kTimeoutMs = 2000;
constexpr std::uint64_t kTimeoutUs = 2000000;
constexpr int kDirectionIn = 0x80;

// One control request: its setup and the bytes it carries out.
struct Request {
    int type;
    int request;
    int length;
    Bytes out;
    int value = 0;
};

Request dnload(const Bytes& out) {
    return {0x21, 1, static_cast<int>(out.size()), out};
}

Request upload(int length) {
    return {0xA1, 2, length, {}};
}

const Request kStatus = {0xA1, 3, 6, {}};
const Request kClear = {0x21, 4, 0, {}};
const Request kGetState = {0xA1, 5, 1, {}}; // not in this bootloader's repertoire
const Request kSelectFlash = dnload({0x06, 0x03, 0x00, 0x00, 0x00, 0x00});
const Request kSelectEeprom = dnload({0x06, 0x03, 0x00, 0x01, 0x00, 0x00});

// A FLIP command over the inclusive range first..last: group, 00, first and last big-endian.
Bytes range_command(std::uint8_t group, int first, int last) {
    auto byte = [](int value) { return static_cast<std::uint8_t>(value & 0xFF); };
    return {group, 0x00, byte(first >> 8), byte(first), byte(last >> 8), byte(last)};
}

Request read_range(int first, int last) {
    return dnload(range_command(0x03, first, last));
}

// The command padded to a 64-byte header, the data, 16 trailing bytes.
Request program(int first, int last, const Bytes& data) {
    Bytes block = range_command(0x01, first, last);
    block.resize(64, 0x00);
    block.insert(block.end(), data.begin(), data.end());
    block.resize(block.size() + 16, 0x00);
    return dnload(block);
}

std::string hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes)
        text += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    return text;
}

// A fresh bench with a monitor made as the station makes it (udev stream, whole USB devices
// only), and a directory for the scenario and the devices' files, holding ee.bin = EE EE.
struct BenchRun {
    BenchRun() {
        layer = &sim::UdevBench::install();
        context = udev_new();
        monitor = udev_monitor_new_from_netlink(context, "udev");
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
        udev_monitor_enable_receiving(monitor);
        write_bytes(out.path("ee.bin"), {0xEE, 0xEE});
    }
    ~BenchRun() {
        driver.reset();
        EXPECT_EQ(layer->live_monitors() + layer->live_contexts(), 2u);
        udev_monitor_unref(monitor);
        udev_unref(context);
        EXPECT_EQ(layer->live_monitors() + layer->live_contexts() + layer->live_records(), 0u);
        sim::UdevBench::uninstall();
    }

    // Plugs the scenario's first batch at the station's idle step and takes every arrival event
    // the monitor gets: "<action> <sysname> <busnum> <devnum> <idVendor> <idProduct>", "-" for
    // what cannot be read, joined by "; ".
    std::string arrive(const std::string& scenario) {
        write_text(out.path("run.scenario"), scenario + "\n");
        driver = std::make_unique<sim::ScenarioDriver>(
            *layer, sim::load_scenario(out.path("run.scenario")), out.dir);
        usleep(sim::kIdleSleepUs);
        std::string seen;
        while (udev_device* record = udev_monitor_receive_device(monitor)) {
            EXPECT_EQ(layer->live_records(), 1u);
            seen += std::string(seen.empty() ? "" : "; ") + udev_device_get_action(record) + " " +
                    udev_device_get_sysname(record);
            for (const char* name : {"busnum", "devnum", "idVendor", "idProduct"}) {
                const char* value = udev_device_get_sysattr_value(record, name);
                seen += std::string(" ") + (value ? value : "-");
            }
            udev_device_unref(record);
        }
        return seen;
    }

    // Opens the first device of a rescanned bus list, sends the requests and closes it (the
    // driver then writes the device's files). Each request's result and the bytes that came
    // back, "6 -32 6:000000000200", or why none could be sent.
    static std::string answer(const std::vector<Request>& requests) {
        usb_find_busses();
        usb_find_devices();
        if (!usb_get_busses() || !usb_get_busses()->devices)
            return "not on the bus";
        usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
        if (!handle)
            return "usb_open: NULL";
        std::string answers;
        for (const Request& r : requests) {
            Bytes buffer = r.out;
            buffer.resize(static_cast<std::size_t>(r.length));
            const int rc =
                usb_control_msg(handle, r.type, r.request, r.value, 0,
                                reinterpret_cast<char*>(buffer.data()), r.length, kTimeoutMs);
            answers += (answers.empty() ? "" : " ") + std::to_string(rc);
            if ((r.type & kDirectionIn) != 0 && rc > 0)
                answers += ":" + hex(Bytes(buffer.begin(), buffer.begin() + rc));
        }
        usb_close(handle);
        return answers;
    }

    ScratchDir out;
    sim::UdevBench* layer = nullptr;
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    std::unique_ptr<sim::ScenarioDriver> driver;
};

const char kArrived[] = "add 1-5 1 5 03eb 2fe4";

struct Case {
    const char* line; // plugs the one device
    std::vector<Request> requests;
    const char* answers; // or why no request could be sent
    const char* arrival = kArrived;
    std::uint64_t clock_us = 0; // how far the requests moved the simulated clock
};

// GETSTATUS replies: status, 3 bytes of poll time-out, state, string index.
// 000000000200 dfuIDLE, 000000000500 dfuDNLOAD-IDLE; in dfuERROR (0a): 0f errSTALLEDPKT,
// 01 errTARGET, 0e errUNKNOWN, 08 errADDRESS.
const Case kCases[] = {
    // One row per fault kind.
    {"device 1 5 fault=unplug@1", {kSelectFlash, kStatus, kSelectFlash}, "6 -19 -19"},
    {"device 1 5 fault=stall@1", {kSelectFlash, kSelectEeprom, kStatus}, "6 -32 6:0f0000000a00"},
    // Not carried out, no error: flash stays selected.
    {"device 1 5 eeprom=ee.bin fault=timeout@1",
     {kSelectFlash, kSelectEeprom, kStatus, read_range(0, 1), upload(2)},
     "6 -110 6:000000000500 6 2:ffff",
     kArrived,
     kTimeoutUs},
    // The first upload at or after request 0.
    {"device 1 5 fault=short@0",
     {read_range(0, 7), upload(8), read_range(0, 7), upload(8)},
     "6 4:ffffffff 6 8:ffffffffffffffff"},
    {"device 1 5 fault=statuslen@0", {kSelectFlash, kStatus, kStatus}, "6 3:000000 6:000000000500"},
    // Without an index: the first download, acknowledged but not carried out.
    {"device 1 5 eeprom=ee.bin fault=badstatus",
     {kStatus, kSelectEeprom, kStatus, kSelectEeprom, kClear, read_range(0, 1), upload(2)},
     "6:000000000200 6 6:010000000a00 -32 0 6 2:ffff"},
    {"device 1 5 fault=badstatus@0", {kStatus}, "6:010000000a00"},
    {"device 1 5 fault=stuck@2",
     {kSelectFlash, program(0, 0, {0x12}), program(1, 1, {0x34}), read_range(0, 1), upload(2)},
     "6 81 81 6 2:12ff"},
    {"device 1 5 fault=noerase",
     {kSelectFlash, program(0, 1, {0xF0, 0x0F}), program(0, 1, {0xAA, 0x55}), read_range(0, 1),
      upload(2)},
     "6 82 82 6 2:a005"},
    {"device 1 5 fault=noopen", {kStatus}, "usb_open: NULL"},
    {"device 1 5 fault=gone",
     {kStatus},
     "not on the bus",
     "add 1-5 1 5 03eb 2fe4; remove 1-5 - - - -"},
    {"device 1 5 fault=noattr", {kStatus}, "6:000000000200", "add 1-5 - - - -"},
    {"device 1 5 fault=noattr@1", {}, "", "add 1-5 1 - 03eb 2fe4"},
    // The port name udev gives: the scenario's, or <bus>-<devnum>.
    {"device 1 5 port=1-1.4", {}, "", "add 1-1.4 1 5 03eb 2fe4"},
    {"device 12 34", {}, "", "add 12-34 12 34 03eb 2fe4"},
    // The healthy model: programming erases the pages it touches first.
    {"device 1 5",
     {kSelectFlash, program(0, 0, {0x12}), program(1, 1, {0x34}), read_range(0, 1), upload(2)},
     "6 81 81 6 2:ff34"},
    // A block whose length is not its range's stalls, and dfuERROR holds until DFU_CLRSTATUS.
    {"device 1 5",
     {kSelectFlash, program(0, 3, {1, 2, 3}), kStatus, kSelectFlash, upload(4), kClear, kStatus,
      kSelectFlash},
     "6 -32 6:0e0000000a00 -32 -32 0 6:000000000200 6"},
    {"device 1 5", {kSelectEeprom, read_range(0x3FF, 0x400), kStatus}, "6 -32 6:080000000a00"},
    // An upload needs a queued read and takes it; a short one ends the transfer.
    {"device 1 5",
     {upload(16), kStatus, kClear, read_range(0, 3), upload(64), kStatus, upload(4)},
     "-32 6:0f0000000a00 0 6 4:ffffffff 6:000000000200 -32"},
    {"device 1 5", {kGetState, kStatus}, "-32 6:0e0000000a00"},
};

TEST(SimBench, EachFaultAndRefusalHasItsExactEffect) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        BenchRun run;
        EXPECT_EQ(run.arrive(c.line), c.arrival);
        const std::uint64_t before = run.layer->bench().now_us();
        EXPECT_EQ(BenchRun::answer(c.requests), c.answers);
        EXPECT_EQ(run.layer->bench().now_us() - before, c.clock_us);
    }
}

TEST(SimBench, RequestLogLines) {
    BenchRun run;
    run.arrive("device 1 5");
    const Request value = {0xA1, 3, 6, {}, 0x12AB};  // logged, not looked at
    const Request too_long = {0x21, 1, 0x10000, {}}; // more than wLength holds
    EXPECT_EQ(BenchRun::answer({kSelectEeprom, value, too_long}), "6 6:000000000500 -22");
    EXPECT_EQ(to_text(read_bytes(run.out.path("1-5.log"))),
              "0 type=21 req=1 value=0000 index=0000 len=6 out=060300010000 in=- rc=6\n"
              "1 type=a1 req=3 value=12ab index=0000 len=6 out=- in=000000000500 rc=6\n"
              "2 type=21 req=1 value=0000 index=0000 len=65536 out=- in=- rc=-22\n");
}

} // namespace
