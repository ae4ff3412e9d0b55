// Start-up in this process: options, flash file and EEPROM image, with the exact messages shown.
#include "korvofw.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

namespace {

using Args = std::vector<std::string>;
const auto A = [](auto... args) { return Args{"/bin/korvofw", args...}; };

const std::string HASH = "0123456789abcdef0123456789abcdef01234567";
const std::string HASH_BYTES = "0123456789ABCDEF0123456789ABCDEF01234567"; // as hex text
const std::string TAGGED = "d-x/fw-1.2-7-g" + HASH + ".hex", PARSED = "Parsed firmware file: ";
const std::string UNTAGGED = "fw-12-7-g" + HASH + ".hex"; // a major part of two characters
const std::string VERSION = "version: " KORVOFW_GIT_SFX "\n";
const std::string USAGE = "Usage: korvofw [-f flash.hex] [-r 0x8700] [-I 0xFFF] [-e eeprom.bin] "
                          "[-i 0x1FFF] [-s 0xFF] [-v $(git log -n 1 --pretty=format:\"%H\")] "
                          "[-t $(git describe)] \n";
const std::string NOT_HEX =
    "\" (give hex digits with an optional sign and 0x, such as 1A0 or 0x1A0)\n" + USAGE;
const std::string CUT = "it does not end with an end-of-file record (type 01): it was cut "
                        "short, copied halfway or onto a full disk";
const std::string NO_IMAGE = "; give a readable file, or a new name to start one\n";
const std::string BAD_HEX = "invalid hex number for -", LESS = " most be less than 0x";
const std::string EE = "EEPROM image file ", FW40 = "Parsed firmware file: 40.hex : v  40 bytes\n";
const std::string AREA(44, '0'); // the version area a flash file brings, as hex text
const std::string PORT = "invalid USB port for --port: \"",
                  PORT_FIX = "\" (give the port as udev names the device on it, such as 1-1.4; "
                             "udevadm info on the device shows it)\n";

// Unless it runs on, only the status and what was printed count: the program then ends.
struct StartCase {
    Args args; // in a directory of files made for them
    int status;
    std::string out, err, eeprom = ""; // eeprom as hex text
    int flash_bytes = 0;
    bool write_ee = false;
    int hard = -1, soft = -1, rxaddr = -1;
    std::string station = ""; // in the ledger; HOST stands for this machine's name
};

// Unusable: the station still starts, and reads the file again for every device.
StartCase unusable(const std::string& file, const std::string& why, const std::string& out = "") {
    return {A("-f", file), RUN_ON, out,
            "Flash file " + file + " could not be read as a firmware image: " + why +
                "; no device will be programmed until it is fixed\n",
            AREA};
}

const StartCase START_CASES[] = {
    {A(), RUN_ON, "", ""},
    {A("-i", "0xFFFF", "-s", "-1", "-r", "8700"), RUN_ON, "", "", "", 0, true, 0x1FFF, -1, 0x8700},
    // Leading blanks were always read as intended.
    {A("-I", " \t10"), RUN_ON, "", "", "", 0, true, 0x10},
    {A("-I", " +1FFF", "-s", "\t0xFF", "-r", "FFFF"), RUN_ON, "", "", "", 0, true, 0x1FFF, 0xFF,
     0xFFFF},
    {A("-I", "-80000000", "-s", "0x1"), RUN_ON, "", "", "", 0, true, INT_MIN, 1},
    {A("-v", "34"), RUN_ON, "", "", "", 0, true}, // no flash file, no version area
    {A("-t", "12"), RUN_ON, "", "", "", 0, true},
    {A("-I", "7FFFFFFF"), -1, "", "hard ID invalid : 0x7fffffff" + LESS + "1FFF\n"},
    // -i takes the stored 16-bit form; the shifted value is shown. The hard ID is tested first.
    {A("-s", "100", "-i", "0x10000"), -1, "", "hard ID invalid : 0x2000" + LESS + "1FFF\n"},
    {A("-s", "100"), -1, "", "soft ID invalid : 0x100" + LESS + "FF\n"},
    {A("-r", "10000"), -1, "", "RXaddr invalid : 0x10000" + LESS + "FFFF\n"},
    {A("-h"), -1, VERSION, USAGE},
    {A("-I", "1", "extra"), -1, VERSION, USAGE},
    {A("-x"), -1, VERSION, "/bin/korvofw: invalid option -- 'x'\n" + USAGE},
    {A("-f"), -1, VERSION, "/bin/korvofw: option requires an argument -- 'f'\n" + USAGE},
    {A("--ledger", ""), -1, "", "--ledger, --station and --pool need a name that is not empty\n"},
    // A station per port: named after the host and its port, unless it is given a name.
    {A("--ledger", "l.db", "--port", "1-1.4"), RUN_ON, "", "", "", 0, false, -1, -1, -1,
     "HOST:1-1.4"},
    {A("--port", "2-1", "--ledger", "l.db", "--station", "s"), RUN_ON, "", "", "", 0, false, -1, -1,
     -1, "s"},
    {A("--ledger", "l.db"), RUN_ON, "", "", "", 0, false, -1, -1, -1, "HOST"},
    {A("--port", "999-255.1.2.3.4.5.6"), RUN_ON, "", ""}, // seven port numbers, the most
    {A("-e", "missing"), RUN_ON, "", "", std::string(64, 'F'), 0, true},
    {A("-I", "1", "-e", "40"), RUN_ON, "", "", std::string(80, '4'), 0, true, 1},
    {A("-I", "0", "-e", "22", "-f", "40.hex"), RUN_ON, FW40, "", std::string(44, '2'), 40, true, 0},
    {A("-f", "40.hex", "-v", "1AF", "-e", "30"), RUN_ON, FW40, "",
     std::string(36, '5') + "01AF" + std::string(20, '5') + "FFFF", 40, true}, // right-aligned
    // Version and tag are cut to their 40 and 4 digits; non-digits read as 0.
    {A("-f", "40.hex", "-t", "v1.2.3", "-v", HASH + "FF"), RUN_ON, FW40, "", HASH_BYTES + "0102",
     40, true},
    {A("-f", "17.hex"), RUN_ON, PARSED + "17.hex : v  17 bytes\n", "", AREA, 17},
    {A("-f", "32768.hex"), RUN_ON, PARSED + "32768.hex : v  32768 bytes\n", "", AREA, 32768},
    unusable("16.hex", "it holds only 16 data bytes, too few for a firmware image"),
    unusable("32769.hex", "it needs flash up to address 0x8000, beyond the device's application "
                          "flash (0x0000 to 0x7FFF)"),
    unusable("cut.hex", CUT),
    unusable("0.hex", "it holds no data records"),
    unusable("fifo", "it is not a regular file"),
    unusable(".", "it is a directory"),
    unusable("none", "it does not exist"),
    unusable("22", "line 1: no ':' at its start", ".hex parse error line # 1\n"),
    unusable("sum.hex", "line 2: the checksum does not add up", ".hex parse error line # 2\n"),
    unusable("twice.hex", "line 2: address 0x1 is given a value different from an earlier record's",
             "Invalid hex: address 0x1 is given different values\n"),
    unusable("high.hex",
             "line 6: data at 0x1000E, at or above 64 KiB, where no flash of the device is",
             "rectype = 4\n:020000040001F9\n.hex parse error line # 6\n"),
    unusable("huge.hex", "it holds 67108865 bytes, more than any firmware image needs"),
    // name-MAJ-M-gHASH.hex: tag 1.27, read as the digits 1, 0, 2, 7, and the commit id.
    {A("-f", TAGGED), RUN_ON, PARSED + TAGGED + " : v1.27 " + HASH + " 40 bytes\n", "",
     HASH_BYTES + "1027", 40, true},
    {A("-f", UNTAGGED), RUN_ON, PARSED + UNTAGGED + " : v  40 bytes\n", "", AREA, 40},
    {A("-e", "."), -1, "", EE + ".: is a directory" + NO_IMAGE},
    {A("-e", "fifo"), -1, "", EE + "fifo: is not a regular file" + NO_IMAGE},
    {A("-e", "22/x"), -1, "", EE + "22/x: Not a directory" + NO_IMAGE},
    {A("-e", "d-x/none/x"), -1, "",
     EE + "d-x/none/x: its directory d-x/none does not exist; create the directory, or give a "
          "file in one that exists\n"},
    {A("-e", "1025"), -1, "",
     EE + "1025: holds 1025 bytes, more than the device's 1024-byte EEPROM; give an image of at "
          "most that size\n"},
    {A("-I", "0", "-e", "1024"), RUN_ON, "", "", std::string(2048, 'B'), 0, true, 0},
    {A("-f", "40.hex", "-e", "d-x/fw"), -1, "",
     EE + "d-x/fw: is the flash file given with -f; give the EEPROM image a file of its own\n"},
};

} // namespace

