// One programming pass against simulated bootloader devices: the bytes on the wire, the
// device's memories afterwards, what the operator sees and every result code.
#include "bench.h"
#include "korvodfu.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr int BUS = 1;
constexpr int DEVNUM = 5;

std::string hex(const std::vector<uint8_t>& bytes, size_t limit = SIZE_MAX) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

ByteBuffer pattern(size_t size, unsigned seed = 7) {
    ByteBuffer bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 8));
    return bytes;
}

struct PassRun {
    int result;
    std::string out;
    std::string err;
};

// Counts handles the pass closes.
struct CloseCounter : sim::BenchObserver {
    int closed = 0;
    void device_closed(sim::SimDevice&) override { ++closed; }
};

struct Pass : testing::Test {
    sim::Bench* bench = nullptr;
    CloseCounter closes;
    ByteBuffer flash_bin;
    ByteBuffer eeprom_bin;
    int hard_id = -1;
    int soft_id = -1;
    int rxaddr = -1;
    bool write_ee = true;

    void SetUp() override {
        bench = &sim::Bench::install();
        bench->add_observer(&closes);
    }
    void TearDown() override {
        bench->remove_observer(&closes);
        sim::Bench::uninstall();
    }
    sim::SimDevice& plug(int bus = BUS, int devnum = DEVNUM) { return bench->plug(bus, devnum); }

    PassRun run(int bus = BUS, int devnum = DEVNUM) {
        KorvoDfu loader;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = loader.try_device(bus, devnum, flash_bin, eeprom_bin, hard_id, soft_id, rxaddr,
                                       write_ee);
        std::string out = testing::internal::GetCapturedStdout();
        return {result, out, testing::internal::GetCapturedStderr()};
    }
};

// The identity record a test device starts with.
std::vector<uint8_t> sample_record() {
    std::vector<uint8_t> rec(80, 0xFF);
    for (int i = 0; i < 20; ++i)
        rec[i] = static_cast<uint8_t>(i + 1);
    rec[20] = 0x12, rec[21] = 0x34, rec[22] = 0x77;
    rec[23] = 0x02, rec[24] = 0x48; // hard ID 0x49
    rec[25] = 0x05;
    rec[26] = 0x00, rec[27] = 0x12;
    return rec;
}

const char SAMPLE_SHOWN[] = " Tag:       1234\n"
                            " Version:   0102030405060708090A0B0C0D0E0F1011121314\n"
                            " Hard ID:   0x0049\n"
                            " Soft ID:   0x0005\n"
                            " RXaddr:    0x12\n"
                            "\n";
const char SAMPLE_DUMP[] =
    "   1    2    3    4    5    6    7    8    9    A    B    C    D    E    F   10\n"
    "  11   12   13   14   12   34   77    2   48    5    0   12   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "\n";

// One expected request: setup, and the leading bytes it carries out (hex).
struct Wire {
    int type;
    int request;
    int length;
    const char* out_prefix;
};

void expect_wire(const std::vector<sim::LogEntry>& log, size_t first,
                 const std::vector<Wire>& wire) {
    ASSERT_GE(log.size(), first + wire.size());
    for (size_t k = 0; k < wire.size(); ++k) {
        const sim::LogEntry& e = log[first + k];
        SCOPED_TRACE("request " + std::to_string(first + k));
        EXPECT_EQ(e.request_type, wire[k].type);
        EXPECT_EQ(e.request, wire[k].request);
        EXPECT_EQ(e.value, 0);
        EXPECT_EQ(e.index, 0);
        EXPECT_EQ(e.length, wire[k].length);
        std::string prefix = wire[k].out_prefix;
        EXPECT_EQ(hex(e.out, prefix.size() / 2), prefix);
    }
}

const Wire CLEAR = {0x21, 4, 0, ""};
const Wire STATUS = {0xA1, 3, 6, ""};
const Wire UPLOAD_1K = {0xA1, 2, 1024, ""};

} // namespace

