// The bench as the program meets it, through the libudev and libusb stand-ins: what whole-station
// runs cannot show (each fault's exact effect, the request log's lines, scenario errors).
#include "scenario.h"
#include "test_files.h"
#include "udev_bench.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <usb.h>

namespace {

// Requests, space-separated: "status", "clear", "flash"/"eeprom"/"unitN" (select), "uN" (upload N
// bytes), "xHEX" (download of exactly these bytes) and commands on ranges F..L, hex: "rF-L" (read
// 03 00), "bF-L" (blank check 03 01), "RF-L" (read EEPROM 03 02), "pF:DATA" (program 01 00 with hex
// DATA; "qF:DATA": no DFU suffix), "eF:DATA" (program EEPROM 01 01). A program command's header
// fills a control packet of `packet` bytes, its data sit at F's offset in the next one; with a
// "+" after them they are padded with FF to a whole packet, as avrdude sends them.
struct Request {
    int type, request, length;
    Bytes out;
};

Request request(const std::string& word, size_t packet) {
    auto dnload = [](const Bytes& out) { return Request{0x21, 1, int(out.size()), out}; };
    auto b = [](int value) { return static_cast<unsigned char>(value); };
    auto hex = [&](const std::string& digits) {
        Bytes bytes;
        for (size_t i = 0; i + 1 < digits.size(); i += 2)
            bytes.push_back(b(std::stoi(digits.substr(i, 2), nullptr, 16)));
        return bytes;
    };
    if (word == "status" || word == "clear")
        return word == "clear" ? Request{0x21, 4, 0, {}} : Request{0xA1, 3, 6, {}};
    if (word == "flash" || word == "eeprom")
        return dnload({6, 3, 0, word == "eeprom", 0, 0});
    if (word.rfind("unit", 0) == 0)
        return dnload({6, 3, 0, b(std::stoi(word.substr(4))), 0, 0});
    if (word[0] == 'x')
        return dnload(hex(word.substr(1)));
    if (word[0] == 'u')
        return {0xA1, 2, std::stoi(word.substr(1)), {}};
    const std::string kinds = "rbRpqe";
    const int commands[][2] = {{3, 0}, {3, 1}, {3, 2}, {1, 0}, {1, 0}, {1, 1}};
    const auto* command = commands[kinds.find(word[0])];
    const bool program = command[0] == 1;
    const bool padded = word.back() == '+';
    const Bytes data = program ? hex(word.substr(word.find(':') + 1)) : Bytes{};
    const int first = std::stoi(word.substr(1), nullptr, 16);
    const int last = program ? first + int(data.size()) - 1
                             : std::stoi(word.substr(word.find('-') + 1), nullptr, 16);
    Bytes out = {b(command[0]), b(command[1]), b(first >> 8), b(first), b(last >> 8), b(last)};
    if (program) {
        out.resize(packet + first % packet, 0);
        out.insert(out.end(), data.begin(), data.end());
        out.resize(padded ? (out.size() + packet - 1) / packet * packet : out.size(), 0xFF);
        out.resize(out.size() + (word[0] == 'q' ? 0 : 16), 0);
    }
    return dnload(out);
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

    // Plugs device 1-5, the part's bootloader (EEPROM EE EE, flash from address 0), with the
    // fault and takes every arrival event: "<action> <sysname> <busnum> <devnum> <idVendor>
    // <idProduct>", "-" if unreadable, joined by "; ".
    std::string arrive(const char* fault, const char* port = "", const char* part = "atxmega32a4u",
                       const Bytes& flash = {}) {
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
        udev_monitor_enable_receiving(monitor);
        sim::SimDevice& device = layer->bench().plug(1, 5, part, port);
        device.flip()->load(sim::MemoryUnit::Eeprom, 0, {0xEE, 0xEE});
        device.flip()->load(sim::MemoryUnit::Flash, 0, flash);
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
    static std::string answer(const std::string& requests, size_t packet = 64) {
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
            Request r = request(word, packet);
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

// Every part's name, as the table lists them.
std::string known_parts() {
    std::string names;
    for (const parts::Part& part : parts::TABLE)
        names += std::string(names.empty() ? "" : ", ") + part.name;
    return names;
}

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
    struct Case {
        const char *fault, *requests;
        const char* answers;        // or why no request could be sent
        std::uint64_t clock_us = 0; // how far the requests moved the simulated clock
        const char* arrival = "add 1-5 1 5 03eb 2fe4; bind 1-5 1 5 03eb 2fe4";
    };
    // GETSTATUS replies: status, 3 bytes of poll time-out, state, string index. 000000000200
    // dfuIDLE, 000000000500 dfuDNLOAD-IDLE; in dfuERROR (0A): 0F errSTALLEDPKT, 01 errTARGET.
    const Case cases[] = {
        {"unplug@1", "flash status flash", "6 -19 -19"},
        {"stall@1", "flash eeprom status", "6 -32 6:0F0000000A00"},
        // Not carried out, no error: flash stays selected.
        {"timeout@1", "flash eeprom status r0-1 u2", "6 -110 6:000000000500 6 2:FFFF", 2000000},
        // The first upload at or after request 0.
        {"short@0", "r0-7 u8 r0-7 u8", "6 4:FFFFFFFF 6 8:FFFFFFFFFFFFFFFF"},
        {"statuslen@0", "flash status status", "6 3:000000 6:000000000500"},
        // No index: the first download, acknowledged, not done; dfuERROR until DFU_CLRSTATUS.
        {"badstatus", "status eeprom status eeprom clear r0-1 u2",
         "6:000000000200 6 6:010000000A00 -32 0 6 2:FFFF"},
        {"badstatus@0", "status", "6:010000000A00"},
        // Against the healthy model, which erases the pages it programs first.
        // Each write of a flash page takes the part 4.3 ms, whether it takes or not.
        {"stuck@2", "flash p0:12 p1:34 r0-1 u2", "6 81 82 6 2:12FF", 8600},
        {"noerase", "flash p0:F00F p0:AA55 r0-1 u2", "6 82 82 6 2:A005", 8600},
        {"", "flash p0:12 p1:34 r0-1 u2", "6 81 82 6 2:FF34", 8600},
        // What avrdude's flip2 programmer needs besides what the station uses: the signature and
        // bootloader units, read at its every start, and program commands without the DFU suffix,
        // their data at the start address's offset in the packet after the command.
        {"", "unit5 r0-3 u4 unit4 r0-0 u1", "6 6 4:1E954106 6 6 1:00"},
        {"", "unit5 p0:00 status", "6 -32 6:030000000A00"}, // errWRITE: fixed in the part
        // 8 ms for each 32-byte EEPROM page a write touches: one each, then two.
        {"", "eeprom p20:AB q21:CD r1F-22 u4", "6 113 98 6 4:FFABCDFF", 16000},
        {"", "eeprom q3F:0102 r3F-40 u2", "6 129 6 2:0102", 16000}, // across packets
        {"noopen", "status", "usb_open: NULL"},
        {"busy", "status", "usb_claim_interface: -16"},
        {"gone", "status", "not on the bus", 0,
         "add 1-5 1 5 03eb 2fe4; bind 1-5 - - - -; unbind 1-5 - - - -; remove 1-5 - - - -"},
        {"noattr", "status", "6:000000000200", 0, "add 1-5 - - - -; bind 1-5 1 5 03eb 2fe4"},
        {"noattr@1", "", "", 0, "add 1-5 1 - 03eb 2fe4; bind 1-5 1 5 03eb 2fe4"},
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

// Each part as its bootloader answers: protocol 1 (megaAVR) with 32-byte control packets, commands
// naming flash or EEPROM, the security lock and AND-only programming; protocol 2 (XMEGA) with
// selected units; both with the part's sizes, 64 KiB pages and time.
TEST(SimBench, EachPartAnswersAsItsBootloader) {
    const std::string locked = "-32 6:030000000A00", erase = "x0400FF ", bytes1k(2048, '0');
    // A chip erase: 224 pages of 128 bytes below the ATmega32U4's bootloader, 3.7 ms each.
    const std::uint64_t m32u4_erase = 224 * 3700;
    struct Case {
        const char* part;
        std::string requests, answers;
        std::uint64_t clock_us = 0;
        size_t flash_at = 0; // where the device's flash holds `flash` (hex) afterwards
        std::string flash = "";
        size_t packet = 0;     // the requests' control packet: the part's when 0
        bool unlocked = false; // a protocol-1 part's lock is off when it arrives
    };
    std::vector<Case> cases = {
        {"atmega32u4", "r0-1 u2 x040300 x status", "6 2:1234 3 0 -19", 0, 0, "1234", 0, true},
        // What a locked part answers: the manufacturer code and signature, the bootloader's
        // version and IDs, one byte each; and the chip erase, which lifts the lock, clears the
        // application flash to its top, keeps the bootloader's code and the EEPROM.
        {"atmega32u4",
         "x050130 u1 x050131 u1 x050160 u1 x050161 u1 x050000 u1 x050001 u1 x050002 u1 x05013F",
         "3 1:58 3 1:1E 3 1:95 3 1:87 3 1:00 3 1:DC 3 1:FB -32"},
        {"atmega32u4", erase + "status r0-1 u2 r6FFF-7000 u2 R0-1 u2",
         "3 6:000000000500 6 2:FFFF 6 2:FF00 6 2:EEEE", m32u4_erase, 0, "FFFF"},
        {"at90usb1286", "x050130 u1 x050131 u1 x050160 u1 x050161 u1",
         "3 1:58 3 1:1E 3 1:97 3 1:82"},
        // Programming only clears bits: a second write to an unerased page keeps F0 AND 3C.
        {"atmega32u4", erase + "p0:F0 p0:3C r0-0 u1", "3 49 49 6 1:30", m32u4_erase + 2 * 3700, 0,
         "30"},
        // The 32-byte header, data at start % 32, with and without the suffix; EEPROM programmed
        // with 01 01 and read with 03 02, 3.3 ms a byte; no XMEGA framing.
        {"atmega32u4", erase + "q25:AB p3F:0102 r24-26 u3 r3F-40 u2", "3 38 81 6 3:FFABFF 6 2:0102",
         m32u4_erase + 2 * 3700, 0x3F, "0102"},
        {"atmega32u4", erase + "e3F:0102 e1:05+ R0-2 u3 R3E-40 u3", "3 81 80 6 3:EE05FF 6 3:FF0102",
         m32u4_erase + 3 * 3300},
        {"atmega32u4", erase + "p0:12 status", "3 -32 6:0E0000000A00", m32u4_erase, 0, "", 64},
        // Up to the bootloader and no further; at most 1 KiB a command (8 pages of 128 bytes).
        {"atmega32u4", erase + "p6FFF:00 p6FFF:0000 status", "3 80 -32 6:080000000A00",
         m32u4_erase + 3700},
        {"atmega32u4", erase + "p400:" + bytes1k + " p400:" + bytes1k + "00 status",
         "3 1072 -32 6:0E0000000A00", m32u4_erase + 8 * 3700, 0x400, bytes1k},
        // 64 KiB pages: 06 03 00 PP or 06 00 PP on protocol 1, 06 03 01 PH PL on protocol 2.
        {"at90usb1286", erase + "x06030001 p10:AB x060000 r10-10 u1 x060001 r10-10 u1 pE000:00",
         "3 4 65 3 6 1:FF 3 6 1:AB -32", 480 * 3700 + 3700, 0x10010, "AB"},
        {"atxmega128a4u",
         "x0603010001 p10:AB x0603010000 r10-10 u1 x0603010001 r10-10 u1 "
         "x0603010002 p0:00 x06030101",
         "5 97 5 6 1:FF 5 6 1:AB 5 -32 -32", 4300, 0x10010, "AB"},
        {"atxmega128a4u", "unit5 r0-3 u4", "6 6 4:1E974606"},
        // XMEGA time: 4.3 ms a page touched (256 or 512 bytes), 6 ms for the chip erase.
        {"atxmega32a4u", "p0:" + bytes1k, "1104", 4 * 4300},
        {"atxmega128a3u", "p100:" + bytes1k, "1104", 3 * 4300, 0x100, bytes1k},
        {"atxmega128a3u", erase + "r0-1 u2", "3 6 2:FFFF", 6000, 0, "FFFF"},
    };
    // Locked after reset: flash and EEPROM reads, blank check, programming, page selects (both
    // forms), the start and an unknown command stall with errWRITE.
    for (const char* request :
         {"r0-1", "R0-1", "b0-FF", "p0:12", "e0:12", "x06030000", "x060000", "x040300", "x070000"})
        cases.push_back({"atmega32u4", request + std::string(" status"), locked});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + ": " + c.requests.substr(0, 80));
        BenchRun run;
        run.arrive("", "", c.part, {0x12, 0x34});
        sim::FlipDevice& device = *run.layer->bench().find(1, 5)->flip();
        device.set_locked(device.locked() && !c.unlocked);
        const size_t packet = c.packet ? c.packet : device.control_packet_size();
        EXPECT_EQ(BenchRun::answer(c.requests, packet), c.answers);
        EXPECT_EQ(run.layer->bench().now_us(), c.clock_us);
        EXPECT_EQ(to_hex(Bytes(device.flash().begin() + c.flash_at, device.flash().end()),
                         c.flash.size() / 2),
                  c.flash);
    }
}

// A part arrives with its product ID and control packet size; by name it is the part named, by
// its IDs the first part with them.
TEST(SimBench, PartsArriveWithTheirIds) {
    const struct {
        const char *part, *arrival;
        int packet;
    } cases[] = {
        {"atmega32u4", "add 1-5 1 5 03eb 2ff4; bind 1-5 1 5 03eb 2ff4", 32},
        {"at90usb647", "add 1-5 1 5 03eb 2ff9; bind 1-5 1 5 03eb 2ff9", 32},
        {"atxmega128a4u", "add 1-5 1 5 03eb 2fde; bind 1-5 1 5 03eb 2fde", 64},
    };
    for (const auto& c : cases) {
        BenchRun run;
        EXPECT_EQ(run.arrive("", "", c.part), c.arrival);
        usb_find_busses(), usb_find_devices();
        EXPECT_EQ(usb_get_busses()->devices->descriptor.bMaxPacketSize0, c.packet);
        EXPECT_STREQ(run.layer->bench().find(1, 5)->flip()->part().name, c.part);
    }
    sim::Bench bench;
    EXPECT_STREQ(bench.plug(1, 1, 0x03EB, 0x2FF9).flip()->part().name, "at90usb646");
    EXPECT_EQ(bench.plug(1, 2, 0x03EB, 0x2FFF).flip(), nullptr);
    EXPECT_THROW(bench.plug(1, 3, "atmega99"), std::invalid_argument);
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
    Bytes select = request("eeprom", 64).out, status(6), big(0x10000);
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
    write_bytes(dir.path("half.bin"), Bytes(513, 0x00));
    // Comments and blank lines count; the same address in a later batch is fine.
    const std::string before = "# a header\n\ndevice 1 1  # the first\nwait\ndevice 1 1\n";
    const std::string options =
        " (expected part=<name>, port=<name>, lock=on|off, flash=<file>, eeprom=<file> or "
        "fault=<kind>[@<index>])";
    const struct {
        const char* line; // line 6
        std::string message;
    } cases[] = {
        {"plug 1 5", "unknown line kind 'plug' (expected device, other, copy, wait, sigterm, "
                     "rotate or udev-fail)"},
        {"rotate ev.jsonl", "rotate takes a file and the name it is moved to"},
        {"device 1", "device: expected <bus> <devnum> [part=<name>] [port=<name>] [lock=on|off] "
                     "[flash=<file>] [eeprom=<file>] [fault=<kind>[@<index>]]..."},
        {"device 1000 5", "bus number '1000' is not a number from 1 to 999"},
        {"device 1 5x", "device number '5x' is not a number from 1 to 127"},
        {"device 1 5 fault=melt", "unknown fault 'melt'"},
        {"device 1 5 fault=stall@5x", "unknown fault 'stall@5x'"},
        {"device 1 5 speed=12", "unknown device option 'speed=12'" + options},
        {"device 1 5 port=1-1 port=1-2", "port is given twice"},
        {"device 1 5 part=atmega99", "unknown part 'atmega99' (known: " + known_parts() + ")"},
        {"device 1 5 part=atmega32u4 part=atmega32u4", "part is given twice"},
        {"device 1 5 part= ", "unknown device option 'part='" + options},
        {"device 1 5 part=atmega32u4 lock=no", "lock takes on or off, not 'no'"},
        {"device 1 5 lock=off", "lock is for protocol-1 parts; atxmega32a4u has no lock"},
        {"device 1 5 lock=on part=at90usb82 lock=on", "lock is given twice"},
        // The memory files must fit the part's memories, wherever part= stands.
        {"device 1 5 eeprom=half.bin part=at90usb82",
         "eeprom file '" + dir.path("half.bin") +
             "' holds 513 bytes, more than the 512 of the memory"},
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
    // A part's memories take files as large as they are; other lines have no part.
    write_bytes(dir.path("flash.bin"), Bytes(128 * 1024, 0x00));
    write_text(path, "device 1 5 flash=flash.bin lock=off part=at90usb1286\nother 1 6 03eb 2ff4\n");
    const sim::Batch batch = sim::load_scenario(path).batches.at(0);
    EXPECT_STREQ(batch.at(0).part->name, "at90usb1286");
    EXPECT_EQ(batch.at(0).product, 0x2FFB);
    EXPECT_EQ(batch.at(0).locked, false);
    EXPECT_EQ(batch.at(1).part, nullptr);
    write_text(path, "sigterm\ndevice 1 1\nsigterm\n");
    EXPECT_EQ(load_error(path), path + ":3: sigterm is given twice");
    write_text(path, "rotate a b\ndevice 1 1\nrotate a b\n");
    EXPECT_EQ(load_error(path), path + ":3: rotate is given twice");
    EXPECT_EQ(load_error(dir.path("none")),
              dir.path("none") + ": cannot read the scenario: No such file or directory");
}
