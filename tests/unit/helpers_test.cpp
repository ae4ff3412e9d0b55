// The text, hex and file helpers.
#include "korvofw.h"
#include "test_files.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

TEST(Helpers, HexAndNames) {
    const char digits[] = "0123456789ABCDEF";
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(hex_to_bin(digits[k]), k);
        EXPECT_EQ(hex_to_bin(static_cast<char>(std::tolower(digits[k]))), k);
        EXPECT_EQ(bin4_to_hex(static_cast<uint8_t>(0xA0 | k)), digits[k]); // high bits ignored
    }
    for (char other : std::string("/:@G`g. "))
        EXPECT_EQ(hex_to_bin(other), 0) << other;
    const uint8_t bytes[] = {0x0A, 0xBC, 0xF0};
    EXPECT_EQ(convert_string(bytes, 3), "0ABCF0");
    // Hex text right-aligned into max_len / 2 bytes; non-digits count as 0.
    std::tuple<const char*, int, Bytes> fields[] = {
        {"ABC", 4, {0x0A, 0xBC}},  {"ABCDE", 4, {0xAB, 0xCD}},
        {"F", 4, {0x55, 0x0F}},    {"", 4, {0x55, 0x55}},
        {"v1.2", 4, {0x01, 0x02}}, {"0123", 8, {0x55, 0x55, 0x01, 0x23}}};
    for (auto& [text, max_len, want] : fields) {
        Bytes field(want.size(), 0x55);
        convert_string(text, max_len, field.data());
        EXPECT_EQ(field, want) << text;
    }
    EXPECT_STREQ(file_name("dir/"), "");
    std::tuple<std::string (*)(std::string&), std::string, std::string, std::string> splits[] = {
        {extract_path, "dir/sub/fw-1.hex", "dir/sub/", "fw-1.hex"},
        {extract_path, "fw.hex", "./", "fw.hex"},
        {extract_path, "/fw.hex", "/", "fw.hex"},
        {extract_ext, "fw.old.hex", ".hex", "fw.old"},
        {extract_ext, "fw", "", "fw"},
        {extract_ext, ".hex", ".hex", ""},
        {extract_field, "a-b", "a", "b"},
        {extract_field, "b", "b", ""},
        {extract_field, "-x", "", "-x"}};
    for (auto& [split, in, taken, left] : splits) {
        std::string name = in;
        EXPECT_EQ(split(name), taken) << in;
        EXPECT_EQ(name, left) << in;
    }
}

TEST(Helpers, ReadFileTakesOnlyRegularFiles) {
    ScratchDir dir;
    write_bytes(dir.path("empty"), {});
    write_bytes(dir.path("data"), {0x00, 0xFF, 0x0A});
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0); // would block the station
    std::pair<std::string, Bytes> files[] = {
        {"missing", {}}, {"empty", {}}, {"data", {0x00, 0xFF, 0x0A}}, {"", {}}, {"fifo", {}}};
    for (auto& [name, want] : files) {
        ByteBuffer bin = {1, 2, 3};
        read_file(dir.path(name).c_str(), bin);
        EXPECT_EQ(bin, want) << name;
    }
}

namespace {

constexpr uid_t NOBODY = 65534; // and its group
constexpr int OK = 100, IN_PLACE = OK + WRITTEN_IN_PLACE;
const Bytes OLD(40, 0x11), NEW = {1, 2, 3}, NONE;

void file(const std::string& path, mode_t mode, uid_t owner = 0) {
    write_bytes(path, OLD);
    ASSERT_EQ(chmod(path.c_str(), mode) | chown(path.c_str(), owner, owner), 0);
}

using Dir = const std::string&;
struct WriteCase {
    const char* what;
    void (*prepare)(Dir); // the directory the file is in, root's and 0755 to begin with
    bool as_nobody;
    int outcome; // OK + the result, or errno when it is -1
    mode_t mode; // the target's afterwards, 0 when there is none
    const Bytes& content;
    uid_t owner; // and group
    const char *name = "f", *target = "f";
};

const WriteCase WRITE_CASES[] = {
    {"a new file", [](Dir) {}, false, OK, S_IFREG | 0644, NEW, 0},
    {"a file keeps its mode", [](Dir d) { file(d + "/f", 0640); }, false, OK, S_IFREG | 0640, NEW,
     0},
    {"a link is followed and kept",
     [](Dir d) { file(d + "/t", 0600), symlink((d + "/t").c_str(), (d + "/f").c_str()); }, false,
     OK, S_IFREG | 0600, NEW, 0, "f", "t"},
    {"a dangling link: its target is made", [](Dir d) { symlink("t", (d + "/f").c_str()); }, false,
     OK, S_IFREG | 0644, NEW, 0, "f", "t"},
    {"root writes a write-protected file", [](Dir d) { file(d + "/f", 0444); }, false, OK,
     S_IFREG | 0444, NEW, 0},
    {"root keeps owner and group", [](Dir d) { file(d + "/f", 0640, NOBODY); }, false, OK,
     S_IFREG | 0640, NEW, NOBODY},
    {"a write-protected file is refused",
     [](Dir d) { chown(d.c_str(), NOBODY, NOBODY), file(d + "/f", 0444, NOBODY); }, true, EACCES,
     S_IFREG | 0444, OLD, NOBODY},
    {"no room for a temporary file: rewritten in place",
     [](Dir d) { file(d + "/f", 0644, NOBODY); }, true, IN_PLACE, S_IFREG | 0644, NEW, NOBODY},
    {"no room for a temporary file, and no file", [](Dir) {}, true, EACCES, 0, NONE, 0},
    {"a missing directory", [](Dir) {}, false, ENOENT, 0, NONE, 0, "no/f", "no/f"},
    {"a directory is not replaced", [](Dir d) { mkdir((d + "/f").c_str(), 0700); }, false, EISDIR,
     S_IFDIR | 0700, NONE, 0},
};

// write_file in a child, as nobody when asked, under the umask 022, which it must leave so.
int write_as(bool as_nobody, const std::string& name) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (as_nobody && (setgroups(0, nullptr) | setgid(NOBODY) | setuid(NOBODY)) != 0)
            _exit(255);
        umask(022);
        int result = write_file(name.c_str(), NEW), error = errno;
        _exit(umask(0) != 022 ? 254 : result < 0 ? error : OK + result);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Helpers, WriteFileReplacesTheFileWholeOrSaysWhy) {
    ASSERT_EQ(geteuid(), 0u) << "run as root, as CI does: the rows set owners and drop to nobody";
    for (const WriteCase& c : WRITE_CASES) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        std::string d = scratch.path("d"), target = d + "/" + c.target;
        ASSERT_EQ(chmod(scratch.dir.c_str(), 0755) | mkdir(d.c_str(), 0755), 0);
        c.prepare(d);
        EXPECT_EQ(write_as(c.as_nobody, d + "/" + c.name), c.outcome);
        for (const auto& entry : std::filesystem::directory_iterator(d)) // no temporary file
            EXPECT_EQ(entry.path().filename().string().find('.'), std::string::npos);
        struct stat st {};
        lstat(target.c_str(), &st);
        EXPECT_EQ(st.st_mode, c.mode);
        EXPECT_EQ(S_ISREG(st.st_mode) ? read_bytes(target) : NONE, c.content);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(st.st_gid, c.owner);
        EXPECT_EQ(std::filesystem::is_symlink(d + "/" + c.name), std::string(c.name) != c.target);
    }
}
