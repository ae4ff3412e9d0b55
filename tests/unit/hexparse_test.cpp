// The Intel HEX reader and the flash image the station builds from it, one row per input.
#include "korvodfu.h"
#include "korvofw.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <sstream>

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

} // namespace

TEST(FlashImage, Builds) {
    std::vector<HexCase> cases = {
        {"", 0, BAD, "", KEPT},
        {":", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {":0400000001020304F2\n:02000400ABCD82\n:00000001FF\n", 6, "", "0:6 ", "01020304ABCD"},
        {":02000400abcd82\r\n:02000600abcd80 trailing text\n:02000800ABCD7E", 6, "", "4:6 ",
         "ABCDABCDABCD"},
        {AT_0 + HEX_EOF + "\r\n \n", 2, "", "0:2 ", "ABCD"}, // blank lines at the end only
        {AT_0 + "\n" + AT_2, -1, LINE + "2\n" + BAD, "", KEPT, 1},
        {AT_0 + ":0200X200ABCD84\n", -1, LINE + "2\n" + BAD, "", KEPT, 1},
        {EXT0 + AT_0 + ":02000200ABCD85\n", -1, "rectype = 4\n" + EXT0 + LINE + "3\n" + BAD, "",
         KEPT, 1}, // 84 adds up; the file's own line number
        {":02000000ABCD", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {":00000001", 0, BAD, "", KEPT},
        {":0400", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {":02000000ABXD00\n", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {":0400000001", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        // Extended addresses place data as the standard says; at or above 64 KiB, refused.
        {SEG + hex_record(4, AB), 2, "rectype = 2\n" + SEG, "104:2 ", "ABCD"},
        {AT_0 + EXT + AT_2, -1, "rectype = 4\n" + EXT + LINE + "3\n" + BAD, "", KEPT, 1},
        {":020000021000EC\n" + AT_0, -1, "rectype = 2\n:020000021000EC\n" + LINE + "2\n" + BAD, "",
         KEPT, 1},
        {":0400000400\n", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {":020000040000FB\n", -1, LINE + "1\n" + BAD, "", KEPT, 1},
        {hex_record(0x12, AB) + hex_record(0x14, AB) + AT_0 + hex_record(0x1A, ONE), 7, "",
         "12:4 0:2 1a:1 ", "ABCD" + std::string(32, 'F') + "ABCDABCD" + std::string(8, 'F') + "07"},
        {hex_record(0x104, ONE) + hex_record(0x100, AB), 3, "", "104:1 100:2 ", "ABCDFFFF07"},
        {hex_record(0, ABAB) + AT_2, 6, "", "0:4 2:2 ", "ABCDABCD"},
        {hex_file(0, Bytes(0x10000, 0x77), 32), 0x10000, "", "0:65536 ", std::string(0x20000, '7')},
        {hex_record(0, ONE) + hex_record(0xFFFF, AB), -1, LINE + "2\n" + BAD, "", KEPT, 1},
        {hex_record(0x1A2, ONE) + hex_record(0x1A0, ABAB), -1,
         "Invalid hex: address 0x1a2 is given different values\n", "1a2:1 1a0:4 ", KEPT},
        {AT_0 + hex_record(1, ONE) + hex_record(0x10, AB), -1,
         "Invalid hex: address 0x1 is given different values\n", "0:2 1:1 ", KEPT},
        {hex_record(0x10, AB) + ":020000040001F9", 2, "rectype = 4\n" + EXT, "10:2 ", "ABCD"},
        {std::string(":020000040001F9\0junk\n", 21), 0, "rectype = 4\n" + EXT + BAD, "", KEPT},
        // Found by fuzz_hex: each record of another type showed the whole rest of the file.
        {":000000FC\n:02000049\n:04000003\n:00000509\n:400004B3\n:0400FFFF\n:0001FFFc\n"
         ":000000FFFF\n516174000FFFF\n",
         -1,
         "rectype = 252\n:000000FC\nrectype = 73\n:02000049\nrectype = 3\n:04000003\n"
         "rectype = 9\n:00000509\nrectype = 179\n:400004B3\nrectype = 255\n:0400FFFF\n"
         "rectype = 252\n:0001FFFc\nrectype = 255\n:000000FFFF\n" +
             LINE + "9\n" + BAD,
         "", KEPT, 1},
        // The same at scale: 1 MiB of these ran for minutes. With CR LF, no line end shown.
        {repeated(":020000040000FA\r\n", 1024) + ":0400000001020304F2\n:00000001FF\n", 4,
         repeated("rectype = 4\n" + EXT0, 1024), "0:4 ", "01020304"},
    };
    // What the AVR toolchain made of programs (-crlf and -lower: the same, written otherwise).
    for (std::string name : {"blink", "blink-crlf", "uart_echo", "uart_echo-lower", "tone"}) {
        Bytes bin = read_bytes(data_path("avr/" + name.substr(0, name.find('-')) + ".bin"));
        cases.push_back({to_text(read_bytes(data_path("avr/" + name + ".hex"))),
                         static_cast<int>(bin.size()), "", "0:" + std::to_string(bin.size()) + " ",
                         convert_string(bin.data(), static_cast<int32_t>(bin.size()))});
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
        EXPECT_EQ(convert_string(image.data(), static_cast<int32_t>(image.size())), c.image);
    }
    std::cout.flags(plain);
    IntelHex again; // the plain reader prints what it would flush; every parse starts afresh
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(again, hex_record(0x1A0, ONE)), 1);
    EXPECT_EQ(parse(again, hex_record(0x1A0, {15, 0xA0})), 2);
    EXPECT_EQ(parse(again, ":0400"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Flushing: 1  1a0 : 7 \n\nFlushing: 2  1a0 : f a0 \n\n" + LINE + "1\n");
}
