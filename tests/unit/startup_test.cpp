// Start-up in this process: the options, the flash file and the EEPROM image it prepares.
#include "korvofw.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

using Args = std::vector<std::string>;
template <typename... T> Args A(T... args) {
    return {args...};
}

// Hex text put over the bytes from at on.
ByteBuffer put(ByteBuffer image, size_t at, const std::string& hex) {
    for (size_t k = 0; k < hex.size(); k += 2)
        image[at + k / 2] = static_cast<unsigned char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    return image;
}

const std::string HASH = "0123456789abcdef0123456789abcdef01234567";
const std::string TAGGED = "fw-1.2-7-g" + HASH + ".hex", PARSED = "Parsed firmware file: @";
const std::string VERSION = "version: " KORVOFW_GIT_SFX "\n";
const std::string USAGE = "Usage: korvofw [-f flash.hex] [-r 0x8700] [-I 0xFFF] [-e eeprom.bin] "
                          "[-i 0x1FFF] [-s 0xFF] [-v $(git log -n 1 --pretty=format:\"%H\")] "
                          "[-t $(git describe)] \n";
const std::string NOT_HEX =
    "\" (give hex digits with an optional sign and 0x, such as 1A0 or 0x1A0)\n" + USAGE;
const std::string UNUSABLE =
    " could not be read as a firmware image; no device will be programmed until it is fixed\n";
const std::string NO_IMAGE = "; give a readable file, or a new name to start one\n";
const ByteBuffer AREA(22, 0), NONE; // the version area a flash file brings

struct StartCase {
    Args args; // "@" stands for the scratch directory and a slash
    int status;
    std::string out, err;
    int flash_bytes;
    ByteBuffer eeprom;
    bool write_ee;
    int hard = -1, soft = -1, rxaddr = -1;
};

const StartCase START_CASES[] = {
    {A(), RUN_ON, "", "", 0, NONE, false},
    {A("-i", "0xFFFF", "-s", "-1", "-r", "8700"), RUN_ON, "", "", 0, NONE, true, 0x1FFF, -1,
     0x8700},
    {A("-i", "0x1FFF", "-I", "-5"), RUN_ON, "", "", 0, NONE, true, -5}, // the last one counts
    {A("-I", " \t10"), RUN_ON, "", "", 0, NONE, true, 0x10},
    {A("-I", "+1F", "-s", "FF", "-r", "FFFF"), RUN_ON, "", "", 0, NONE, true, 0x1F, 0xFF, 0xFFFF},
    {A("-I", "1FFF", "-s", "0x1"), RUN_ON, "", "", 0, NONE, true, 0x1FFF, 1},
    {A("-I", "-80000000"), RUN_ON, "", "", 0, NONE, true, INT_MIN},
    {A("-i", "8"), RUN_ON, "", "", 0, NONE, true, 1},
    {A("-r", "1"), RUN_ON, "", "", 0, NONE, true, -1, -1, 1},
    {A("-t", "12", "-v", "34"), RUN_ON, "", "", 0, NONE, true}, // no flash file, no version area
    {A("-I", " "), -1, VERSION, "invalid hex number for -I: \" " + NOT_HEX, 0, NONE, false},
    {A("-s", "1x"), -1, VERSION, "invalid hex number for -s: \"1x" + NOT_HEX, 0, NONE, false},
    {A("-r", "0x"), -1, VERSION, "invalid hex number for -r: \"0x" + NOT_HEX, 0, NONE, false},
    {A("-i", "80000000"), -1, VERSION, "invalid hex number for -i: \"80000000" + NOT_HEX, 0, NONE,
     false},
    {A("-I", "7FFFFFFF"), -1, "", "hard ID invalid : 0x7fffffff most be less than 0x1FFF\n", 0,
     NONE, true, INT_MAX},
    {A("-I", "2000"), -1, "", "hard ID invalid : 0x2000 most be less than 0x1FFF\n", 0, NONE, true,
     0x2000},
    {A("-s", "100"), -1, "", "soft ID invalid : 0x100 most be less than 0xFF\n", 0, NONE, true, -1,
     0x100},
    {A("-r", "10000"), -1, "", "RXaddr invalid : 0x10000 most be less than 0xFFFF\n", 0, NONE, true,
     -1, -1, 0x10000},
    {A("-h"), -1, VERSION, USAGE, 0, NONE, false},
    {A("-x"), -1, VERSION, "/bin/korvofw: invalid option -- 'x'\n" + USAGE, 0, NONE, false},
    {A("-f"), -1, VERSION, "/bin/korvofw: option requires an argument -- 'f'\n" + USAGE, 0, NONE,
     false},
    {A("-I", "1", "extra"), -1, VERSION, USAGE, 0, NONE, true, 1},
    {A("-e", "@missing"), RUN_ON, "", "", 0, ByteBuffer(32, 0xFF), true},
    {A("-I", "0", "-e", "@10"), RUN_ON, "", "", 0, ByteBuffer(10, 0x33), true, 0},
    {A("-I", "0", "-e", "@40"), RUN_ON, "", "", 0, ByteBuffer(40, 0x44), true, 0},
    {A("-I", "1", "-e", "@40"), RUN_ON, "", "", 0, ByteBuffer(40, 0x44), true, 1},
    {A("-I", "1", "-e", "@32"), RUN_ON, "", "", 0, ByteBuffer(32, 0x66), true, 1},
    {A("-I", "0", "-e", "@10", "-f", "@40.hex"), RUN_ON, PARSED + "40.hex : v  40 bytes\n", "", 40,
     AREA, true, 0},
    {A("-f", "@40.hex", "-v", "0123", "-e", "@30"), RUN_ON, PARSED + "40.hex : v  40 bytes\n", "",
     40, put(put(ByteBuffer(32, 0x55), 30, "FFFF"), 18, "0123"), true},
    {A("-f", "@40.hex", "-t", "v1.2"), RUN_ON, PARSED + "40.hex : v  40 bytes\n", "", 40,
     put(AREA, 20, "0102"), true},
    {A("-f", "@17.hex"), RUN_ON, PARSED + "17.hex : v  17 bytes\n", "", 17, AREA, false},
    {A("-f", "@65535.hex"), RUN_ON, PARSED + "65535.hex : v  65535 bytes\n", "", 65535, AREA,
     false},
    // The station still starts: the file is read again for every device.
    {A("-f", "@16.hex"), RUN_ON, "", "Flash file @16.hex" + UNUSABLE, 0, AREA, false},
    {A("-f", "@65536.hex"), RUN_ON, "", "Flash file @65536.hex" + UNUSABLE, 0, AREA, false},
    {A("-f", "@clash.hex"), RUN_ON, "Invalid hex: address 0x2 is given different values\n",
     "Flash file @clash.hex" + UNUSABLE, 0, AREA, false},
    {A("-f", "@huge.hex"), RUN_ON,
     "Invalid hex: @huge.hex holds 67108865 bytes, more than any firmware image needs\n",
     "Flash file @huge.hex" + UNUSABLE, 0, AREA, false},
    // name-MAJ-M-gHASH.hex: tag 1.27, read as the digits 1, 0, 2, 7, and the commit id.
    {A("-f", "@" + TAGGED, "-v", "99", "-t", "88"), RUN_ON,
     PARSED + TAGGED + " : v1.27 " + HASH + " 40 bytes\n", "", 40, put(AREA, 0, HASH + "1027"),
     true},
    {A("-f", "@fw--x.hex"), RUN_ON, PARSED + "fw--x.hex : v  40 bytes\n", "", 40, AREA, false},
    {A("-e", "@"), -1, "", "EEPROM image file @: is a directory" + NO_IMAGE, 0, NONE, true},
    {A("-e", "@fifo"), -1, "", "EEPROM image file @fifo: is not a regular file" + NO_IMAGE, 0, NONE,
     true},
    {A("-e", "@10/x"), -1, "", "EEPROM image file @10/x: Not a directory" + NO_IMAGE, 0, NONE,
     true},
};

} // namespace