TEST(Startup, OptionsFlashFileAndEepromImage) {
    ScratchDir dir;
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(mkdir(dir.path("d-x").c_str(), 0700) | chdir(dir.dir.c_str()), 0);
    for (int n : {0, 16, 17, 40, 32768, 32769})
        write_text(std::to_string(n) + ".hex", hex_file(0, Bytes(n, 0x5A)));
    std::string forty = hex_file(0, Bytes(40, 0x5A));
    write_text("cut.hex", forty.substr(0, forty.rfind(':'))); // as `head` leaves it
    write_text("sum.hex", hex_record(0, {1}) + ":0100010002FF\n");
    write_text("twice.hex", hex_record(0, Bytes(40, 0x5A)) + hex_record(1, {1}));
    write_text("high.hex", forty + ":020000040001F9\n" + hex_record(14, {1}));
    ASSERT_EQ(symlink("../40.hex", "d-x/fw"), 0); // the same file by another name
    for (const std::string& name : {TAGGED, UNTAGGED, std::string("huge.hex")})
        write_text(name, hex_file(0, Bytes(40, 0x5A)));
    for (auto [n, fill] : {std::pair{22, 0x22}, {30, 0x55}, {40, 0x44}, {1024, 0xBB}, {1025, 0}})
        write_bytes(std::to_string(n), Bytes(n, static_cast<unsigned char>(fill)));
    ASSERT_EQ(truncate("huge.hex", (64 << 20) + 1) | mkfifo("fifo", 0600), 0);
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::vector<StartCase> cases(std::begin(START_CASES), std::end(START_CASES));
    // Values that are no hex number in range, each after its option's letter.
    for (std::string w :
         {"I ", "s1x", "i80000000", "r", "I0x", "s10 ", "izz", "r-80000001", "I\xef\xbc\x91"})
        cases.push_back({A("-" + w.substr(0, 1), w.substr(1)), -1, VERSION,
                         BAD_HEX + w[0] + ": \"" + w.substr(1) + NOT_HEX});
    // Names that are no USB port: a root hub's, an interface's, numbers 0, out of range or with a
    // leading zero, a letter, separators out of place, eight port numbers.
    for (std::string port : {"usb1", "1-1:1.0", "1-0", "0-1", "1000-1", "1-256", "1-01", "1-4a",
                             "1-1.", "1-1-2", "1", "", "1-1.2.3.4.5.6.7.8"})
        cases.push_back({A("--port", port), -1, "", PORT + port + PORT_FIX});
    for (const StartCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<char*> argv;
        for (const std::string& a : c.args)
            argv.push_back(const_cast<char*>(a.c_str())); // getopt reorders only the pointers
        argv.push_back(nullptr);
        RunConfig cfg;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        errno = ERANGE; // as any earlier call may leave it
        int status = startup(static_cast<int>(c.args.size()), argv.data(), cfg);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        std::string eeprom =
            convert_string(cfg.eeprom_bin.data(), static_cast<int32_t>(cfg.eeprom_bin.size()));
        bool flash = cfg.flash_bin == Bytes(c.flash_bytes, 0x5A);
        EXPECT_EQ(std::tie(status, out, err), std::tie(c.status, c.out, c.err));
        if (status == RUN_ON) {
            EXPECT_EQ(std::tie(eeprom, flash, cfg.write_ee, cfg.hard_id_set, cfg.soft_id_set,
                               cfg.rxaddr_set),
                      std::make_tuple(c.eeprom, true, c.write_ee, c.hard, c.soft, c.rxaddr));
            const bool on_host = c.station.compare(0, 4, "HOST") == 0;
            EXPECT_EQ(cfg.station, on_host ? host + c.station.substr(4) : c.station);
        }
    }
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}
