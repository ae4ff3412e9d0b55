// Inputs with which the fuzz targets in fuzz/ found faults, fed through the same paths.
#include "image_build.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int k = 0; k < times; ++k)
        all += text;
    return all;
}

} // namespace

// Records of types other than data and end of file each printed the whole rest of the file,
// so time and output grew with the square of the file's length. fuzz_hex's input, reduced:
TEST(FuzzRegressions, RecordOfAnotherTypePrintsOnlyItsOwnLine) {
    BuiltImage b = build_image(":000000FC\n:02000049\n:04000003\n:00000509\n:400004B3\n:0400FFFF\n"
                               ":0001FFFc\n:000000FFFF\n516174000FFFF\n");
    EXPECT_EQ(b.parsed, -1);
    EXPECT_EQ(b.copied, -1);
    EXPECT_EQ(b.out, "rectype = 252\n:000000FC\n"
                     "rectype = 73\n:02000049\n"
                     "rectype = 3\n:04000003\n"
                     "rectype = 9\n:00000509\n"
                     "rectype = 179\n:400004B3\n"
                     "rectype = 255\n:0400FFFF\n"
                     "rectype = 252\n:0001FFFc\n"
                     "rectype = 255\n:000000FFFF\n"
                     ".hex parse error line # 1\n"
                     "Invalid hex\n");
}

// The same at scale: a 1 MiB file of extended linear address records ran for minutes.
// Ahead of the data, with CR LF line ends, each prints its line without the line end.
TEST(FuzzRegressions, ManyRecordsOfAnotherTypeAheadOfTheData) {
    const int records = 1024;
    BuiltImage b = build_image(repeated(":020000040001F9\r\n", records) +
                               ":0400000001020304F2\n:00000001FF\n");
    EXPECT_EQ(b.parsed, 4);
    EXPECT_EQ(b.copied, 0);
    EXPECT_EQ(b.image, (ByteBuffer{1, 2, 3, 4}));
    std::string expected = repeated("rectype = 4\n:020000040001F9\n", records);
    ASSERT_EQ(b.out.size(), expected.size()); // the whole text only when the sizes agree
    EXPECT_EQ(b.out, expected);
}
