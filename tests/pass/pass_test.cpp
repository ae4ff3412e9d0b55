// One programming pass on simulated bootloader devices (wire bytes, memories afterwards, output,
// every result code), and the arrival watcher against the bench's udev stand-ins.
#include "bench.h"
#include "korvodfu.h"
#include "test_files.h"
#include "udev_bench.h"
#include "udevwrapper.h"

#include <gtest/gtest.h>

namespace {

ByteBuffer pattern(size_t size, unsigned seed = 7) {
    ByteBuffer bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 8));
    return bytes;
}

// A request as "<type> <request> <length> <first 6 bytes out>"; value and index are 0.
std::string wire(const sim::LogEntry& e) {
    EXPECT_EQ(e.value | e.index, 0);
    return to_hex({static_cast<unsigned char>(e.request_type)}) + " " + std::to_string(e.request) +
           " " + std::to_string(e.length) + (e.out.empty() ? "" : " " + to_hex(e.out, 6));
}

std::string read_command(int first, int last) { // FLIP read of first..last
    return "21 1 6 0300" + hex(first, 4) + hex(last, 4);
}

// The identity record a test device starts with (hard ID 0x49), and how the pass shows it.
ByteBuffer sample_record() {
    ByteBuffer rec = {1,  2,  3,  4,  5,  6,  7,    8,    9,    10,   11,   12,   13,   14,
                      15, 16, 17, 18, 19, 20, 0x12, 0x34, 0x77, 0x02, 0x48, 0x05, 0x00, 0x12};
    rec.resize(80, 0xFF);
    return rec;
}
const std::string VERSION = " Tag:       1234\n"
                            " Version:   0102030405060708090A0B0C0D0E0F1011121314\n";
const std::string FF_ROW =
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n";
const std::string SAMPLE_READ =
    "Reading EEPROM.\n" + VERSION +
    " Hard ID:   0x0049\n Soft ID:   0x0005\n RXaddr:    0x12\n\n"
    "   1    2    3    4    5    6    7    8    9    A    B    C    D    E    F   10\n"
    "  11   12   13   14   12   34   77    2   48    5    0   12   FF   FF   FF   FF\n" +
    FF_ROW + FF_ROW + FF_ROW + "\n";

struct CloseCounter : sim::BenchObserver {
    int closed = 0;
    void device_closed(sim::SimDevice&) override { ++closed; }
};

struct PassRun {
    int result;
    std::string out, err;
};

struct Pass : testing::Test {
    sim::Bench* bench = &sim::Bench::install();
    CloseCounter closes;
    ByteBuffer flash_bin, eeprom_bin;
    int hard_id = -1, soft_id = -1, rxaddr = -1;
    bool write_ee = true, erase = false;
    const parts::Part* part = &parts::default_part();

    void TearDown() override { sim::Bench::uninstall(); }
    // A fresh bench with one device holding the sample record, and the given fault.
    sim::SimDevice& plug(const char* fault = nullptr, int bus = 1, int devnum = 5) {
        bench->reset();
        closes.closed = 0;
        bench->add_observer(&closes);
        sim::SimDevice& dev = bench->plug(bus, devnum, *part);
        dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
        if (fault != nullptr)
            dev.add_fault(*sim::parse_fault(fault));
        return dev;
    }
    PassRun run(int bus = 1, int devnum = 5) {
        KorvoDfu loader(*part, erase);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = loader.try_device(bus, devnum, flash_bin, eeprom_bin, hard_id, soft_id, rxaddr,
                                       write_ee);
        std::string out = testing::internal::GetCapturedStdout();
        return {result, out, testing::internal::GetCapturedStderr()};
    }
    ByteBuffer record(const sim::SimDevice& dev, size_t length = 80) {
        return ByteBuffer(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + length);
    }
};

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

