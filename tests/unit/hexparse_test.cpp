// The Intel HEX reader and the flash image the station builds from it, one row per input.
#include "korvodfu.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace {

std::string hex_text(const Bytes& bytes) {
    std::string text;
    for (unsigned char b : bytes)
        text += std::string(1, "0123456789ABCDEF"[b >> 4]) + "0123456789ABCDEF"[b & 15];
    return text;
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int k = 0; k < times; ++k)
        all += text;
    return all;
}

int parse(IntelHex& hex, const std::string& text) {
    return hex.parse(reinterpret_cast<const unsigned char*>(text.data()),
                     static_cast<int>(text.size()), 0);
}

const Bytes AB = {0xAB, 0xCD}, ABAB = {0xAB, 0xCD, 0xAB, 0xCD}, ONE = {0x07}, NO_DATA;
const std::string AT_0 = hex_record(0, AB), AT_2 = hex_record(2, AB);
const std::string LINE = ".hex parse error line # ", BAD = "Invalid hex\n", KEPT = "0909";
const std::string ELA = ":020000040001F9\n"; // an extended linear address record

struct HexCase {
    const char* what;
    std::string text;
    int parsed;
    std::string out, blocks, image; // blocks as address:length; KEPT when copy failed
    int parse_errors = 0;
};

const HexCase HEX_CASES[] = {
    {"empty", "", 0, BAD, "", KEPT},
    {"a lone start code", ":", -1, LINE + "1\n" + BAD, "", KEPT, 1},
    {"by hand", ":0400000001020304F2\n:02000400ABCD82\n:00000001FF\n", 6, "", "0:6 ",
     "01020304ABCD"},
    {"CR LF, lower case, trailing text, no last line feed",
     ":02000400abcd82\r\n:02000600abcd80 trailing text\n:02000800ABCD7E", 6, "", "4:6 ",
     "ABCDABCDABCD"},
    {"after the end record", AT_0 + HEX_EOF + AT_2, 4, "", "0:4 ", "ABCDABCD"},
    {"a stray line feed", AT_0 + HEX_EOF + "\n", -1, LINE + "2\n" + BAD, "", KEPT, 1},
    {"a blank first", " " + AT_0, -1, LINE + "1\n" + BAD, "", KEPT, 1},
    {"a non-digit address", AT_0 + AT_2 + ":0200X400ABCD80\n", -1, LINE + "3\n" + BAD, "", KEPT, 1},
    // Counted once the header is read, so the line after.
    {"a non-digit checksum", AT_0 + ":02000200ABCDZ0\n", -1, LINE + "3\n" + BAD, "", KEPT, 1},
    {"a wrong checksum (84 is right)", AT_0 + ":02000200ABCD85\n", -1, LINE + "3\n" + BAD, "", KEPT,
     1},
    {"no checksum", ":02000000ABCD", -1, LINE + "2\n" + BAD, "", KEPT, 1},
    {"a cut header", ":0400", -1, LINE + "1\n" + BAD, "", KEPT, 1},
    {"a non-digit in the data: no message", ":02000000ABXD00\n", -1, BAD, "", KEPT, 1},
    {"data beyond the line", ":04000000ABCD\n", -1, BAD, "", KEPT, 1},
    {"data beyond the input", ":0400000001", -1, BAD, "", KEPT, 1},
    {"a block per run, placed by address, gaps erased",
     hex_record(0x12, AB) + hex_record(0x14, AB) + AT_0 + hex_record(0x1A, ONE), 7, "",
     "12:4 0:2 1A:1 ", "ABCD" + repeated("FF", 16) + "ABCDABCD" + repeated("FF", 4) + "07"},
    {"from the lowest block", hex_record(0x104, ONE) + hex_record(0x100, AB), 3, "", "104:1 100:2 ",
     "ABCDFFFF07"},
    {"the same bytes twice", hex_record(0, ABAB) + AT_2, 6, "", "0:4 2:2 ", "ABCDABCD"},
    {"a full buffer, then the address wraps",
     hex_file(0, Bytes(IntelHex::BUFSIZE, 7), 32) + hex_record(0, ONE), IntelHex::BUFSIZE + 1, "",
     "0:65536 0:1 ", repeated("07", IntelHex::BUFSIZE)},
    {"64 KiB", hex_record(0, ONE) + hex_record(0xFFFF, ONE), 2, "", "0:1 FFFF:1 ",
     "07" + repeated("FF", 0xFFFE) + "07"},
    {"beyond 64 KiB", hex_record(0, ONE) + hex_record(0xFFFF, AB), 3,
     "Invalid hex: the image spans 65537 bytes, more than 65536\n", "0:1 FFFF:2 ", KEPT},
    {"different bytes for an address, last", hex_record(0x1A0, ABAB) + hex_record(0x1A2, ONE), -1,
     "Invalid hex: address 0x1a2 is given different values\n", "1A0:4 1A2:1 ", KEPT},
    {"different bytes for an address, then more", AT_0 + hex_record(1, ONE) + hex_record(0x10, AB),
     -1, "Invalid hex: address 0x1 is given different values\n", "0:2 1:1 ", KEPT},
    {"another type: its line is shown", ELA + hex_record(0x10, AB), 2, "rectype = 4\n" + ELA,
     "10:2 ", "ABCD"},
    {"a NUL ends the line shown", std::string(":020000040001F9\0junk\n", 21), 0,
     "rectype = 4\n" + ELA + BAD, "", KEPT},
    {"an empty record opens a block", AT_0 + hex_record(0x40, NO_DATA), 2, "", "0:2 ", "ABCD"},
    // Found by fuzz_hex: records of other types each showed the whole rest of the file, so
    // time and output grew with the square of its length.
    {"other records show only their own line",
     ":000000FC\n:02000049\n:04000003\n:00000509\n:400004B3\n:0400FFFF\n:0001FFFc\n"
     ":000000FFFF\n516174000FFFF\n",
     -1,
     "rectype = 252\n:000000FC\nrectype = 73\n:02000049\nrectype = 3\n:04000003\n"
     "rectype = 9\n:00000509\nrectype = 179\n:400004B3\nrectype = 255\n:0400FFFF\n"
     "rectype = 252\n:0001FFFc\nrectype = 255\n:000000FFFF\n" +
         LINE + "1\n" + BAD,
     "", KEPT, 1},
    // The same at scale: a 1 MiB file of these ran for minutes. With CR LF, no line end shown.
    {"1024 other records ahead of the data",
     repeated(":020000040001F9\r\n", 1024) + ":0400000001020304F2\n:00000001FF\n", 4,
     repeated("rectype = 4\n" + ELA, 1024), "0:4 ", "01020304"},
};

