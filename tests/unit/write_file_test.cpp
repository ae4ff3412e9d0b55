// write_file, which keeps the EEPROM image file: as root, and as an unprivileged station.
#include "korvofw.h"
#include "test_files.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

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