TEST_F(Pass, WholePassOnTheWireWhatTheOperatorSeesAndTheDeviceAfter) {
    sim::SimDevice& dev = plug();
    const ByteBuffer old_flash = pattern(sim::kFlashSize, 99);
    dev.flip()->load(sim::MemoryUnit::Flash, 0, old_flash);
    flash_bin = pattern(2500);
    hard_id = 0x10, rxaddr = 0x8700;

    PassRun r = run();
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Writing firmware... Checking... Passed. \n\n" + SAMPLE_READ +
                         " -> Setting Hard ID to: 0x0010\n"
                         " -> Setting RXaddr to: 0x8700\n\nWriting EEPROM.\n" +
                         VERSION +
                         " Hard ID:   0x0010\n Soft ID:   0x0005\n RXaddr:    0x8700\n\n"
                         "Starting device.\n");
    // Clear, status, select flash and page 0, 3 blocks, 32 reads of 1 KiB, EEPROM, start twice.
    std::string expected = "21 4 0|A1 3 6|21 1 6 060300000000|21 1 6 060301000000|21 1 1104 "
                           "0100000003FF|21 1 1104 0100040007FF|21 1 532 0100080009C3|",
                sent;
    for (int k = 0; k < 32; ++k)
        expected += read_command(k * 1024, k * 1024 + 1023) + "|A1 2 1024|";
    expected += "21 4 0|A1 3 6|21 1 6 060300010000|21 1 6 060301000000|A1 3 6|21 1 6 03000000004F|"
                "A1 2 80|21 1 160 01000000004F|A1 3 6|21 1 5 0403010000|21 1 5 0403010000|";
    for (const sim::LogEntry& e : dev.log())
        sent += wire(e) + "|";
    EXPECT_EQ(sent, expected);
    // A download block: the command padded to 64 bytes, the data, 16 zero bytes.
    EXPECT_EQ(to_hex(dev.log()[6].out),
              "0100080009C3" + std::string(116, '0') +
                  to_hex(ByteBuffer(flash_bin.begin() + 2048, flash_bin.end())) +
                  std::string(32, '0'));

    // The device: image in flash, the rest of the page it touched erased, the rest kept.
    ByteBuffer flash = flash_bin;
    flash.resize(2560, 0xFF);
    flash.insert(flash.end(), old_flash.begin() + 2560, old_flash.end());
    EXPECT_EQ(dev.flip()->flash(), flash);
    ByteBuffer rec = sample_record();
    rec[22] = 0, rec[23] = 0x00, rec[24] = 0x80, rec[26] = 0x87, rec[27] = 0x00;
    EXPECT_EQ(record(dev), rec);
    EXPECT_FALSE(dev.on_bus()); // started: it left for its application
    EXPECT_EQ(hard_id, 0x11);
    EXPECT_EQ(closes.closed, 1);
}

