#include "korvofw.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

TEST(Helpers, HexDigits) {
    EXPECT_EQ(hex_to_bin('0'), 0);
    EXPECT_EQ(hex_to_bin('9'), 9);
    EXPECT_EQ(hex_to_bin('A'), 10);
    EXPECT_EQ(hex_to_bin('f'), 15);
    EXPECT_EQ(hex_to_bin('g'), 0);
    EXPECT_EQ(hex_to_bin('.'), 0);
    EXPECT_EQ(bin4_to_hex(0x0A), 'A');
    EXPECT_EQ(bin4_to_hex(0xF3), '3'); // the high four bits are ignored
}

TEST(Helpers, FileName) {
    EXPECT_STREQ(file_name("/usr/bin/tool"), "tool");
    EXPECT_STREQ(file_name("tool"), "tool");
    EXPECT_STREQ(file_name("dir/"), "");
}

TEST(Helpers, ConvertStringRightAlignsHexText) {
    uint8_t field[2] = {0x55, 0x55};
    convert_string("ABC", 4, field);
    EXPECT_EQ(field[0], 0x0A);
    EXPECT_EQ(field[1], 0xBC);

    convert_string("ABCDE", 4, field); // characters beyond the field are ignored
    EXPECT_EQ(field[0], 0xAB);
    EXPECT_EQ(field[1], 0xCD);

    uint8_t partial[2] = {0x55, 0x55};
    convert_string("FF", 4, partial);
    EXPECT_EQ(partial[0], 0x55);
    EXPECT_EQ(partial[1], 0xFF);

    convert_string("", 4, partial);
    EXPECT_EQ(partial[0], 0x55);

    uint8_t tag[2] = {};
    convert_string("v1.2", 4, tag); // non-digits count as 0
    EXPECT_EQ(tag[0], 0x01);
    EXPECT_EQ(tag[1], 0x02);

    uint8_t version[20];
    std::fill(std::begin(version), std::end(version), 0x77);
    convert_string("0123", 40, version);
    EXPECT_EQ(version[17], 0x77);
    EXPECT_EQ(version[18], 0x01);
    EXPECT_EQ(version[19], 0x23);
}

TEST(Helpers, ConvertBytesToText) {
    const uint8_t bytes[] = {0x0A, 0xBC};
    EXPECT_EQ(convert_string(bytes, 2), "0ABC");
    EXPECT_EQ(convert_string(bytes, 0), "");
}

TEST(Helpers, ExtractPathExtAndFields) {
    std::string p = "dir/sub/fw-1.hex";
    EXPECT_EQ(extract_path(p), "dir/sub/");
    EXPECT_EQ(p, "fw-1.hex");
    p = "fw.hex";
    EXPECT_EQ(extract_path(p), "./");
    EXPECT_EQ(p, "fw.hex");
    p = "/fw.hex";
    EXPECT_EQ(extract_path(p), "/");
    EXPECT_EQ(p, "fw.hex");

    std::string e = "fw.old.hex";
    EXPECT_EQ(extract_ext(e), ".hex");
    EXPECT_EQ(e, "fw.old");
    e = "fw";
    EXPECT_EQ(extract_ext(e), "");
    EXPECT_EQ(e, "fw");
    e = ".hex";
    EXPECT_EQ(extract_ext(e), ".hex");
    EXPECT_EQ(e, "");

    std::string f = "a-b";
    EXPECT_EQ(extract_field(f), "a");
    EXPECT_EQ(f, "b");
    EXPECT_EQ(extract_field(f), "b");
    EXPECT_EQ(f, "");
    EXPECT_EQ(extract_field(f), "");
    f = "-x";
    EXPECT_EQ(extract_field(f), "");
}

TEST(Helpers, ReadFileReplacesContentAndEmptiesOnFailure) {
    ScratchDir dir;
    ByteBuffer bin = {1, 2, 3};
    read_file(dir.path("missing").c_str(), bin);
    EXPECT_TRUE(bin.empty());

    write_bytes(dir.path("empty"), {});
    bin = {1, 2, 3};
    read_file(dir.path("empty").c_str(), bin);
    EXPECT_TRUE(bin.empty());

    write_bytes(dir.path("data"), {0x00, 0xFF, 0x0A});
    read_file(dir.path("data").c_str(), bin);
    EXPECT_EQ(bin, (ByteBuffer{0x00, 0xFF, 0x0A}));

    // Neither a directory nor a FIFO is read; a FIFO must not block the station.
    bin = {1};
    read_file(dir.dir.c_str(), bin);
    EXPECT_TRUE(bin.empty());
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    bin = {1};
    read_file(dir.path("fifo").c_str(), bin);
    EXPECT_TRUE(bin.empty());
}

TEST(Helpers, WriteFileReplacesAtomicallyAndKeepsMode) {
    ScratchDir dir;
    std::string name = dir.path("id.bin");
    ASSERT_EQ(write_file(name.c_str(), {}), 0);
    EXPECT_TRUE(read_bytes(name).empty());

    write_bytes(name, Bytes(40, 0x11));
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    ASSERT_EQ(write_file(name.c_str(), {1, 2, 3}), 0);
    EXPECT_EQ(read_bytes(name), (Bytes{1, 2, 3}));
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // No temporary file is left behind.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);

    // A link keeps pointing at the rewritten file.
    ASSERT_EQ(symlink(name.c_str(), dir.path("link.bin").c_str()), 0);
    ASSERT_EQ(write_file(dir.path("link.bin").c_str(), {9}), 0);
    EXPECT_EQ(read_bytes(name), (Bytes{9}));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.bin")));
}

TEST(Helpers, WriteFileReportsFailureAndKeepsOldContent) {
    ScratchDir dir;
    EXPECT_EQ(write_file(dir.path("no/such/dir/id.bin").c_str(), {1}), -1);
    EXPECT_EQ(write_file(dir.dir.c_str(), {1}), -1); // a directory is not replaced
    EXPECT_TRUE(std::filesystem::is_directory(dir.dir));

    if (geteuid() != 0) { // root writes anywhere
        std::string ro = dir.path("ro");
        std::filesystem::create_directory(ro);
        write_bytes(ro + "/id.bin", {7});
        chmod(ro.c_str(), 0500);
        EXPECT_EQ(write_file((ro + "/id.bin").c_str(), {1}), -1);
        EXPECT_EQ(read_bytes(ro + "/id.bin"), (Bytes{7}));
        chmod(ro.c_str(), 0700);
    }
}