TEST(Startup, OptionsFlashFileAndEepromImage) {
    ScratchDir dir;
    std::string at = dir.dir + "/";
    for (int n : {16, 17, 40, 65535, 65536})
        write_text(at + std::to_string(n) + ".hex", hex_file(0, Bytes(n, 0x5A)));
    write_text(at + TAGGED, hex_file(0, Bytes(40, 0x5A)));
    write_text(at + "fw--x.hex", hex_file(0, Bytes(40, 0x5A)));
    write_text(at + "clash.hex", hex_file(0, Bytes(20, 0x5A)) + hex_record(2, {9}));
    write_text(at + "huge.hex", "");
    ASSERT_EQ(truncate((at + "huge.hex").c_str(), (64 << 20) + 1), 0);
    for (auto [n, fill] : {std::pair{10, 0x33}, {30, 0x55}, {32, 0x66}, {40, 0x44}})
        write_bytes(at + std::to_string(n), Bytes(n, static_cast<unsigned char>(fill)));
    ASSERT_EQ(mkfifo((at + "fifo").c_str(), 0600), 0);
    auto here = [&](std::string text) {
        for (size_t k = text.find('@'); k != std::string::npos; k = text.find('@', k + at.size()))
            text.replace(k, 1, at);
        return text;
    };
    for (const StartCase& c : START_CASES) {
        Args args = {"/bin/korvofw"};
        for (const std::string& a : c.args)
            args.push_back(here(a));
        SCOPED_TRACE(testing::PrintToString(args));
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        RunConfig cfg;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        errno = ERANGE; // as any earlier call may leave it
        int status = startup(static_cast<int>(args.size()), argv.data(), cfg);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), here(c.err));
        EXPECT_EQ(out, here(c.out));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(cfg.flash_bin, Bytes(c.flash_bytes, 0x5A));
        EXPECT_EQ(cfg.eeprom_bin, c.eeprom);
        EXPECT_EQ(cfg.write_ee, c.write_ee);
        EXPECT_EQ(cfg.hard_id_set, c.hard);
        EXPECT_EQ(cfg.soft_id_set, c.soft);
        EXPECT_EQ(cfg.rxaddr_set, c.rxaddr);
    }
}
