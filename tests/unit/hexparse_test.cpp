#include "hexparse.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace {

struct Block {
    int addr;
    Bytes bytes;
    bool operator==(const Block& o) const { return addr == o.addr && bytes == o.bytes; }
};

// Records every block handed to flush.
struct RecordingHex : IntelHex {
    std::vector<Block> blocks;
    int flush_result = 0;
    int flush() override {
        blocks.push_back({bufAddr, Bytes(buf, buf + bufCount)});
        return flush_result;
    }
};

struct Parsed {
    int result;
    std::string out;
    std::vector<Block> blocks;
    int lineCount;
    int parseError;
};

Parsed parse(const std::string& text, int flush_result = 0) {
    RecordingHex hex;
    hex.flush_result = flush_result;
    testing::internal::CaptureStdout();
    int result = hex.parse(reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<int>(text.size()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, hex.blocks, hex.lineCount, hex.parseError};
}

const Bytes AB = {0xAB, 0xCD};
const Bytes DATA4 = {0x01, 0x02, 0x03, 0x04};

} // namespace

TEST(IntelHex, EmptyInputNeverFlushes) {
    Parsed p = parse("");
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.blocks.empty());
}

TEST(IntelHex, ContiguousRecordsFormOneBlock) {
    // Written out by hand: 4 bytes at 0x0000 and 2 at 0x0004, then end of file.
    Parsed p = parse(":0400000001020304F2\n:02000400ABCD82\n:00000001FF\n");
    EXPECT_EQ(p.result, 6);
    ASSERT_EQ(p.blocks.size(), 2u);
    EXPECT_EQ(p.blocks[0], (Block{0, {}})); // the first record opens with an empty block
    EXPECT_EQ(p.blocks[1], (Block{0, {1, 2, 3, 4, 0xAB, 0xCD}}));
    EXPECT_EQ(p.out, "");
}

TEST(IntelHex, AcceptsCrLfLowerCaseTrailingTextAndNoFinalLineFeed) {
    Parsed p = parse(":02000400abcd82\r\n:02000600abcd80 trailing text\n:02000800ABCD7E");
    EXPECT_EQ(p.result, 6);
    EXPECT_EQ(p.blocks.back(), (Block{4, {0xAB, 0xCD, 0xAB, 0xCD, 0xAB, 0xCD}}));
}

TEST(IntelHex, RecordsAfterEndOfFileAreStillParsed) {
    Parsed p = parse(hex_record(0, AB) + HEX_EOF + hex_record(2, AB));
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(p.blocks.back().bytes.size(), 4u);
}

TEST(IntelHex, LineStartFaultsReportTheLineNumber) {
    Parsed stray = parse(hex_record(0, AB) + HEX_EOF + "\n");
    EXPECT_EQ(stray.result, -1);
    EXPECT_EQ(stray.out, ".hex parse error line # 2\n");
    EXPECT_EQ(stray.parseError, 1);

    Parsed blank = parse(" " + hex_record(0, AB));
    EXPECT_EQ(blank.result, -1);
    EXPECT_EQ(blank.out, ".hex parse error line # 1\n");

    // Third record's address holds a non-digit: the message names line 3.
    Parsed address = parse(hex_record(0, AB) + hex_record(2, AB) + ":0200X400ABCD80\n");
    EXPECT_EQ(address.out, ".hex parse error line # 3\n");
    // Third record's checksum field holds a non-digit: counted after its header, so 4.
    Parsed checksum = parse(hex_record(0, AB) + hex_record(2, AB) + ":02000400ABCDZ0\n");
    EXPECT_EQ(checksum.result, -1);
    EXPECT_EQ(checksum.out, ".hex parse error line # 4\n");
}

TEST(IntelHex, WrongChecksumIsRefusedLikeABadChecksumDigit) {
    std::string good = hex_record(0, AB);
    std::string bad = hex_record(2, AB);
    bad[bad.size() - 2] ^= 1; // flip the low bit of the checksum's last digit
    Parsed p = parse(good + bad + HEX_EOF);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, ".hex parse error line # 3\n");
    EXPECT_EQ(p.parseError, 1);
}