TEST_F(Pass, WholePassOnTheWireWhatTheOperatorSeesAndTheDeviceAfter) {
    sim::SimDevice& dev = plug();
    const ByteBuffer old_flash = pattern(sim::kFlashSize, 99);
    dev.flip()->load(sim::MemoryUnit::Flash, 0, old_flash);
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    flash_bin = pattern(2500);
    hard_id = 0x10;
    rxaddr = 0x8700;

    PassRun r = run();
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("Writing firmware... Checking... Passed. \n\n"
                                 "Reading EEPROM.\n") +
                         SAMPLE_SHOWN + SAMPLE_DUMP +
                         " -> Setting Hard ID to: 0x0010\n"
                         " -> Setting RXaddr to: 0x8700\n"
                         "\nWriting EEPROM.\n"
                         " Tag:       1234\n"
                         " Version:   0102030405060708090A0B0C0D0E0F1011121314\n"
                         " Hard ID:   0x0010\n"
                         " Soft ID:   0x0005\n"
                         " RXaddr:    0x8700\n"
                         "\n"
                         "Starting device.\n");
    const auto& log = dev.log();
    ASSERT_EQ(log.size(), 82u);

    // Flash phase: clear, status, select flash and page 0, three blocks.
    expect_wire(log, 0,
                {CLEAR,
                 STATUS,
                 {0x21, 1, 6, "060300000000"},
                 {0x21, 1, 6, "060301000000"},
                 {0x21, 1, 1104, "0100000003FF"},
                 {0x21, 1, 1104, "0100040007FF"},
                 {0x21, 1, 532, "0100080009C3"}});
    EXPECT_EQ(hex(log[1].in), "000000000200");
    // A download block: command, 58 zero bytes, the data, 16 zero bytes.
    const auto& block = log[6].out;
    EXPECT_EQ(ByteBuffer(block.begin() + 6, block.begin() + 64), ByteBuffer(58, 0));
    EXPECT_EQ(ByteBuffer(block.begin() + 64, block.end() - 16),
              ByteBuffer(flash_bin.begin() + 2048, flash_bin.end()));
    EXPECT_EQ(ByteBuffer(block.end() - 16, block.end()), ByteBuffer(16, 0));

    // Read-back: 32 read commands, each followed by a 1024-byte upload.
    expect_wire(log, 7, {{0x21, 1, 6, "0300000003FF"}, UPLOAD_1K, {0x21, 1, 6, "0300040007FF"}});
    expect_wire(log, 69, {{0x21, 1, 6, "03007C007FFF"}, UPLOAD_1K});

    // EEPROM phase and start.
    expect_wire(log, 71,
                {CLEAR,
                 STATUS,
                 {0x21, 1, 6, "060300010000"},
                 {0x21, 1, 6, "060301000000"},
                 STATUS,
                 {0x21, 1, 6, "03000000004F"},
                 {0xA1, 2, 80, ""},
                 {0x21, 1, 160, "01000000004F"},
                 STATUS,
                 {0x21, 1, 5, "0403010000"},
                 {0x21, 1, 5, "0403010000"}});

    // The device: image in flash, the rest of the page it touched erased, the rest kept.
    const auto& flash = dev.flip()->flash();
    EXPECT_EQ(ByteBuffer(flash.begin(), flash.begin() + 2500), flash_bin);
    EXPECT_EQ(ByteBuffer(flash.begin() + 2500, flash.begin() + 2560), ByteBuffer(60, 0xFF));
    EXPECT_EQ(ByteBuffer(flash.begin() + 2560, flash.end()),
              ByteBuffer(old_flash.begin() + 2560, old_flash.end()));
    ByteBuffer record = sample_record();
    record[22] = 0;
    record[23] = 0x00, record[24] = 0x80; // hard ID 0x10
    record[26] = 0x87, record[27] = 0x00;
    EXPECT_EQ(ByteBuffer(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + 80), record);
    EXPECT_FALSE(dev.on_bus()); // started: it left for its application
    EXPECT_EQ(hard_id, 0x11);
    EXPECT_EQ(closes.closed, 1);
}

