// Start-up as a user sees it: the production binary with good and bad command lines and
// files, its exact output and exit status, or a station that runs on and says why it
// programs nothing.
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string USAGE = "Usage: korvofw [-f flash.hex] [-r 0x8700] [-I 0xFFF] [-e eeprom.bin] "
                          "[-i 0x1FFF] [-s 0xFF] [-v $(git log -n 1 --pretty=format:\"%H\")] "
                          "[-t $(git describe)] \n";
const std::string WAITING = ".\rWaiting (0 devices) ";
const std::string NOT_LOADED = " could not be read as a firmware image; no device will be "
                               "programmed until it is fixed\n";
const std::string BAD_HEX =
    "\" (give hex digits with an optional sign and 0x, such as 1A0 or 0x1A0)\n";
constexpr int USAGE_STATUS = 255;
constexpr int RUNS_ON = -1; // stopped by the test once it waits for devices

struct Case {
    std::vector<std::string> args; // "@" stands for the scratch directory, here and below
    int status;                    // exit status, or RUNS_ON
    std::string out;               // standard output, whole, or up to the waiting text
    std::string err;
    bool usage = false; // "version: " line on standard output, USAGE after err
};

struct CommandLine : testing::Test {
    ScratchDir dir;

    std::string at(std::string text) const {
        for (size_t k = text.find('@'); k != std::string::npos; k = text.find('@', k))
            text.replace(k, 1, dir.dir);
        return text;
    }

    void expect(const Case& c) {
        std::vector<std::string> args = {KORVOFW_BIN};
        for (const std::string& a : c.args)
            args.push_back(at(a));
        SCOPED_TRACE(testing::PrintToString(args));
        ProcessOptions po;
        po.cwd = dir.dir;
        po.timeout_ms = 5000;
        po.stop_when = [](const std::string& out) {
            return out.find(WAITING) != std::string::npos;
        };
        ProcessResult r = run_process(args, po);
        if (c.status == RUNS_ON) {
            EXPECT_TRUE(r.stopped) << "status " << r.status << " signal " << r.signal;
            EXPECT_EQ(r.out.substr(0, r.out.find(WAITING) + WAITING.size()), at(c.out) + WAITING);
        } else {
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.usage ? "version: " KORVOFW_GIT_SFX "\n" : c.out);
        }
        EXPECT_EQ(r.err, at(c.err) + (c.usage ? USAGE : ""));
    }
};

Case usage(std::vector<std::string> args, const std::string& err = "") {
    return {std::move(args), USAGE_STATUS, "", err, true};
}

Case not_loaded(const std::string& file, const std::string& out = "") {
    return {{"-f", file}, RUNS_ON, out, "Flash file " + file + NOT_LOADED};
}

} // namespace

TEST_F(CommandLine, OptionsAndIdentityValues) {
    const std::string bin = KORVOFW_BIN;
    std::vector<Case> cases = {
        usage({"-h"}),
        usage({"-x"}, bin + ": invalid option -- 'x'\n"),
        usage({"-f"}, bin + ": option requires an argument -- 'f'\n"),
        usage({"stray"}),
        {{"-I", "2000"}, USAGE_STATUS, "", "hard ID invalid : 0x2000 most be less than 0x1FFF\n"},
        // -i takes the stored 16-bit form; the shifted value is shown.
        {{"-i", "0x10000"},
         USAGE_STATUS,
         "",
         "hard ID invalid : 0x2000 most be less than 0x1FFF\n"},
        {{"-s", "100"}, USAGE_STATUS, "", "soft ID invalid : 0x100 most be less than 0xFF\n"},
        // The hard ID is tested first.
        {{"-s", "100", "-I", "2000"},
         USAGE_STATUS,
         "",
         "hard ID invalid : 0x2000 most be less than 0x1FFF\n"},
        {{"-r", "0x10000"},
         USAGE_STATUS,
         "",
         "RXaddr invalid : 0x10000 most be less than 0xFFFF\n"},
        // Leading blanks were always read as intended.
        {{"-I", " 2000"}, USAGE_STATUS, "", "hard ID invalid : 0x2000 most be less than 0x1FFF\n"},
        {{"-s", "\t 0x100"}, USAGE_STATUS, "", "soft ID invalid : 0x100 most be less than 0xFF\n"},
        {{"-I", " 1FFF", "-s", " +0xFF", "-r", " -1"}, RUNS_ON, "", ""},
        usage({"-I", "\xef\xbc\x91"}, "invalid hex number for -I: \"\xef\xbc\x91" + BAD_HEX),
    };
    for (const char* option : {"-I", "-i", "-s", "-r"})
        for (const char* text : {"1O", "zz", "", " ", "0x", "10 ", "100000000", "-80000001"})
            cases.push_back(usage({option, text}, "invalid hex number for " + std::string(option) +
                                                      ": \"" + text + BAD_HEX));
    for (const Case& c : cases)
        expect(c);
}