TEST(IntelHex, BadDataDigitFailsSilently) {
    Parsed p = parse(":02000000ABXD00\n");
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.parseError, 1);

    // A length that promises more digits than the line holds runs into the line feed.
    Parsed cut = parse(":04000000ABCD\n");
    EXPECT_EQ(cut.result, -1);
    EXPECT_EQ(cut.out, "");

    // Cut short by the end of the input, inside the header: a message.
    Parsed header = parse(":0400");
    EXPECT_EQ(header.result, -1);
    EXPECT_EQ(header.out, ".hex parse error line # 1\n");
}

TEST(IntelHex, GapsAndOutOfOrderRecordsMakeOneBlockPerRun) {
    Parsed p = parse(hex_record(0x100, AB) + hex_record(0x102, AB) + hex_record(0x10, DATA4) +
                     hex_record(0x200, AB) + HEX_EOF);
    EXPECT_EQ(p.result, 10);
    ASSERT_EQ(p.blocks.size(), 4u);
    EXPECT_EQ(p.blocks[1], (Block{0x100, {0xAB, 0xCD, 0xAB, 0xCD}}));
    EXPECT_EQ(p.blocks[2], (Block{0x10, DATA4}));
    EXPECT_EQ(p.blocks[3], (Block{0x200, AB}));
}

TEST(IntelHex, RunLongerThanTheBufferIsSplit) {
    // 0x10000 contiguous bytes from 0x0000 fill the buffer exactly; one more record at
    // 0x0000 (the 16-bit address wraps) cannot follow on and opens its own block.
    Bytes full(IntelHex::BUFSIZE, 0x5A);
    std::string text = hex_file(0, full, 32);
    text.resize(text.size() - std::string(HEX_EOF).size());
    Parsed p = parse(text + hex_record(0, AB) + HEX_EOF);
    EXPECT_EQ(p.result, IntelHex::BUFSIZE + 2);
    ASSERT_EQ(p.blocks.size(), 3u);
    EXPECT_EQ(p.blocks[1].bytes.size(), static_cast<size_t>(IntelHex::BUFSIZE));
    EXPECT_EQ(p.blocks[2], (Block{0, AB}));
}

TEST(IntelHex, OtherRecordTypesArePrintedAndIgnored) {
    std::string ela = ":020000040001F9\n";
    Parsed p = parse(ela + hex_record(0x10, AB) + HEX_EOF);
    EXPECT_EQ(p.result, 2);
    EXPECT_EQ(p.out, "rectype = 4\n" + ela);       // the record's line, not the rest of the file
    EXPECT_EQ(p.blocks.back(), (Block{0x10, AB})); // the address keeps its 16 bits
}

TEST(IntelHex, ZeroLengthRecordAtNewAddressOpensEmptyBlock) {
    Parsed p = parse(hex_record(0, AB) + hex_record(0x40, {}));
    EXPECT_EQ(p.result, 2);
    ASSERT_EQ(p.blocks.size(), 2u); // the empty block at 0x40 is never flushed
    EXPECT_EQ(p.blocks[1], (Block{0, AB}));
}

TEST(IntelHex, NegativeFlushStopsTheParse) {
    Parsed p = parse(hex_record(0, AB) + HEX_EOF, -7);
    EXPECT_EQ(p.result, -7);
    EXPECT_EQ(p.blocks.size(), 1u);
    // A refusal of the last block, at the end of the input, also stops it.
    struct RefuseData : IntelHex {
        int flush() override { return bufCount > 0 ? -3 : 0; }
    } hex;
    std::string text = hex_record(0, AB) + HEX_EOF;
    EXPECT_EQ(hex.parse(reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()), 0),
              -3);
}

TEST(IntelHex, BaseFlushPrintsAHexDump) {
    IntelHex hex;
    std::string text = hex_record(0x1A0, {0x0F, 0xA0}) + HEX_EOF;
    testing::internal::CaptureStdout();
    int result = hex.parse(reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<int>(text.size()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flushing: 2  1a0 : f a0 \n\n");
    EXPECT_EQ(result, 2);
}

TEST(IntelHex, ParseHexReadsExactlyNDigits) {
    int value = 0;
    const unsigned char text[] = "1f2G";
    EXPECT_TRUE((IntelHex::parseHex<2, int>(value, text)));
    EXPECT_EQ(value, 0x1F);
    EXPECT_FALSE((IntelHex::parseHex<4, int>(value, text)));
    unsigned char byte = 0;
    EXPECT_TRUE((IntelHex::parseHex<2, unsigned char>(byte, text + 1)));
    EXPECT_EQ(byte, 0xF2);
}