// A megaAVR's pass, request by request as protocol 1 has them: the chip erase first, locked or
// not; 32-byte program headers; flash and EEPROM named in each command, no memory unit.
TEST_F(Pass, MegaAvrOnTheWire) {
    part = parts::find("atmega32u4");
    flash_bin = pattern(1100);
    std::string expected = "21 4 0|A1 3 6|21 1 3 0400FF|A1 3 6|21 4 0|A1 3 6|"
                           "21 1 1072 0100000003FF|21 1 124 01000400044B|";
    for (int k = 0; k < 28; ++k) // the 28 KiB below the bootloader
        expected += read_command(k * 1024, k * 1024 + 1023) + "|A1 2 1024|";
    expected += "21 4 0|A1 3 6|A1 3 6|21 1 6 03020000004F|A1 2 80|21 1 128 01010000004F|A1 3 6|"
                "21 1 5 0403010000|21 1 5 0403010000|";
    for (bool locked : {true, false}) {
        SCOPED_TRACE(locked);
        hard_id = 0x10;
        sim::SimDevice& dev = plug();
        if (!locked) // erased since its reset, as by another tool
            dev.flip()->handle(0, {0x21, 1, 0, 0, 3}, {0x04, 0x00, 0xFF});
        ASSERT_EQ(dev.flip()->locked(), locked);
        const ByteBuffer bootloader(dev.flip()->flash().begin() + 0x7000,
                                    dev.flip()->flash().end());
        PassRun r = run();
        ASSERT_EQ(r.result, 0) << r.err;
        std::string sent;
        for (const sim::LogEntry& e : dev.log())
            sent += (&e - dev.log().data() > 0 ? "|" : "") + wire(e);
        EXPECT_EQ(sent + "|", expected);
        EXPECT_EQ(to_hex(dev.log()[7].out),
                  "01000400044B" + std::string(52, '0') +
                      to_hex(ByteBuffer(flash_bin.begin() + 1024, flash_bin.end())) +
                      std::string(32, '0'));
        EXPECT_EQ(r.out.substr(0, r.out.find("done in ") + 8) + r.out.substr(r.out.find(" ms.\n")),
                  "Erasing chip... done in  ms.\nWriting firmware... Checking... Passed. \n\n" +
                      SAMPLE_READ + " -> Setting Hard ID to: 0x0010\n\nWriting EEPROM.\n" +
                      VERSION +
                      " Hard ID:   0x0010\n Soft ID:   0x0005\n RXaddr:    0x12\n\n"
                      "Starting device.\n");
        ByteBuffer flash = flash_bin;
        flash.resize(0x7000, 0xFF);
        flash.insert(flash.end(), bootloader.begin(), bootloader.end());
        EXPECT_EQ(dev.flip()->flash(), flash);
        EXPECT_EQ(to_hex(record(dev, 28)), "0102030405060708090A0B0C0D0E0F101112131412340000800500"
                                           "12");
    }
}

// Above 64 KiB each page is selected before it is written or read, in each protocol's form;
// an erase leaves what the image does not cover blank, and checks that it reads so.
TEST_F(Pass, PagesAndErase) {
    struct Case {
        const char* part;
        bool erase;
        size_t image;
        const char* fault;
        int result;
        std::string selects; // the select commands' first bytes, in order
    };
    const std::string P2 = "060300000000 060301000000 ", P2_EEPROM = "060300010000 060301000000 ";
    const Case cases[] = {
        {"at90usb1286", false, 0x10000 + 600, nullptr, 0,
         "060300000000 060300010000 060300000000 060300010000 "},
        {"atxmega128a4u", true, 0x10000 + 600, nullptr, 0,
         P2 + "060301000100 060301000000 060301000100 " + P2_EEPROM},
        {"atxmega128a4u", false, 3000, nullptr, 0,
         P2 + "060301000100 " + P2_EEPROM}, // no page 1 to write, all 128 KiB read back
        {"atxmega32a4u", true, 3000, nullptr, 0, P2 + P2_EEPROM},
        // The erase did not take: the blank check beyond the image fails the pass.
        {"atxmega32a4u", true, 3000, "noerase", -2, P2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + (c.erase ? " erased" : ""));
        part = parts::find(c.part), erase = c.erase;
        sim::SimDevice& dev = plug(c.fault);
        const ByteBuffer old = pattern(part->application_size(), 99);
        dev.flip()->load(sim::MemoryUnit::Flash, 0, old);
        flash_bin = pattern(c.image);
        PassRun r = run();
        EXPECT_EQ(r.result, c.result) << r.err;
        std::string selects;
        for (const sim::LogEntry& e : dev.log())
            selects += e.out.size() == 6 && e.out[0] == 6 ? to_hex(e.out) + " " : "";
        EXPECT_EQ(selects, c.selects);
        ByteBuffer flash = flash_bin;
        const bool paged = part->protocol == parts::PROTOCOL_2; // XMEGA erases what it writes
        const bool erased = (c.erase || !paged) && c.fault == nullptr;
        const size_t kept_from = erased  ? old.size()
                                 : paged ? (c.image + 255) / 256 * 256
                                         : c.image;
        flash.resize(kept_from, 0xFF);
        flash.insert(flash.end(), old.begin() + kept_from, old.end());
        EXPECT_EQ(ByteBuffer(dev.flip()->flash().begin(), dev.flip()->flash().begin() + old.size()),
                  c.result == 0 ? flash : dev.flip()->flash());
        EXPECT_EQ(has(r.out, "Erasing chip... done in "), c.erase || !paged);
    }
}

