// In process: start-up (options, flash file, EEPROM image, exact messages); the HEX reader and the
// flash image built from it, a row per input; write_file, as root and as an unprivileged station.
#include "korvodfu.h"
#include "korvofw.h"
#include "test_files.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>
#include <sstream>

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
const std::string UNUSABLE = "Flash file ", WHY = " could not be read as a firmware image: ",
                  NOT_UNTIL = "; no device will be programmed until it is fixed\n",
                  EXT1 = "rectype = 4\n:020000040001F9\n";
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
    // Any part: its application flash and EEPROM bound the images; protocol 1 and --erase
    // program only with a flash image, as they erase the application.
    {A("--part", "atxmega128a4u", "-f", "65576.hex", "-e", "1025"), RUN_ON,
     EXT1 + PARSED + "65576.hex : v  65576 bytes\n", "", std::string(2050, '0'), 65576, true},
    {A("--part", "at90usb1286", "-f", "122881.hex"), RUN_ON, EXT1,
     UNUSABLE + "122881.hex" + WHY +
         "it needs flash up to address 0x1E000, beyond the device's application flash (0x0000 to "
         "0x1DFFF): the at90usb1286's bootloader starts at 0x1E000" +
         NOT_UNTIL,
     AREA},
    {A("--part", "atmega32u4", "-f", "40.hex", "-e", "1025"), -1, "",
     EE + "1025: holds 1025 bytes, more than the atmega32u4's 1024-byte EEPROM; give an image of "
          "at most that size\n"},
    {A("--part", "atmega32u4"), -1, "",
     "--part atmega32u4 needs a flash image (-f): its "
     "bootloader reads and writes nothing before a chip erase, which clears the application\n"},
    {A("--erase"), -1, "", "--erase needs a flash image (-f): the erase clears the application\n"},
    {A("--part", "atmega32u"), -1, "",
     "unknown part for --part: \"atmega32u\" (give a name as "
     "korvofw --list-parts shows it, such as atmega32u4)\n"},
};

} // namespace

TEST(Startup, OptionsFlashFileAndEepromImage) {
    ScratchDir dir;
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(mkdir(dir.path("d-x").c_str(), 0700) | chdir(dir.dir.c_str()), 0);
    for (int n : {0, 16, 17, 40, 32768, 32769, 65576, 122881})
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
        EXPECT_EQ(std::tie(status, out, err), std::tie(c.status, c.out, c.err));
        if (status == RUN_ON) {
            bool flash = cfg.flash_bin == Bytes(c.flash_bytes, 0x5A);
            EXPECT_EQ(std::make_tuple(to_hex(cfg.eeprom_bin), flash, cfg.write_ee, cfg.hard_id_set,
                                      cfg.soft_id_set, cfg.rxaddr_set),
                      std::make_tuple(c.eeprom, true, c.write_ee, c.hard, c.soft, c.rxaddr));
            const bool on_host = c.station.compare(0, 4, "HOST") == 0;
            EXPECT_EQ(cfg.station, on_host ? host + c.station.substr(4) : c.station);
        }
    }
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

namespace {

std::string repeated(const std::string& text, int times) {
    return times == 0 ? "" : text + repeated(text, times - 1);
}

// Digits follow the text, so a parser that reads past its end goes wrong.
int parse(IntelHex& hex, const std::string& text) {
    std::string padded = text + "00000000";
    return hex.parse(reinterpret_cast<const unsigned char*>(padded.data()),
                     static_cast<int>(text.size()), 0);
}

struct HexCase {
    std::string text;
    int parsed;
    std::string out, blocks, image; // blocks as address:length; image in hex, KEPT if no copy
    int parse_errors = 0;
};

const Bytes AB = {0xAB, 0xCD}, ABAB = {0xAB, 0xCD, 0xAB, 0xCD}, ONE = {0x07};
const std::string AT_0 = hex_record(0, AB), AT_2 = hex_record(2, AB), EXT = ":020000040001F9\n",
                  EXT0 = ":020000040000FA\n", SEG = ":020000020010EC\n"; // 64 KiB, 0, 0x100
const std::string LINE = ".hex parse error line # ", BAD = "Invalid hex\n", KEPT = "0909";

// Refused at the line, after what was printed before it; nothing copied.
HexCase refused(const std::string& text, int line, const std::string& before = "") {
    return {text, -1, before + LINE + std::to_string(line) + "\n" + BAD, "", KEPT, 1};
}

} // namespace

