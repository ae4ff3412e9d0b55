// The bench as the program meets it, through the libudev and libusb stand-ins: what whole-station
// runs cannot show (each fault's exact effect, the request log's lines, scenario errors).
#include "scenario.h"
#include "test_files.h"
#include "udev_bench.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <usb.h>

namespace {

// Requests, space-separated: "status", "clear", "flash"/"eeprom"/"unitN" (select), "rF-L" (read
// F..L, hex), "uN" (upload N bytes), "pF:DATA" (program hex DATA at F; "qF:DATA": no DFU suffix).
struct Request {
    int type, request, length;
    Bytes out;
};

Request request(const std::string& word) {
    auto dnload = [](const Bytes& out) { return Request{0x21, 1, int(out.size()), out}; };
    auto b = [](int value) { return static_cast<unsigned char>(value); };
    if (word == "status" || word == "clear")
        return word == "clear" ? Request{0x21, 4, 0, {}} : Request{0xA1, 3, 6, {}};
    if (word == "flash" || word == "eeprom")
        return dnload({6, 3, 0, word == "eeprom", 0, 0});
    if (word.rfind("unit", 0) == 0)
        return dnload({6, 3, 0, b(std::stoi(word.substr(4))), 0, 0});
    if (word[0] == 'u')
        return {0xA1, 2, std::stoi(word.substr(1)), {}};
    const bool program = word[0] == 'p' || word[0] == 'q';
    int first = std::stoi(word.substr(1), nullptr, 16), last = first;
    Bytes data;
    for (size_t i = word.find(':') + 1; program && i + 1 < word.size(); i += 2, ++last)
        data.push_back(b(std::stoi(word.substr(i, 2), nullptr, 16)));
    last = word[0] == 'r' ? std::stoi(word.substr(word.find('-') + 1), nullptr, 16) : last - 1;
    Bytes command = {b(word[0] == 'r' ? 3 : 1), 0, b(first >> 8), b(first), b(last >> 8), b(last)};
    if (program) { // the command in a 64-byte packet, the data at F's offset in the next one
        command.resize(64 + first % 64, 0);
        command.insert(command.end(), data.begin(), data.end());
        command.resize(command.size() + (word[0] == 'p' ? 16 : 0), 0);
    }
    return dnload(command);
}

// A fresh bench with a monitor made as the station makes it (udev stream, usb_device only).
struct BenchRun {
    sim::UdevBench* layer = &sim::UdevBench::install();
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");

    ~BenchRun() {
        udev_monitor_unref(monitor);
        udev_unref(context);
        EXPECT_EQ(layer->live_monitors() + layer->live_contexts() + layer->live_records(), 0u);
        sim::UdevBench::uninstall();
    }