// Without a flash image: the image file and identity merged over the device's record, as told.
TEST_F(Pass, RecordMerge) {
    struct Case {
        ByteBuffer image;
        int hard, soft, rx;
        bool write_ee;
        std::string announced;                    // the "->" lines
        std::vector<std::pair<int, int>> changed; // record bytes that differ from the image's
        int hard_after;                           // (the device's, when there is none)
        size_t length;                            // of the record read and written
    };
    ByteBuffer long_image(100, 0x21);
    long_image[23] = 0xAA, long_image[24] = 0xBB;
    const std::vector<std::pair<int, int>> from_long = {{22, 0},    {23, 0xFF}, {24, 0xF8},
                                                        {25, 0x12}, {26, 0},    {27, 0x12}},
                                           from_long_rx = {{22, 0}, {26, 1}, {27, 1}};
    const Case cases[] = {
        {{}, -1, -1, -1, true, "", {{22, 0}}, 0, 80}, // nothing given: byte 22 cleared
        // Longer than the record; the hard ID wins over the image's bytes 23-24.
        {long_image, 0x1FFF, 0x12, 0x12, true,
         " -> Setting Hard ID to: 0x1FFF\n -> Setting Soft ID to: 0x0012\n"
         " -> Setting RXaddr to: 0x0012\n",
         from_long, 0x2000, 100},
        // Soft ID 0 and hard ID 0 are not put in; RXaddr 1 is.
        {{}, 0, 0, 1, true, " -> Setting RXaddr to: 0x0001\n", {{22, 0}, {26, 0}, {27, 1}}, 0, 80},
        {{}, 0, 0x33, -1, false, " -> Setting Soft ID to: 0x0033\n", {}, 0, 80}, // no write-back
        // Only the RXaddr given: the image's soft ID and hard ID bytes are taken.
        {long_image, -1, -1, 0x0101, true, " -> Setting RXaddr to: 0x0101\n", from_long_rx, 0, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        sim::SimDevice& dev = plug();
        eeprom_bin = c.image;
        hard_id = c.hard, soft_id = c.soft, rxaddr = c.rx, write_ee = c.write_ee;
        PassRun r = run();
        ASSERT_EQ(r.result, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find(c.write_ee ? "\nWriting EEPROM.\n" : "Starting")),
                  SAMPLE_READ + c.announced);
        ByteBuffer expected = c.image.empty() ? sample_record() : c.image;
        expected.resize(c.length, 0xFF);
        for (auto [at, value] : c.changed)
            expected[at] = static_cast<unsigned char>(value);
        EXPECT_EQ(record(dev, c.length), expected);
        const auto& log = dev.log();
        ASSERT_EQ(log.size(), c.write_ee ? 11u : 9u);
        EXPECT_EQ(wire(log[5]) + ", " + wire(log[6]),
                  read_command(0, static_cast<int>(c.length) - 1) + ", A1 2 " +
                      std::to_string(c.length));
        EXPECT_EQ(hard_id, c.hard_after);
    }
}