TEST(FlashImage, Builds) {
    std::vector<HexCase> cases = {
        {"", 0, BAD, "", KEPT},
        refused(":", 1),
        {":0400000001020304F2\n:02000400ABCD82\n:00000001FF\n", 6, "", "0:6 ", "01020304ABCD"},
        {":02000400abcd82\r\n:02000600abcd80 trailing text\n:02000800ABCD7E", 6, "", "4:6 ",
         "ABCDABCDABCD"},
        {AT_0 + HEX_EOF + "\r\n \n", 2, "", "0:2 ", "ABCD"}, // blank lines at the end only
        refused(AT_0 + "\n" + AT_2, 2),
        refused(AT_0 + ":0200X200ABCD84\n", 2),
        // 84 adds up; the file's own line number.
        refused(EXT0 + AT_0 + ":02000200ABCD85\n", 3, "rectype = 4\n" + EXT0),
        refused(":02000000ABCD", 1),
        {":00000001", 0, BAD, "", KEPT},
        refused(":0400", 1),
        refused(":02000000ABXD00\n", 1),
        refused(":0400000001", 1),
        // Extended addresses place data as the standard says; at or above 64 KiB, refused.
        {SEG + hex_record(4, AB), 2, "rectype = 2\n" + SEG, "104:2 ", "ABCD"},
        refused(AT_0 + EXT + AT_2, 3, "rectype = 4\n" + EXT),
        refused(":020000021000EC\n" + AT_0, 2, "rectype = 2\n:020000021000EC\n"),
        refused(":0400000400\n", 1),
        refused(":020000040000FB\n", 1),
        // The highest linear address record: 4 GiB less 64 KiB, no negative address.
        refused(":02000004FFFFFC\n" + AT_0, 2, "rectype = 4\n:02000004FFFFFC\n"),
        {hex_record(0x12, AB) + hex_record(0x14, AB) + AT_0 + hex_record(0x1A, ONE), 7, "",
         "12:4 0:2 1a:1 ", "ABCD" + std::string(32, 'F') + "ABCDABCD" + std::string(8, 'F') + "07"},
        {hex_record(0x104, ONE) + hex_record(0x100, AB), 3, "", "104:1 100:2 ", "ABCDFFFF07"},
        {hex_record(0, ABAB) + AT_2, 6, "", "0:4 2:2 ", "ABCDABCD"},
        {hex_file(0, Bytes(0x10000, 0x77), 32), 0x10000, "", "0:65536 ", std::string(0x20000, '7')},
        refused(hex_record(0, ONE) + hex_record(0xFFFF, AB), 2),
        {hex_record(0x1A2, ONE) + hex_record(0x1A0, ABAB), -1,
         "Invalid hex: address 0x1a2 is given different values\n", "1a2:1 1a0:4 ", KEPT},
        {AT_0 + hex_record(1, ONE) + hex_record(0x10, AB), -1,
         "Invalid hex: address 0x1 is given different values\n", "0:2 1:1 ", KEPT},
        {hex_record(0x10, AB) + ":020000040001F9", 2, "rectype = 4\n" + EXT, "10:2 ", "ABCD"},
        {std::string(":020000040001F9\0junk\n", 21), 0, "rectype = 4\n" + EXT + BAD, "", KEPT},
        // Found by fuzz_hex: each record of another type showed the whole rest of the file.
        refused(":000000FC\n:02000049\n:04000003\n:00000509\n:400004B3\n:0400FFFF\n:0001FFFc\n"
                ":000000FFFF\n516174000FFFF\n",
                9,
                "rectype = 252\n:000000FC\nrectype = 73\n:02000049\nrectype = 3\n:04000003\n"
                "rectype = 9\n:00000509\nrectype = 179\n:400004B3\nrectype = 255\n:0400FFFF\n"
                "rectype = 252\n:0001FFFc\nrectype = 255\n:000000FFFF\n"),
        // The same at scale: 1 MiB of these ran for minutes. With CR LF, no line end shown.
        {repeated(":020000040000FA\r\n", 1024) + ":0400000001020304F2\n:00000001FF\n", 4,
         repeated("rectype = 4\n" + EXT0, 1024), "0:4 ", "01020304"},
    };
    // What the AVR toolchain made of programs (-crlf and -lower: the same, written otherwise).
    for (std::string name : {"blink", "blink-crlf", "uart_echo", "uart_echo-lower", "tone"}) {
        Bytes bin = read_bytes(data_path("avr/" + name.substr(0, name.find('-')) + ".bin"));
        cases.push_back({to_text(read_bytes(data_path("avr/" + name + ".hex"))),
                         static_cast<int>(bin.size()), "", "0:" + std::to_string(bin.size()) + " ",
                         to_hex(bin)});
    }
    // As the station takes a flash file: a fresh parser, then the copy into a buffer of 09 09.
    // Addresses show in lower case after an upper-case display too, and the stream is kept.
    const std::ios::fmtflags plain = std::cout.flags(), upper = plain | std::ios::uppercase;
    for (const HexCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 50));
        std::cout.flags(upper);
        AvrParser parser;
        ByteBuffer image = {9, 9};
        testing::internal::CaptureStdout();
        int parsed = parse(parser, c.text), copied = parser.copy(image);
        std::string out = testing::internal::GetCapturedStdout();
        std::ostringstream blocks;
        for (size_t k = 0; k + 1 < parser.flushBuffer.size(); k += 2)
            blocks << std::hex << parser.flushBuffer[k] << ':' << std::dec
                   << parser.flushBuffer[k + 1] << ' ';
        EXPECT_EQ(std::make_tuple(parsed, copied, out, blocks.str(), parser.parseError,
                                  std::cout.flags() == upper),
                  std::make_tuple(c.parsed, c.image == KEPT ? -1 : 0, c.out, c.blocks,
                                  c.parse_errors, true));
        EXPECT_EQ(to_hex(image), c.image);
    }
    std::cout.flags(plain);
    IntelHex again; // the plain reader prints what it would flush; every parse starts afresh
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(again, hex_record(0x1A0, ONE)), 1);
    EXPECT_EQ(parse(again, hex_record(0x1A0, {15, 0xA0})), 2);
    EXPECT_EQ(std::make_tuple(again.lineCount, again.fileLine, again.endSeen),
              std::tuple(1, 1, false));
    EXPECT_EQ(parse(again, ":0400"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Flushing: 1  1a0 : 7 \n\nFlushing: 2  1a0 : f a0 \n\n" + LINE + "1\n");
}

namespace {

constexpr uid_t NOBODY = 65534; // and its group
constexpr int OK = 100, IN_PLACE = OK + WRITTEN_IN_PLACE;
const Bytes OLD(40, 0x11), NEW = {7}, NONE; // one byte, which a single write must finish

void file(const std::string& path, mode_t mode, uid_t owner = 0) {
    write_bytes(path, OLD);
    ASSERT_EQ(chmod(path.c_str(), mode) | chown(path.c_str(), owner, owner), 0);
}

using Dir = const std::string&;
struct WriteCase {
    void (*prepare)(Dir); // the directory the file is in, root's and 0755 to begin with
    bool as_nobody;
    int outcome; // OK + the result, or errno when it is -1
    mode_t mode; // the target's afterwards, 0 when there is none
    Bytes content;
    uid_t owner; // and group
    std::string name = "f", target = "f";
    bool size_limited = false; // no file may grow: every write fails, as on a full disk
};

const WriteCase WRITE_CASES[] = {
    {[](Dir) {}, false, OK, S_IFREG | 0644, NEW, 0}, // a new file: 0666 less the umask
    {[](Dir d) { file(d + "/f", 0444); }, false, OK, S_IFREG | 0444, NEW, 0}, // root may
    {[](Dir d) { file(d + "/f", 0640, NOBODY); }, false, OK, S_IFREG | 0640, NEW, NOBODY},
    {[](Dir d) { file(d + "/t", 0600), symlink((d + "/t").c_str(), (d + "/f").c_str()); }, false,
     OK, S_IFREG | 0600, NEW, 0, "f", "t"}, // the link is followed and kept
    // A dangling link: its target is created, beside the link.
    {[](Dir d) { chown(d.c_str(), NOBODY, NOBODY), symlink("t", (d + "/f").c_str()); }, true, OK,
     S_IFREG | 0644, NEW, NOBODY, "f", "t"},
    {[](Dir d) { mkdir((d + "/f").c_str(), 0700); }, false, EISDIR, S_IFDIR | 0700, NONE, 0},
    {[](Dir d) { chown(d.c_str(), NOBODY, NOBODY), file(d + "/f", 0444, NOBODY); }, true, EACCES,
     S_IFREG | 0444, OLD, NOBODY}, // refused, as a plain write would be
    // No room for a temporary file in root's directory: the file is rewritten in place.
    {[](Dir d) { file(d + "/f", 0644, NOBODY); }, true, IN_PLACE, S_IFREG | 0644, NEW, NOBODY},
    {[](Dir) {}, true, EACCES, 0, NONE, 0}, // and with no file to rewrite
    // The replacement cannot be written: the old file stays whole, and no temporary is left.
    {[](Dir d) { file(d + "/f", 0644); }, false, EFBIG, S_IFREG | 0644, OLD, 0, "f", "f", true},
    // Links in a loop: refused as a plain open would refuse them, and left as they were.
    {[](Dir d) { symlink("g", (d + "/f").c_str()), symlink("f", (d + "/g").c_str()); }, false,
     ELOOP, S_IFLNK | 0777, NONE, 0},
    // A rewrite in place that runs out of space fails.
    {[](Dir d) { symlink("/dev/full", (d + "/f").c_str()); }, true, ENOSPC, S_IFLNK | 0777, NONE,
     0},
};

// write_file of d/<name> in a child in dir, as nobody if asked; it leaves umask 022, no descriptor.
int write_as(const WriteCase& c, const std::string& dir) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (chdir(dir.c_str()) != 0)
            _exit(253);
        if (c.as_nobody && ((setgroups(0, nullptr) | setgid(NOBODY)) != 0 || setuid(NOBODY) != 0))
            _exit(255);
        const rlimit none = {0, 0};
        if (c.size_limited &&
            (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &none)))
            _exit(252);
        umask(022);
        close(STDIN_FILENO); // descriptor 0 is free, as for a station started without one
        errno = ERANGE;      // as an earlier call may leave it
        int result = write_file(("d/" + c.name).c_str(), NEW), error = errno;
        bool left_open = open("/dev/null", O_RDONLY) != 0;
        _exit(umask(0) != 022 || left_open ? 254 : result == -1 ? error : OK + result);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(WriteFile, ReplacesTheFileWholeOrSaysWhy) {
    ASSERT_EQ(geteuid(), 0u) << "run as root, as CI does: the rows set owners and drop to nobody";
    for (const WriteCase& c : WRITE_CASES) {
        SCOPED_TRACE(&c - WRITE_CASES);
        ScratchDir scratch;
        std::string d = scratch.path("d"), target = d + "/" + c.target;
        ASSERT_EQ(chmod(scratch.dir.c_str(), 0755) | mkdir(d.c_str(), 0755), 0);
        c.prepare(d);
        int outcome = write_as(c, scratch.dir);
        for (const auto& entry : std::filesystem::directory_iterator(d)) // no temporary file
            EXPECT_EQ(entry.path().filename().string().find('.'), std::string::npos);
        struct stat st {};
        lstat(target.c_str(), &st);
        Bytes content = S_ISREG(st.st_mode) ? read_bytes(target) : NONE;
        bool link = std::filesystem::is_symlink(d + "/" + c.name);
        EXPECT_EQ(std::tie(outcome, st.st_mode, content, st.st_uid, st.st_gid, link),
                  std::make_tuple(c.outcome, c.mode, c.content, c.owner, c.owner,
                                  c.name != c.target || S_ISLNK(c.mode)));
    }
}

// The table as the operator reads it, a row per part, the values as the datasheets give them.
TEST(Startup, ListsTheParts) {
    Args args = A("--list-parts", "--part", "none");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    RunConfig cfg;
    testing::internal::CaptureStdout();
    EXPECT_EQ(startup(static_cast<int>(argv.size()), argv.data(), cfg), 0);
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 33u); // the heading and 32 parts
    EXPECT_EQ(lines[0], "part            USB ID    protocol flash     bootloader application page "
                        " EEPROM signature");
    for (std::string row : {"atmega32u4      03eb:2ff4 1        32 KiB    4 KiB      28 KiB      "
                            "128   1024   1E 95 87",
                            "at90usb1286     03eb:2ffb 1        128 KiB   8 KiB      120 KiB     "
                            "256   4096   1E 97 82",
                            "atxmega32a4u    03eb:2fe4 2        32 KiB    4 KiB      32 KiB      "
                            "256   1024   1E 95 41",
                            "atxmega128a4u   03eb:2fde 2        128 KiB   8 KiB      128 KiB     "
                            "256   2048   1E 97 46",
                            "atxmega384c3    03eb:2fdb 2        384 KiB   8 KiB      384 KiB     "
                            "512   4096   1E 98 45"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), row), lines.end()) << row;
}