struct Built {
    int parsed, copied;
    std::string out, blocks, image;
    int parse_errors;
};

// As the station takes a flash file: a fresh parser, then the copy into a buffer of 09 09.
Built build(const std::string& text) {
    AvrParser parser;
    ByteBuffer image = {9, 9};
    Built b;
    testing::internal::CaptureStdout();
    b.parsed = parse(parser, text);
    b.copied = parser.copy(image);
    b.out = testing::internal::GetCapturedStdout();
    char block[32];
    for (size_t k = 0; k + 1 < parser.flushBuffer.size(); k += 2) {
        std::snprintf(block, sizeof block, "%X:%d ", parser.flushBuffer[k],
                      parser.flushBuffer[k + 1]);
        b.blocks += block;
    }
    b.image = hex_text(image);
    b.parse_errors = parser.parseError;
    return b;
}

} // namespace

TEST(FlashImage, Builds) {
    // Addresses show in lower case whatever the stream was set to, which is kept.
    const std::ios::fmtflags plain = std::cout.flags();
    for (auto flags : {plain, plain | std::ios::uppercase}) {
        for (const HexCase& c : HEX_CASES) {
            SCOPED_TRACE(c.what);
            std::cout.flags(flags);
            Built b = build(c.text);
            EXPECT_EQ(std::cout.flags(), flags);
            EXPECT_EQ(b.parsed, c.parsed);
            EXPECT_EQ(b.copied, c.image == KEPT ? -1 : 0);
            EXPECT_EQ(b.out, c.out);
            EXPECT_EQ(b.blocks, c.blocks);
            EXPECT_EQ(b.image, c.image);
            EXPECT_EQ(b.parse_errors, c.parse_errors);
        }
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

TEST(FlashImage, AvrToolchainOutputGivesTheReferenceBinary) {
    for (std::string name : {"blink", "blink-crlf", "uart_echo", "uart_echo-lower", "tone"}) {
        SCOPED_TRACE(name);
        Bytes reference = read_bytes(data_path("avr/" + name.substr(0, name.find('-')) + ".bin"));
        Built b = build(to_text(read_bytes(data_path("avr/" + name + ".hex"))));
        EXPECT_EQ(b.parsed, static_cast<int>(reference.size()));
        EXPECT_EQ(b.copied, 0);
        EXPECT_EQ(b.out, "");
        EXPECT_EQ(b.image, hex_text(reference));
    }
}
