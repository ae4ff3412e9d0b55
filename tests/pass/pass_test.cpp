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

TEST_F(Pass, WholePassOnTheWire) {
    sim::SimDevice& dev = plug();
    const ByteBuffer old_flash = pattern(sim::kFlashSize, 99);
    dev.flip()->load(sim::MemoryUnit::Flash, 0, old_flash);
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    flash_bin = pattern(2500);
    hard_id = 0x10;
    rxaddr = 0x8700;

    PassRun r = run();
    ASSERT_EQ(r.result, 0) << r.err;
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
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 6, block.begin() + 64),
              std::vector<uint8_t>(58, 0));
    EXPECT_EQ(ByteBuffer(block.begin() + 64, block.end() - 16),
              ByteBuffer(flash_bin.begin() + 2048, flash_bin.end()));
    EXPECT_EQ(std::vector<uint8_t>(block.end() - 16, block.end()), std::vector<uint8_t>(16, 0));

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
    std::vector<uint8_t> record = sample_record();
    record[22] = 0;
    record[23] = 0x00, record[24] = 0x80; // hard ID 0x10
    record[26] = 0x87, record[27] = 0x00;
    EXPECT_EQ(std::vector<uint8_t>(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + 80),
              record);
    EXPECT_FALSE(dev.on_bus()); // started: it left for its application
    EXPECT_EQ(hard_id, 0x11);
    EXPECT_EQ(closes.closed, 1);
}

TEST_F(Pass, WhatTheOperatorSees) {
    sim::SimDevice& dev = plug();
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    flash_bin = pattern(300);
    hard_id = 0x10;
    rxaddr = 0x8700;

    PassRun r = run();
    EXPECT_EQ(r.result, 0);
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
}

TEST_F(Pass, MergeAndIdentityValues) {
    sim::SimDevice& dev = plug();
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    // A 100-byte image: read and written over 100 bytes, dumped over 80.
    eeprom_bin = ByteBuffer(100, 0x21);
    eeprom_bin[23] = 0xAA, eeprom_bin[24] = 0xBB;
    hard_id = 0x1FFF;
    soft_id = 0x12;
    rxaddr = 0x12;

    PassRun r = run();
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_NE(r.out.find(" -> Setting Hard ID to: 0x1FFF\n -> Setting Soft ID to: 0x0012\n"
                         " -> Setting RXaddr to: 0x0012\n"),
              std::string::npos);
    EXPECT_NE(r.out.find(" Hard ID:   0x1FFF\n Soft ID:   0x0012\n RXaddr:    0x12\n"),
              std::string::npos);

    const auto& log = dev.log();
    expect_wire(log, 5,
                {{0x21, 1, 6, "030000000063"}, {0xA1, 2, 100, ""}, {0x21, 1, 180, "010000000063"}});
    std::vector<uint8_t> expected(100, 0x21);
    expected[22] = 0;
    expected[23] = 0xFF, expected[24] = 0xF8; // the hard ID wins over the image
    expected[25] = 0x12;
    expected[26] = 0x00, expected[27] = 0x12;
    EXPECT_EQ(
        std::vector<uint8_t>(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + 100),
        expected);
    EXPECT_EQ(hard_id, 0x2000);
}

TEST_F(Pass, NoIdentityValuesWritesTheRecordBackWithByte22Cleared) {
    sim::SimDevice& dev = plug();
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    PassRun r = run();
    ASSERT_EQ(r.result, 0);
    // No flash image: the pass opens with the EEPROM phase.
    EXPECT_EQ(r.out.rfind("Reading EEPROM.\n", 0), 0u);
    expect_wire(dev.log(), 0, {CLEAR, STATUS, {0x21, 1, 6, "060300010000"}});
    std::vector<uint8_t> expected = sample_record();
    expected[22] = 0;
    EXPECT_EQ(std::vector<uint8_t>(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + 80),
              expected);
    EXPECT_EQ(hard_id, 0); // -1 advances to 0
}

TEST_F(Pass, WithoutWriteBackNothingIsWrittenToTheEeprom) {
    sim::SimDevice& dev = plug();
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    write_ee = false;
    hard_id = 0;
    soft_id = 0x33;
    PassRun r = run();
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.out.find("Writing EEPROM."), std::string::npos);
    EXPECT_NE(r.out.find(" -> Setting Soft ID to: 0x0033\n"), std::string::npos);
    for (const sim::LogEntry& e : dev.log())
        EXPECT_FALSE(e.request == 1 && !e.out.empty() && e.out[0] == 0x01)
            << "program command sent";
    EXPECT_EQ(std::vector<uint8_t>(dev.flip()->eeprom().begin(), dev.flip()->eeprom().begin() + 80),
              sample_record());
    EXPECT_EQ(hard_id, 0); // 0 stays 0
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

