// Inputs with which the fuzz targets in fuzz/ found faults, fed through the same paths.
#include "korvodfu.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Built {
    int parsed;
    int copied;
    ByteBuffer image;
    std::string out;
};

// The path of fuzz_hex: a fresh flash image parser, then the copy.
Built build(const std::string& text) {
    AvrParser parser;
    ByteBuffer image;
    testing::internal::CaptureStdout();
    int parsed = parser.parse(reinterpret_cast<const unsigned char*>(text.data()),
                              static_cast<int>(text.size()), 0);
    int copied = parser.copy(image);
    return {parsed, copied, image, testing::internal::GetCapturedStdout()};
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int k = 0; k < times; ++k)
        all += text;
    return all;
}

} // namespace

// Many extended linear address records ahead of the data: each one printed the whole rest
// of the file, so time and output grew with the square of the file's length (a 1 MiB file
// of them ran for minutes).
TEST(FuzzRegressions, RecordOfAnotherTypePrintsOnlyItsOwnLine) {
    const int records = 1024;
    Built b =
        build(repeated(":020000040001F9\r\n", records) + ":0400000001020304F2\n:00000001FF\n");
    EXPECT_EQ(b.parsed, 4);
    EXPECT_EQ(b.copied, 0);
    EXPECT_EQ(b.image, (ByteBuffer{1, 2, 3, 4}));
    std::string expected = repeated("rectype = 4\n:020000040001F9\n", records);
    ASSERT_EQ(b.out.size(), expected.size()); // the whole text only when the sizes agree
    EXPECT_EQ(b.out, expected);
}