TEST_F(CommandLine, FlashFiles) {
    mkfifo(dir.path("fifo").c_str(), 0600);
    write_bytes(dir.path("empty.hex"), {});
    Bytes binary;
    for (int i = 0; i < 4096; ++i)
        binary.push_back(static_cast<unsigned char>(i * 97 + 13));
    write_bytes(dir.path("binary.hex"), binary);
    write_text(dir.path("nul.hex"), std::string(":10000000\0\0", 11));
    write_text(dir.path("long-garbage.hex"), std::string(4 << 20, 'x') + "\n");
    // Hundreds of megabytes behind a valid first record; sparse, so cheap to make.
    std::string big = dir.path("big.hex");
    write_text(big, hex_record(0, Bytes(32, 0x11)) + hex_record(32, Bytes(32, 0x22)));
    ASSERT_EQ(truncate(big.c_str(), 300L << 20), 0);
    // Text after a record's checksum is not part of it, however long.
    write_text(dir.path("long-line.hex"),
               hex_record(0, Bytes(16, 0xA5)).insert(43, std::string(1 << 20, ' ')) +
                   hex_record(16, Bytes(16, 0x5A)) + HEX_EOF);
    std::string odd = dir.path("fw-\xc3\xa9\xff.hex");
    write_text(odd, hex_file(0, Bytes(40, 0x42)));
    std::string tone = data_path("avr/tone.hex");

    const Case cases[] = {
        not_loaded("@"),
        not_loaded("@/fifo"), // never blocks
        not_loaded("@/missing.hex"),
        not_loaded("@/empty.hex"),
        not_loaded("@/binary.hex", ".hex parse error line # 1\n"),
        not_loaded("@/nul.hex"),
        not_loaded("@/long-garbage.hex", ".hex parse error line # 1\n"),
        not_loaded("@/big.hex",
                   "Invalid hex: @/big.hex holds 314572800 bytes, more than any firmware image "
                   "needs\n"),
        {{"-f", "@/long-line.hex"},
         RUNS_ON,
         "Parsed firmware file: @/long-line.hex : v  32 bytes\n",
         ""},
        {{"-f", odd, "-e", "@/\xe2\x82\xac.bin"},
         RUNS_ON,
         "Parsed firmware file: " + odd + " : v  40 bytes\n",
         ""},
        {{"-f", tone}, RUNS_ON, "Parsed firmware file: " + tone + " : v  9184 bytes\n", ""},
    };
    for (const Case& c : cases)
        expect(c);
}

TEST_F(CommandLine, EepromImageFilesThatCannotBeKept) {
    mkfifo(dir.path("fifo").c_str(), 0600);
    write_bytes(dir.path("file"), {1});
    const std::string fix = "; give a readable file, or a new name to start one\n";
    std::vector<Case> cases = {
        {{"-e", "@", "-I", "10"}, USAGE_STATUS, "", "EEPROM image file @: is a directory" + fix},
        {{"-e", "@/fifo"},
         USAGE_STATUS,
         "",
         "EEPROM image file @/fifo: is not a regular file" + fix},
        {{"-e", "@/file/id.bin"},
         USAGE_STATUS,
         "",
         "EEPROM image file @/file/id.bin: Not a directory" + fix},
        // A name that does not exist yet starts a new file.
        {{"-e", "@/new.bin"}, RUNS_ON, "", ""},
    };
    if (geteuid() != 0) { // root reads anything
        write_bytes(dir.path("secret.bin"), Bytes(40, 0));
        chmod(dir.path("secret.bin").c_str(), 0200);
        cases.push_back({{"-e", "@/secret.bin"},
                         USAGE_STATUS,
                         "",
                         "EEPROM image file @/secret.bin: cannot be read" + fix});
    }
    for (const Case& c : cases)
        expect(c);
}