TEST_F(Pass, StatusClearErrorLeavesOnlyTheFirstText) {
    sim::SimDevice& dev = plug();
    dev.add_fault(*sim::parse_fault("statuslen@1"));
    flash_bin = pattern(100);
    PassRun r = run();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "Writing firmware... ");
    EXPECT_EQ(dev.log().size(), 2u);
}

TEST_F(Pass, MismatchListing) {
    // Two cells differ: their offsets, run together, then the abort line.
    sim::SimDevice& dev = plug();
    flash_bin = ByteBuffer(200, 0xFF);
    flash_bin[5] = 0x00;
    flash_bin[17] = 0x01;
    dev.add_fault(*sim::parse_fault("stuck"));
    PassRun r = run();
    EXPECT_EQ(r.result, -2);
    EXPECT_EQ(r.out, "Writing firmware... Checking... 517Abort ********** \n");

    // At most 100 offsets are listed.
    bench->reset();
    sim::SimDevice& dev2 = plug();
    dev2.add_fault(*sim::parse_fault("stuck"));
    flash_bin = ByteBuffer(300, 0x00);
    r = run();
    std::string offsets;
    for (int i = 0; i < 100; ++i)
        offsets += std::to_string(i);
    EXPECT_EQ(r.out, "Writing firmware... Checking... " + offsets + "Abort ********** \n");
}

TEST_F(Pass, FailedReadBackSegmentFailsTheVerification) {
    // Erased flash and an erased image: stale bytes would pass for the device's.
    sim::SimDevice& dev = plug();
    flash_bin = ByteBuffer(4096, 0xFF);
    dev.add_fault(*sim::parse_fault("stall@11")); // second segment's upload
    PassRun r = run();
    EXPECT_EQ(r.result, -2);
    EXPECT_NE(r.out.find("Memory read error\n"), std::string::npos);
    EXPECT_NE(r.out.find("Abort ********** \n"), std::string::npos);
}

TEST_F(Pass, ImageLongerThanTheReadBackIsReadBackWhole) {
    sim::SimDevice& dev = plug();
    flash_bin = pattern(sim::kFlashSize + 1000);
    PassRun r = run();
    // The model's flash ends at 32 KiB: the segment beyond stalls and the pass fails
    // instead of comparing past the read-back.
    EXPECT_EQ(r.result, -2);
    bool read_beyond = false;
    for (const sim::LogEntry& e : dev.log())
        read_beyond |= hex(e.out) == "0300800083E7";
    EXPECT_TRUE(read_beyond);
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

// Each fault at each request of a pass ends in a failure or in a device that really is
// programmed: never a device reported programmed that is not.
class PassFaultMatrix : public testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(PassFaultMatrix, NeverReportsAnUnprogrammedDevice) {
    const auto [kind, index] = GetParam();
    sim::Bench& bench = sim::Bench::install();
    sim::SimDevice& dev = bench.plug(BUS, DEVNUM);
    dev.flip()->load(sim::MemoryUnit::Eeprom, 0, sample_record());
    dev.add_fault(*sim::parse_fault(std::string(kind) + "@" + std::to_string(index)));

    ByteBuffer flash_bin = pattern(2100);
    int hard_id = 0x20;
    KorvoDfu loader;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = loader.try_device(BUS, DEVNUM, flash_bin, {}, hard_id, -1, 0x8700, true);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();

    if (result == 0) {
        const auto& flash = dev.flip()->flash();
        EXPECT_EQ(ByteBuffer(flash.begin(), flash.begin() + flash_bin.size()), flash_bin);
        const auto& ee = dev.flip()->eeprom();
        EXPECT_EQ(ee[23], 0x01);
        EXPECT_EQ(ee[24], 0x00);
        EXPECT_EQ(ee[26], 0x87);
        EXPECT_EQ(ee[22], 0x00);
        EXPECT_EQ(hard_id, 0x21);
    } else {
        EXPECT_EQ(hard_id, result == PASS_EEPROM_WRITE_ERROR ? 0x21 : 0x20);
        EXPECT_TRUE(dev.on_bus() || std::string(kind) == "unplug");
    }
    sim::Bench::uninstall();
}

INSTANTIATE_TEST_SUITE_P(Faults, PassFaultMatrix,
                         testing::Combine(testing::Values("unplug", "stall", "timeout", "short",
                                                          "statuslen", "badstatus", "stuck"),
                                          testing::Range(0, 80)),
                         [](const testing::TestParamInfo<PassFaultMatrix::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) + "_at_" +
                                    std::to_string(std::get<1>(info.param));
                         });