// Each failure ends the pass with its code and message: the device stays in its bootloader,
// its record is never written over a failed read or select, and its handle is closed.
TEST_F(Pass, Failures) {
    ByteBuffer one_cell(200, 0xFF);
    one_cell[17] = 0x01;
    // After a stalled request every read command is refused: of 32 segments, or 33 past the flash.
    std::string offsets, refused, verdict = "Checking... Abort ********** \n";
    for (int i = 0; i < 100; ++i)
        offsets += std::to_string(i), refused += i < 30 ? "Memory read queue error\n" : "";
    const std::string stalled = "Writing firmware... Memory read error\n" + refused + verdict,
                      beyond = "Writing firmware... " + refused + refused.substr(0, 72) + verdict;
    struct Case {
        const char* fault;
        ByteBuffer image;
        int result;
        std::string err;
        const char* out = nullptr; // whole, when given
    };
    const std::string read_error = "EEPROM read error: bus 1, device 5 did not get its identity "
                                   "record; unplug it and plug it in again\n",
                      clear = "Status clear error\n",
                      listed = "Writing firmware... Checking... " + offsets + "Abort ********** \n";
    // Request indices: with flash, 0 clear, 1 status, 2-3 select, 4.. blocks; without flash,
    // 0 clear, 1 status, 2-3 select EEPROM, 4 status, 5 read command, 6 upload, 7 write, 8 status.
    const ByteBuffer fw = pattern(2048), none;
    const Case cases[] = {
        {"badstatus@0", fw, -1, clear, "Writing firmware... "},
        {"statuslen@1", fw, -1, clear, "Writing firmware... "},
        {"stall@2", fw, -9,
         "Flash select error: bus 1, device 5 was not programmed; unplug it and plug it in "
         "again\n"},
        {"stuck@4", fw, -2, ""},
        {"statuslen@1", none, -3, clear, ""},
        {"timeout@2", none, -4, "EEPROM set error\n"},
        {"statuslen@4", none, -4, "EEPROM set error\n"},
        {"short@6", none, -8, read_error},
        {"timeout@5", none, -8, read_error},
        {"timeout@7", none, -5, "EEPROM write error\n"},
        {"statuslen@8", none, -5, "EEPROM write error\n"},
        // The read-back decides: differing cells are listed, at most 100; one is enough.
        {"stuck", one_cell, -2, "", "Writing firmware... Checking... 17Abort ********** \n"},
        {"stuck", ByteBuffer(300, 0x00), -2, "", listed.c_str()},
        // A failed segment, or one beyond the 32 KiB of flash, fails the pass: no stale bytes.
        {"stall@11", ByteBuffer(4096, 0xFF), -2, "", stalled.c_str()},
        {nullptr, pattern(sim::kFlashSize + 1000), -2, "", beyond.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        sim::SimDevice& dev = plug(c.fault);
        flash_bin = c.image;
        hard_id = 0x100;
        PassRun r = run();
        EXPECT_EQ(std::tie(r.result, r.err, r.out),
                  std::make_tuple(c.result, c.err, c.out != nullptr ? c.out : r.out));
        // A record write that was not confirmed may have reached the device: its ID is used up.
        EXPECT_EQ(hard_id, c.result == -5 ? 0x101 : 0x100);
        EXPECT_EQ(std::make_tuple(dev.on_bus(), has(r.out, "Starting"), closes.closed),
                  std::make_tuple(true, false, 1));
        EXPECT_EQ(record(dev), c.result != -5 ? sample_record() : record(dev));
    }
}

// A write of several segments sends them all and reports the first that failed.
TEST_F(Pass, ALongWriteReportsItsFirstFailedSegment) {
    sim::SimDevice& dev = plug("timeout@0");
    dev.add_fault(*sim::parse_fault("stall@1"));
    usb_find_busses(), usb_find_devices();
    KorvoDfu loader;
    loader.handle = usb_open(usb_get_busses()->devices);
    ASSERT_EQ(usb_claim_interface(loader.handle, 0), 0);
    EXPECT_EQ(loader.writeOp(0, pattern(2048)), -110);
    EXPECT_EQ(dev.log().size(), 2u);
    usb_release_interface(loader.handle, 0), usb_close(loader.handle);
}

TEST_F(Pass, FindingTheDevice) {
    PassRun none = run();
    EXPECT_EQ(none.result, -6);
    EXPECT_EQ(none.out + none.err,
              "Device not found: bus 1, device 5 is no longer on the USB bus; plug it in again\n");
    sim::SimDevice& on11 = plug(nullptr, 11, 5); // bus 11 is not bus 1; 12 is found for 12
    EXPECT_EQ(run(1, 5).result, -6);
    EXPECT_TRUE(on11.log().empty());
    bench->plug(12, 3);
    EXPECT_EQ(run(12, 3).result, 0);
    // A device that cannot be opened, or that another program holds, ends the pass at once,
    // naming it: "<result> <requests sent> <handles closed>: <what is said>".
    auto refused = [this](const char* fault, int bus, int devnum) {
        sim::SimDevice& dev = plug(fault, bus, devnum);
        PassRun r = run(bus, devnum);
        return std::to_string(r.result) + " " + std::to_string(dev.log().size()) + " " +
               std::to_string(closes.closed) + ": " + r.out + r.err;
    };
    EXPECT_EQ(refused("noopen", 2, 9),
              "-7 0 0: Cannot open the USB device on bus 2, device 9 (/dev/bus/usb/002/009): no "
              "access; install the udev rule 60-korvofw.rules and plug the device in again, or run "
              "as a user with access to USB devices\n");
    EXPECT_EQ(refused("busy", 3, 4),
              "-10 0 1: Device in use: bus 3, device 4 is held by another program; it was not "
              "programmed. Stop the other program, or give each station its own --port, and plug "
              "the device in again\n");
}

// Only arrivals: a device's bind, unbind and remove are passed over, even where they read the
// attributes of the device on their port (its own, or the next one plugged in there).
TEST_F(Watcher, TakesOneArrivalPerPoll) {
    {
        UdevWrapper watcher;
        EXPECT_FALSE(watcher.poll(0)); // nothing pending: returns at once, with no device
        EXPECT_EQ(held(watcher), "0 0 0 0 ");
        udev->bench().plug(1, 5);
        udev->bench().plug(12, 7, 0x046D, 0xC52B);
        ASSERT_TRUE(watcher.poll(0)); // the interface events in between never reach it
        EXPECT_EQ(held(watcher), "1 5 1003 12260 1-5 record");
        ASSERT_TRUE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "12 7 1133 50475 12-7 record");
        EXPECT_FALSE(watcher.poll(0));
        EXPECT_EQ(udev->live_records(), 0u); // each record is released once used
        sim::SimDevice& first = udev->bench().plug(2, 2, 0x03EB, 0x2FE4, "2-1.4");
        ASSERT_TRUE(watcher.poll(0));
        udev->bench().unplug(first);
        udev->bench().plug(2, 3, 0x03EB, 0x2FE4, "2-1.4");
        ASSERT_TRUE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "2 3 1003 12260 2-1.4 record");
        EXPECT_FALSE(watcher.poll(0));
        udev->bench().plug(2, 2);
        ASSERT_TRUE(watcher.poll(0));
    }
    // Released at the end, the record held last too.
    EXPECT_EQ(udev->live_records() + udev->live_monitors() + udev->live_contexts(), 0u);
}

// An arrival with an unreadable attribute gives nothing, and clears the previous device's fields.
TEST_F(Watcher, UnreadableAttributesGiveNothing) {
    for (const char* fault : {"noattr", "noattr@0", "noattr@1", "noattr@2", "noattr@3"}) {
        SCOPED_TRACE(fault);
        UdevWrapper watcher;
        udev->bench().plug(3, 3);
        ASSERT_TRUE(watcher.poll(0));
        sim::SimDevice& device = udev->bench().plug(1, 5);
        device.add_fault(*sim::parse_fault(fault));
        EXPECT_FALSE(watcher.poll(0));
        EXPECT_EQ(held(watcher), "0 0 0 0 ");
        EXPECT_EQ(udev->live_records(), 0u);
        udev->bench().unplug(*udev->bench().find(3, 3));
        udev->bench().unplug(device);
        while (watcher.poll(0)) {
        }
    }
}
