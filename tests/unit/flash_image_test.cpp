#include "image_build.h"
#include "test_files.h"

#include <gtest/gtest.h>

class AvrToolchainImage : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(AvrToolchainImage, EqualsTheReferenceBinary) {
    Bytes text = read_bytes(data_path(std::string("avr/") + GetParam().first));
    Bytes reference = read_bytes(data_path(std::string("avr/") + GetParam().second));
    BuiltImage b = build_image(to_text(text));
    EXPECT_EQ(b.parsed, static_cast<int>(reference.size()));
    EXPECT_EQ(b.copied, 0);
    EXPECT_EQ(b.out, "");
    EXPECT_EQ(b.image, reference);
}

INSTANTIATE_TEST_SUITE_P(Files, AvrToolchainImage,
                         testing::Values(std::make_pair("blink.hex", "blink.bin"),
                                         std::make_pair("blink-crlf.hex", "blink.bin"),
                                         std::make_pair("uart_echo.hex", "uart_echo.bin"),
                                         std::make_pair("uart_echo-lower.hex", "uart_echo.bin"),
                                         std::make_pair("tone.hex", "tone.bin")));

TEST(FlashImage, SingleBlockStartsAtIndexZeroWhateverItsAddress) {
    Bytes data = {1, 2, 3, 4, 5};
    BuiltImage b = build_image(hex_file(0x200, data), ByteBuffer(100, 0xEE));
    EXPECT_EQ(b.image, data); // cut to the image's length, no fill
}

TEST(FlashImage, BlocksArePlacedByAddressWithErasedGaps) {
    // Out of order, with a gap: 0x10..0x11, then 0x00..0x03, then 0x14.
    BuiltImage b = build_image(hex_record(0x10, {0xA0, 0xA1}) + hex_record(0x00, {1, 2, 3, 4}) +
                               hex_record(0x14, {0xB0}) + HEX_EOF);
    EXPECT_EQ(b.parsed, 7);
    EXPECT_EQ(b.copied, 0);
    ByteBuffer expected(0x15, 0xFF);
    expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
    expected[0x10] = 0xA0, expected[0x11] = 0xA1, expected[0x14] = 0xB0;
    EXPECT_EQ(b.image, expected);

    // Lowest address need not be 0: indices count from the lowest block.
    BuiltImage shifted = build_image(hex_record(0x104, {7}) + hex_record(0x100, {5, 6}) + HEX_EOF);
    EXPECT_EQ(shifted.image, (ByteBuffer{5, 6, 0xFF, 0xFF, 7}));
}

TEST(FlashImage, SameBytesTwiceAreAcceptedDifferentBytesRefused) {
    BuiltImage same = build_image(hex_record(0, {1, 2, 3}) + hex_record(1, {2, 3}) + HEX_EOF);
    EXPECT_EQ(same.copied, 0);
    EXPECT_EQ(same.image, (ByteBuffer{1, 2, 3}));

    ByteBuffer untouched = {9, 9};
    BuiltImage conflict =
        build_image(hex_record(0, {1, 2, 3}) + hex_record(2, {4}) + HEX_EOF, untouched);
    EXPECT_EQ(conflict.parsed, -1);
    EXPECT_EQ(conflict.out, "Invalid hex: address 0x2 is given different values\n");
    EXPECT_EQ(conflict.copied, -1);
    EXPECT_EQ(conflict.image, untouched);
}

TEST(FlashImage, NoDataIsInvalidAndLeavesTheBufferAlone) {
    BuiltImage b = build_image(HEX_EOF, ByteBuffer{7, 8});
    EXPECT_EQ(b.parsed, 0);
    EXPECT_EQ(b.copied, -1);
    EXPECT_EQ(b.out, "Invalid hex\n");
    EXPECT_EQ(b.image, (ByteBuffer{7, 8}));
}

TEST(FlashImage, FlushRecordsAddressAndLengthOfEveryBlock) {
    AvrParser parser;
    std::string text = hex_record(0x40, {1, 2}) + hex_record(0x10, {3}) + HEX_EOF;
    parser.parse(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()),
                 0);
    EXPECT_EQ(parser.flushBuffer, (std::vector<int32_t>{0x40, 2, 0x10, 1}));
}
