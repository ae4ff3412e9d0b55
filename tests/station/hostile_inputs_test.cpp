// Bad command lines and files, each with what the operator gets: a clear message and a
// clean exit at start-up, or a station that runs on and says why it programs nothing.
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string NOT_LOADED = " could not be read as a firmware image; no device will be "
                               "programmed until it is fixed\n";
const std::string WAITING = ".\rWaiting (0 devices) ";

struct Hostile : testing::Test {
    ScratchDir dir;

    // The production binary; stopped once it waits for devices.
    ProcessResult station(std::vector<std::string> args) {
        args.insert(args.begin(), KORVOFW_BIN);
        ProcessOptions po;
        po.cwd = dir.dir;
        po.stop_when = [](const std::string& out) {
            return out.find(WAITING) != std::string::npos;
        };
        return run_process(args, po);
    }

    void expect_runs_on(const ProcessResult& r, const std::string& flash,
                        const std::string& out_before) {
        EXPECT_TRUE(r.stopped) << "status " << r.status << " signal " << r.signal;
        EXPECT_EQ(r.err, "Flash file " + flash + NOT_LOADED);
        EXPECT_EQ(r.out.rfind(out_before + WAITING, 0), 0u) << r.out.substr(0, 300);
    }
};

} // namespace

TEST_F(Hostile, FlashFilesThatAreNoImage) {
    mkfifo(dir.path("fifo").c_str(), 0600);
    write_bytes(dir.path("empty.hex"), {});
    Bytes binary;
    for (int i = 0; i < 4096; ++i)
        binary.push_back(static_cast<unsigned char>(i * 97 + 13));
    write_bytes(dir.path("binary.hex"), binary);
    write_text(dir.path("nul.hex"), std::string(":10000000\0\0", 11));
    write_text(dir.path("long-garbage.hex"), std::string(4 << 20, 'x') + "\n");

    expect_runs_on(station({"-f", dir.dir}), dir.dir, "");
    expect_runs_on(station({"-f", dir.path("fifo")}), dir.path("fifo"), ""); // never blocks
    expect_runs_on(station({"-f", dir.path("missing.hex")}), dir.path("missing.hex"), "");
    expect_runs_on(station({"-f", dir.path("empty.hex")}), dir.path("empty.hex"), "");
    expect_runs_on(station({"-f", dir.path("binary.hex")}), dir.path("binary.hex"),
                   ".hex parse error line # 1\n");
    expect_runs_on(station({"-f", dir.path("nul.hex")}), dir.path("nul.hex"), "");
    expect_runs_on(station({"-f", dir.path("long-garbage.hex")}), dir.path("long-garbage.hex"),
                   ".hex parse error line # 1\n");
}

TEST_F(Hostile, VeryLargeFlashFileIsRefusedUnread) {
    // Hundreds of megabytes behind a valid first record; sparse, so cheap to make.
    std::string big = dir.path("big.hex");
    write_text(big, hex_record(0, Bytes(32, 0x11)) + hex_record(32, Bytes(32, 0x22)));
    ASSERT_EQ(truncate(big.c_str(), 300L << 20), 0);
    expect_runs_on(station({"-f", big}), big,
                   "Invalid hex: " + big +
                       " holds 314572800 bytes, more than any firmware image needs\n");
}

TEST_F(Hostile, LongLinesAfterValidRecordsAreIgnored) {
    // Text after a record's checksum is not part of it, however long.
    std::string fw = dir.path("fw.hex");
    write_text(fw, hex_record(0, Bytes(16, 0xA5)).insert(43, std::string(1 << 20, ' ')) +
                       hex_record(16, Bytes(16, 0x5A)) + HEX_EOF);
    ProcessResult r = station({"-f", fw});
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Parsed firmware file: " + fw + " : v  32 bytes\n", 0), 0u);
}

TEST_F(Hostile, EepromImageFilesThatCannotBeKept) {
    mkfifo(dir.path("fifo").c_str(), 0600);
    write_bytes(dir.path("file"), {1});
    struct Case {
        std::string path;
        std::string problem;
    } cases[] = {
        {dir.dir, "is a directory"},
        {dir.path("fifo"), "is not a regular file"},
        {dir.path("file/id.bin"), "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ProcessResult r = station({"-e", c.path, "-I", "10"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "EEPROM image file " + c.path + ": " + c.problem +
                             "; give a readable file, or a new name to start one\n");
    }
    if (geteuid() != 0) { // root reads anything
        write_bytes(dir.path("secret.bin"), Bytes(40, 0));
        chmod(dir.path("secret.bin").c_str(), 0200);
        EXPECT_EQ(station({"-e", dir.path("secret.bin")}).status, 255);
    }
    // A name that does not exist yet starts a new file.
    ProcessResult fresh = station({"-e", dir.path("new.bin")});
    EXPECT_TRUE(fresh.stopped);
    EXPECT_EQ(fresh.err, "");
}

TEST_F(Hostile, ArgumentsWithNonAsciiBytes) {
    ProcessResult id = station({"-I", "\xef\xbc\x91"}); // a full-width digit one
    EXPECT_EQ(id.status, 255);
    EXPECT_EQ(id.err.rfind("invalid hex number for -I: \"\xef\xbc\x91\"", 0), 0u);

    std::string name = dir.path("fw-\xc3\xa9\xff.hex");
    write_text(name, hex_file(0, Bytes(40, 0x42)));
    ProcessResult fw = station({"-f", name, "-e", dir.path("\xe2\x82\xac.bin")});
    EXPECT_TRUE(fw.stopped);
    EXPECT_EQ(fw.out.rfind("Parsed firmware file: " + name + " : v  40 bytes\n", 0), 0u);
    EXPECT_EQ(fw.err, "");
}