// The record merge without a flash image: the image file's bytes and the identity values
// over the record the device holds, and what the operator is told.
TEST_F(Pass, RecordMerge) {
    struct Case {
        const char* name;
        ByteBuffer image;
        int hard, soft, rx;
        bool write_ee;
        const char* announced;                    // the "->" lines
        std::vector<std::pair<int, int>> changed; // record bytes that differ from the device's
        int hard_after;
        size_t length; // of the record read and written
    };
    ByteBuffer long_image(100, 0x21);
    long_image[23] = 0xAA, long_image[24] = 0xBB;
    std::vector<std::pair<int, int>> from_long;
    for (int i = 0; i < 100; ++i)
        if (i < 22 || i > 27)
            from_long.push_back({i, 0x21});
    from_long.insert(from_long.end(),
                     {{22, 0}, {23, 0xFF}, {24, 0xF8}, {25, 0x12}, {26, 0}, {27, 0x12}});
    const Case cases[] = {
        {"nothing given: byte 22 cleared", {}, -1, -1, -1, true, "", {{22, 0}}, 0, 80},
        {"image longer than the record; the hard ID wins over it", long_image, 0x1FFF, 0x12, 0x12,
         true,
         " -> Setting Hard ID to: 0x1FFF\n -> Setting Soft ID to: 0x0012\n"
         " -> Setting RXaddr to: 0x0012\n",
         from_long, 0x2000, 100},
        {"soft ID 0 and hard ID 0 are not put in; RXaddr 1 is",
         {},
         0,
         0,
         1,
         true,
         " -> Setting RXaddr to: 0x0001\n",
         {{22, 0}, {26, 0}, {27, 1}},
         0,
         80},
        {"no write-back", {}, 0, 0x33, -1, false, " -> Setting Soft ID to: 0x0033\n", {}, 0, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bench->reset();
        sim::SimDevice& dev = plug();
        dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
        eeprom_bin = c.image;
        flash_bin.clear();
        hard_id = c.hard, soft_id = c.soft, rxaddr = c.rx, write_ee = c.write_ee;
        PassRun r = run();
        ASSERT_EQ(r.result, 0) << r.err;
        // No flash image: the pass opens with the EEPROM phase.
        EXPECT_EQ(r.out.rfind("Reading EEPROM.\n", 0), 0u);
        size_t shown = r.out.find(SAMPLE_DUMP) + std::string(SAMPLE_DUMP).size();
        size_t end = r.out.find(c.write_ee ? "\nWriting EEPROM.\n" : "Starting device.\n");
        EXPECT_EQ(r.out.substr(shown, end - shown), c.announced);
        EXPECT_EQ(r.out.find("Writing EEPROM.") != std::string::npos, c.write_ee);
        ByteBuffer expected = sample_record();
        expected.resize(std::max<size_t>(expected.size(), c.length), 0xFF);
        for (auto [at, value] : c.changed)
            expected[at] = static_cast<unsigned char>(value);
        EXPECT_EQ(ByteBuffer(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + c.length),
                  expected);
        std::string length = hex({static_cast<uint8_t>(c.length - 1)});
        expect_wire(dev.log(), 5,
                    {{0x21, 1, 6, ("03000000" + std::string("00") + length).c_str()},
                     {0xA1, 2, static_cast<int>(c.length), ""}});
        size_t programs = 0;
        for (const sim::LogEntry& e : dev.log())
            programs += e.request == 1 && !e.out.empty() && e.out[0] == 0x01;
        EXPECT_EQ(programs, c.write_ee ? 1u : 0u);
        EXPECT_EQ(hard_id, c.hard_after);
    }
}

TEST_F(Pass, FailureCodesAndMessages) {
    struct Case {
        const char* fault;
        bool with_flash;
        int result;
        const char* err;
    };
    const char* const EEPROM_READ_ERROR = "EEPROM read error: bus 1, device 5 did not get its "
                                          "identity record; unplug it and plug it in again\n";
    // Request indices: with flash, 0 clear, 1 status, 2-3 select, 4.. blocks; without flash,
    // 0 clear, 1 status, 2-3 select EEPROM, 4 status, 5 read command, 6 upload, 7 write, 8 status.
    const Case cases[] = {
        {"badstatus@0", true, -1, "Status clear error\n"},
        {"statuslen@1", true, -1, "Status clear error\n"},
        {"stall@2", true, -9,
         "Flash select error: bus 1, device 5 was not programmed; unplug it and plug it in "
         "again\n"},
        {"stuck@4", true, -2, ""},
        {"statuslen@1", false, -3, "Status clear error\n"},
        {"timeout@2", false, -4, "EEPROM set error\n"},
        {"statuslen@4", false, -4, "EEPROM set error\n"},
        {"short@6", false, -8, EEPROM_READ_ERROR},
        {"timeout@5", false, -8, EEPROM_READ_ERROR},
        {"timeout@7", false, -5, "EEPROM write error\n"},
        {"statuslen@8", false, -5, "EEPROM write error\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        bench->reset();
        bench->add_observer(&closes);
        closes.closed = 0;
        sim::SimDevice& dev = plug();
        dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
        dev.add_fault(*sim::parse_fault(c.fault));
        flash_bin = c.with_flash ? pattern(2048) : ByteBuffer();
        hard_id = 0x100;
        PassRun r = run();
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.err, c.err);
        if (c.result == PASS_STATUS_CLEAR_ERROR) { // nothing after the first text
            EXPECT_EQ(r.out, "Writing firmware... ");
        }
        // A record write that was not confirmed may have reached the device: its ID is used up.
        EXPECT_EQ(hard_id, c.result == -5 ? 0x101 : 0x100);
        EXPECT_TRUE(dev.on_bus()); // left in its bootloader
        for (const sim::LogEntry& e : dev.log())
            EXPECT_FALSE(!e.out.empty() && e.out[0] == 0x04) << "start command sent";
        EXPECT_EQ(closes.closed, 1);
        if (c.result != -5) { // the record is never written over a failed read or select
            EXPECT_EQ(std::vector<uint8_t>(dev.flip()->eeprom().begin(),
                                           dev.flip()->eeprom().begin() + 80),
                      sample_record());
        }
    }
}

// The read-back decides: differing cells are listed (at most 100), a read-back segment that
// failed or lies beyond the device's flash fails the pass.
TEST_F(Pass, Verification) {
    struct Case {
        const char* name;
        ByteBuffer image;
        const char* fault;
        const char* out;     // null: only "Abort" at the end is checked
        const char* request; // a request the pass must have sent, or ""
    };
    ByteBuffer two_cells(200, 0xFF);
    two_cells[5] = 0x00, two_cells[17] = 0x01;
    std::string offsets;
    for (int i = 0; i < 100; ++i)
        offsets += std::to_string(i);
    const std::string listed = "Writing firmware... Checking... " + offsets + "Abort ********** \n";
    const Case cases[] = {
        {"two cells differ", two_cells, "stuck",
         "Writing firmware... Checking... 517Abort ********** \n", ""},
        {"at most 100 listed", ByteBuffer(300, 0x00), "stuck", listed.c_str(), ""},
        // Erased flash and an erased image: stale bytes would pass for the device's.
        {"second segment's upload stalls", ByteBuffer(4096, 0xFF), "stall@11", nullptr, ""},
        // The model's flash ends at 32 KiB: the segment beyond stalls.
        {"image beyond the flash", pattern(sim::kFlashSize + 1000), nullptr, nullptr,
         "0300800083E7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bench->reset();
        sim::SimDevice& dev = plug();
        if (c.fault != nullptr)
            dev.add_fault(*sim::parse_fault(c.fault));
        flash_bin = c.image;
        PassRun r = run();
        EXPECT_EQ(r.result, -2);
        if (c.out != nullptr) {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_NE(r.out.find("Abort ********** \n"), std::string::npos);
        bool sent = *c.request == '\0';
        for (const sim::LogEntry& e : dev.log())
            sent |= hex(e.out) == c.request;
        EXPECT_TRUE(sent);
    }
}

TEST_F(Pass, FindingTheDevice) {
    // Nothing on the bus.
    PassRun none = run();
    EXPECT_EQ(none.result, -6);
    EXPECT_EQ(none.err, "Device not found: bus 1, device 5 is no longer on the USB bus; plug it in "
                        "again\n");
    EXPECT_EQ(none.out, "");

    // Bus 11 is not bus 1; bus 12 is found for 12.
    sim::SimDevice& on11 = plug(11, DEVNUM);
    EXPECT_EQ(run(1, DEVNUM).result, -6);
    EXPECT_TRUE(on11.log().empty());
    sim::SimDevice& on12 = plug(12, 3);
    EXPECT_EQ(run(12, 3).result, 0);
    EXPECT_FALSE(on12.log().empty());

    // A device that cannot be opened ends the pass at once, naming it.
    sim::SimDevice& locked = plug(2, 9);
    locked.add_fault(*sim::parse_fault("noopen"));
    PassRun r = run(2, 9);
    EXPECT_EQ(r.result, -7);
    EXPECT_EQ(r.err, "Cannot open the USB device on bus 2, device 9 (/dev/bus/usb/002/009): no "
                     "access; install the udev rule 60-korvofw.rules and plug the device in "
                     "again, or run as a user with access to USB devices\n");
    EXPECT_TRUE(locked.log().empty());
}
