#include "korvofw.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace {

const std::string HASH = "0123456789abcdef0123456789abcdef01234567";

struct Started {
    int status;
    std::string out;
    std::string err;
};

// Start-up in this process, with argv as a user would type it.
Started start(RunConfig& cfg, std::vector<std::string> args) {
    args.insert(args.begin(), "korvofw");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = startup(static_cast<int>(args.size()), argv.data(), cfg);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
}

// Option texts must outlive the configuration that points at them.
struct Startup : testing::Test {
    ScratchDir dir;
    RunConfig cfg;
    std::vector<std::string> keep;
    Started run(std::vector<std::string> args) {
        keep = std::move(args);
        return start(cfg, keep);
    }
    std::string firmware(const std::string& name, int bytes = 40) {
        Bytes data(bytes);
        for (int i = 0; i < bytes; ++i)
            data[i] = static_cast<unsigned char>(i);
        write_text(dir.path(name), hex_file(0, data));
        return dir.path(name);
    }
};

} // namespace

TEST_F(Startup, NoOptionsGivesEmptyImagesAndNoIds) {
    Started s = run({});
    EXPECT_EQ(s.status, RUN_ON);
    EXPECT_EQ(s.out, "");
    EXPECT_TRUE(cfg.flash_bin.empty());
    EXPECT_TRUE(cfg.eeprom_bin.empty());
    EXPECT_EQ(cfg.hard_id_set, -1);
    EXPECT_EQ(cfg.soft_id_set, -1);
    EXPECT_EQ(cfg.rxaddr_set, -1);
    EXPECT_FALSE(cfg.write_ee);
}

TEST_F(Startup, HexNumbersAndTheirForms) {
    EXPECT_EQ(run({"-i", "0xFFFF", "-s", "-1", "-r", "8700"}).status, RUN_ON);
    EXPECT_EQ(cfg.hard_id_set, 0x1FFF);
    EXPECT_EQ(cfg.soft_id_set, -1);
    EXPECT_EQ(cfg.rxaddr_set, 0x8700);
    EXPECT_TRUE(cfg.write_ee);

    RunConfig other;
    std::vector<std::string> args = {"-i", "0x1FFF", "-I", "-5"};
    EXPECT_EQ(start(other, args).status, RUN_ON); // later options overwrite earlier ones
    EXPECT_EQ(other.hard_id_set, -5);
}

TEST_F(Startup, EepromImagePreparation) {
    // Missing file, hard ID not 0: 32 erased bytes.
    run({"-e", dir.path("missing.bin")});
    EXPECT_EQ(cfg.eeprom_bin, ByteBuffer(32, 0xFF));

    // -I 0 keeps a short image as it is; with -f it becomes 22 zero bytes.
    write_bytes(dir.path("ten.bin"), Bytes(10, 0x33));
    RunConfig zero;
    std::vector<std::string> a1 = {"-I", "0", "-e", dir.path("ten.bin")};
    start(zero, a1);
    EXPECT_EQ(zero.eeprom_bin, ByteBuffer(10, 0x33));
    RunConfig zero_flash;
    std::vector<std::string> a2 = {"-I", "0", "-e", dir.path("ten.bin"), "-f", firmware("fw.hex")};
    start(zero_flash, a2);
    EXPECT_EQ(zero_flash.eeprom_bin, ByteBuffer(22, 0));

    // A 40-byte image keeps its size.
    write_bytes(dir.path("forty.bin"), Bytes(40, 0x44));
    RunConfig forty;
    std::vector<std::string> a3 = {"-I", "10", "-e", dir.path("forty.bin")};
    start(forty, a3);
    EXPECT_EQ(forty.eeprom_bin, ByteBuffer(40, 0x44));
}

TEST_F(Startup, VersionAndTagGoIntoTheImageOnlyWithAFlashFile) {
    write_bytes(dir.path("thirty.bin"), Bytes(30, 0x55));
    run({"-f", firmware("fw.hex"), "-v", "0123", "-e", dir.path("thirty.bin")});
    ByteBuffer expected(30, 0x55);
    expected.resize(32, 0xFF); // no -I: the image is lengthened to 32 bytes
    expected[18] = 0x01;
    expected[19] = 0x23;
    EXPECT_EQ(cfg.eeprom_bin, expected);

    RunConfig tag;
    std::vector<std::string> a1 = {"-f", firmware("fw.hex"), "-t", "v1.2"};
    start(tag, a1);
    ByteBuffer tagged(22, 0);
    tagged[20] = 0x01;
    tagged[21] = 0x02;
    EXPECT_EQ(tag.eeprom_bin, tagged);

    RunConfig no_flash;
    std::vector<std::string> a2 = {"-t", "12", "-v", "34"};
    start(no_flash, a2);
    EXPECT_TRUE(no_flash.eeprom_bin.empty());
    EXPECT_TRUE(no_flash.write_ee);
}

TEST_F(Startup, ReportsTheParsedFirmwareFile) {
    std::string fw = firmware("fw.hex", 1234);
    Started s = run({"-f", fw});
    EXPECT_EQ(s.out, "Parsed firmware file: " + fw + " : v  1234 bytes\n");
    EXPECT_EQ(cfg.flash_bin.size(), 1234u);
    EXPECT_FALSE(cfg.write_ee);

    // Sixteen data bytes are too few to be a firmware image: nothing is reported.
    RunConfig tiny;
    std::vector<std::string> a = {"-f", firmware("tiny.hex", 16)};
    Started s16 = start(tiny, a);
    EXPECT_EQ(s16.status, RUN_ON); // the station starts; the file is read again per device
    EXPECT_EQ(s16.out, "");
    EXPECT_EQ(s16.err, "Flash file " + a[1] +
                           " could not be read as a firmware image; no device will be programmed"
                           " until it is fixed\n");
    EXPECT_TRUE(tiny.flash_bin.empty());
}

TEST_F(Startup, FileNameCarriesTagAndCommitId) {
    std::string fw = firmware("fw-1.2-7-g" + HASH + ".hex");
    Started s = run({"-f", fw, "-v", "99", "-t", "88"});
    EXPECT_EQ(s.out, "Parsed firmware file: " + fw + " : v1.27 " + HASH + " 40 bytes\n");
    EXPECT_STREQ(cfg.flash_tag_set, "1.27");
    EXPECT_STREQ(cfg.flash_ver_set, HASH.c_str());
    EXPECT_TRUE(cfg.write_ee);
    // Tag 1.27 reads as digits 1, 0, 2, 7; the hash fills bytes 0-19.
    EXPECT_EQ(cfg.eeprom_bin[20], 0x10);
    EXPECT_EQ(cfg.eeprom_bin[21], 0x27);
    EXPECT_EQ(cfg.eeprom_bin[0], 0x01);
    EXPECT_EQ(cfg.eeprom_bin[19], 0x67);

    // Two dashes in a row end the field list: no match.
    RunConfig dashes;
    std::vector<std::string> a = {"-f", firmware("fw--x.hex")};
    start(dashes, a);
    EXPECT_EQ(dashes.flash_tag_set, nullptr);
    EXPECT_FALSE(dashes.write_ee);
}