    // Plugs device 1-5 (EEPROM EE EE) with the fault and takes every arrival event: "<action>
    // <sysname> <busnum> <devnum> <idVendor> <idProduct>", "-" if unreadable, joined by "; ".
    std::string arrive(const char* fault, const char* port = "") {
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
        udev_monitor_enable_receiving(monitor);
        sim::SimDevice& device = layer->bench().plug(1, 5, 0x03EB, 0x2FE4, port);
        device.flip()->load(sim::MemoryUnit::Eeprom, 0, {0xEE, 0xEE});
        if (*fault != '\0')
            device.add_fault(*sim::parse_fault(fault));
        std::string seen;
        while (udev_device* record = udev_monitor_receive_device(monitor)) {
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

    // Opens the first device of a rescanned bus list and sends the requests: each one's result
    // and the bytes that came back, "6 -32 6:000000000200", or why none could be sent.
    static std::string answer(const std::string& requests) {
        usb_find_busses(), usb_find_devices();
        if (!usb_get_busses() || !usb_get_busses()->devices)
            return "not on the bus";
        usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
        if (!handle)
            return "usb_open: NULL";
        if (int rc = usb_claim_interface(handle, 0); rc != 0) {
            usb_close(handle);
            return "usb_claim_interface: " + std::to_string(rc);
        }
        std::string answers;
        for (const std::string& word : split(requests, ' ')) {
            Request r = request(word);
            Bytes buffer = r.out;
            buffer.resize(static_cast<size_t>(r.length));
            int rc = usb_control_msg(handle, r.type, r.request, 0, 0,
                                     reinterpret_cast<char*>(buffer.data()), r.length, 2000);
            answers += (answers.empty() ? "" : " ") + std::to_string(rc);
            if (r.type == 0xA1 && rc > 0)
                answers += ":" + to_hex(buffer, static_cast<size_t>(rc));
        }
        usb_release_interface(handle, 0), usb_close(handle);
        return answers;
    }
};

std::string load_error(const std::string& path) {
    try {
        sim::load_scenario(path);
    } catch (const sim::ScenarioError& error) {
        return error.what();
    }
    return "(no error)";
}

} // namespace

TEST(SimBench, EachFaultHasItsExactEffect) {
    const char arrived[] = "add 1-5 1 5 03eb 2fe4; bind 1-5 1 5 03eb 2fe4";
    struct Case {
        const char *fault, *requests;
        const char* answers; // or why no request could be sent
        const char* arrival;
        std::uint64_t clock_us = 0; // how far the requests moved the simulated clock
    };
    // GETSTATUS replies: status, 3 bytes of poll time-out, state, string index. 000000000200
    // dfuIDLE, 000000000500 dfuDNLOAD-IDLE; in dfuERROR (0A): 0F errSTALLEDPKT, 01 errTARGET.
    const Case cases[] = {
        {"unplug@1", "flash status flash", "6 -19 -19", arrived},
        {"stall@1", "flash eeprom status", "6 -32 6:0F0000000A00", arrived},
        // Not carried out, no error: flash stays selected.
        {"timeout@1", "flash eeprom status r0-1 u2", "6 -110 6:000000000500 6 2:FFFF", arrived,
         2000000},
        // The first upload at or after request 0.
        {"short@0", "r0-7 u8 r0-7 u8", "6 4:FFFFFFFF 6 8:FFFFFFFFFFFFFFFF", arrived},
        {"statuslen@0", "flash status status", "6 3:000000 6:000000000500", arrived},
        // No index: the first download, acknowledged, not done; dfuERROR until DFU_CLRSTATUS.
        {"badstatus", "status eeprom status eeprom clear r0-1 u2",
         "6:000000000200 6 6:010000000A00 -32 0 6 2:FFFF", arrived},
        {"badstatus@0", "status", "6:010000000A00", arrived},
        // Against the healthy model, which erases the pages it programs first.
        // Each write of a flash page takes the part 4.3 ms, whether it takes or not.
        {"stuck@2", "flash p0:12 p1:34 r0-1 u2", "6 81 82 6 2:12FF", arrived, 8600},
        {"noerase", "flash p0:F00F p0:AA55 r0-1 u2", "6 82 82 6 2:A005", arrived, 8600},
        {"", "flash p0:12 p1:34 r0-1 u2", "6 81 82 6 2:FF34", arrived, 8600},
        // What avrdude's flip2 programmer needs besides what the station uses: the signature and
        // bootloader units, read at its every start, and program commands without the DFU suffix,
        // their data at the start address's offset in the packet after the command.
        {"", "unit5 r0-3 u4 unit4 r0-0 u1", "6 6 4:1E954106 6 6 1:00", arrived},
        {"", "unit5 p0:00 status", "6 -32 6:030000000A00", arrived}, // errWRITE: fixed in the part
        // 8 ms for each 32-byte EEPROM page a write touches: one each, then two.
        {"", "eeprom p20:AB q21:CD r1F-22 u4", "6 113 98 6 4:FFABCDFF", arrived, 16000},
        {"", "eeprom q3F:0102 r3F-40 u2", "6 129 6 2:0102", arrived, 16000}, // across packets
        {"noopen", "status", "usb_open: NULL", arrived},
        {"busy", "status", "usb_claim_interface: -16", arrived},
        {"gone", "status", "not on the bus",
         "add 1-5 1 5 03eb 2fe4; bind 1-5 - - - -; unbind 1-5 - - - -; remove 1-5 - - - -"},
        {"noattr", "status", "6:000000000200", "add 1-5 - - - -; bind 1-5 1 5 03eb 2fe4"},
        {"noattr@1", "", "", "add 1-5 1 - 03eb 2fe4; bind 1-5 1 5 03eb 2fe4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + ": " + c.requests);
        BenchRun run;
        EXPECT_EQ(run.arrive(c.fault), c.arrival);
        const std::uint64_t before = run.layer->bench().now_us();
        EXPECT_EQ(BenchRun::answer(c.requests), c.answers);
        EXPECT_EQ(run.layer->bench().now_us() - before, c.clock_us);
    }
}

TEST(SimBench, PortNameAndRequestLogLines) {
    BenchRun run;
    EXPECT_EQ(run.arrive("", "1-1.4"), "add 1-1.4 1 5 03eb 2fe4; bind 1-1.4 1 5 03eb 2fe4");
    usb_find_busses(), usb_find_devices();
    usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
    usb_dev_handle* other = usb_open(usb_get_busses()->devices);
    // One holder of the interface at a time, as the kernel keeps it.
    EXPECT_EQ(usb_claim_interface(handle, 1), -22);
    EXPECT_EQ(usb_claim_interface(handle, 0), 0);
    EXPECT_EQ(usb_claim_interface(other, 0), -16);
    EXPECT_EQ(usb_release_interface(other, 0), -22);
    Bytes select = request("eeprom").out, status(6), big(0x10000);
    usb_control_msg(handle, 0x21, 1, 0, 0, reinterpret_cast<char*>(select.data()), 6, 2000);
    // The request's value is logged, not looked at; the last asks for more than wLength holds.
    usb_control_msg(handle, 0xA1, 3, 0x12AB, 0, reinterpret_cast<char*>(status.data()), 6, 2000);
    usb_control_msg(handle, 0x21, 1, 0, 0, reinterpret_cast<char*>(big.data()), 0x10000, 2000);
    std::string log;
    for (const sim::LogEntry& entry : run.layer->bench().find(1, 5)->log())
        log += sim::format_log_line(entry) + "\n";
    EXPECT_EQ(log, "0 type=21 req=1 value=0000 index=0000 len=6 out=060300010000 in=- rc=6\n"
                   "1 type=a1 req=3 value=12ab index=0000 len=6 out=- in=000000000500 rc=6\n"
                   "2 type=21 req=1 value=0000 index=0000 len=65536 out=- in=- rc=-22\n");
}

TEST(SimScenario, EachBadLineIsNamedWithItsFileAndNumber) {
    ScratchDir dir;
    write_bytes(dir.path("big.bin"), Bytes(1025, 0x00));
    // Comments and blank lines count; the same address in a later batch is fine.
    const std::string before = "# a header\n\ndevice 1 1  # the first\nwait\ndevice 1 1\n";
    const std::string options =
        " (expected part=<name>, port=<name>, flash=<file>, eeprom=<file> or "
        "fault=<kind>[@<index>])";
    const struct {
        const char* line; // line 6
        std::string message;
    } cases[] = {
        {"plug 1 5", "unknown line kind 'plug' (expected device, other, copy, wait, sigterm or "
                     "udev-fail)"},
        {"device 1", "device: expected <bus> <devnum> [part=<name>] [port=<name>] "
                     "[flash=<file>] [eeprom=<file>] [fault=<kind>[@<index>]]..."},
        {"device 1000 5", "bus number '1000' is not a number from 1 to 999"},
        {"device 1 5x", "device number '5x' is not a number from 1 to 127"},
        {"device 1 5 fault=melt", "unknown fault 'melt'"},
        {"device 1 5 fault=stall@5x", "unknown fault 'stall@5x'"},
        {"device 1 5 speed=12", "unknown device option 'speed=12'" + options},
        {"device 1 5 port=1-1 port=1-2", "port is given twice"},
        {"device 1 5 eeprom=big.bin", "eeprom file '" + dir.path("big.bin") +
                                          "' holds 1025 bytes, more than the 1024 of the memory"},
        {"device 1 5 flash=none.bin",
         "cannot read flash file '" + dir.path("none.bin") + "': No such file or directory"},
        {"other 1 5 03eb", "other: expected <bus> <devnum> <vendor hex> <product hex>"},
        {"other 1 5 12345 0001", "vendor id '12345' is not 1 to 4 hex digits"},
        {"wait now", "'wait' takes no arguments"},
        {"copy fw.hex", "copy: expected <source> <file>"},
        {"copy none.hex fw.hex",
         "cannot read copy file '" + dir.path("none.hex") + "': No such file or directory"},
        {"other 1 1 0001 0002", "address 1-1 is already used in this batch"},
    };
    const std::string path = dir.path("run.scenario");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        write_text(path, before + c.line + "\n");
        EXPECT_EQ(load_error(path), path + ":6: " + c.message);
    }
    write_text(path, "sigterm\ndevice 1 1\nsigterm\n");
    EXPECT_EQ(load_error(path), path + ":3: sigterm is given twice");
    EXPECT_EQ(load_error(dir.path("none")),
              dir.path("none") + ": cannot read the scenario: No such file or directory");
}
