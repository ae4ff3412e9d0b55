// Start-up as a user sees it: the real executable, exact output and exit status.
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

namespace {

const std::string USAGE = "Usage: korvofw [-f flash.hex] [-r 0x8700] [-I 0xFFF] [-e eeprom.bin] "
                          "[-i 0x1FFF] [-s 0xFF] [-v $(git log -n 1 --pretty=format:\"%H\")] "
                          "[-t $(git describe)] \n";
const std::string VERSION_PREFIX = "version: ";

ProcessResult korvofw(std::vector<std::string> args) {
    args.insert(args.begin(), KORVOFW_BIN);
    return run_process(args);
}

void expect_usage(const ProcessResult& r, const std::string& err_before = "") {
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind(VERSION_PREFIX, 0), 0u) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_EQ(r.err, err_before + USAGE);
}

} // namespace

TEST(CommandLine, UsageTextOnHelpUnknownOptionMissingArgumentAndOperand) {
    expect_usage(korvofw({"-h"}));
    expect_usage(korvofw({"-x"}), std::string(KORVOFW_BIN) + ": invalid option -- 'x'\n");
    expect_usage(korvofw({"-f"}),
                 std::string(KORVOFW_BIN) + ": option requires an argument -- 'f'\n");
    expect_usage(korvofw({"stray"}));
}

TEST(CommandLine, IdentityValuesOutOfRange) {
    ProcessResult hard = korvofw({"-I", "2000"});
    EXPECT_EQ(hard.status, 255);
    EXPECT_EQ(hard.out, "");
    EXPECT_EQ(hard.err, "hard ID invalid : 0x2000 most be less than 0x1FFF\n");

    // -i takes the stored 16-bit form; the shifted value is shown.
    EXPECT_EQ(korvofw({"-i", "0x10000"}).err,
              "hard ID invalid : 0x2000 most be less than 0x1FFF\n");

    ProcessResult soft = korvofw({"-s", "100"});
    EXPECT_EQ(soft.status, 255);
    EXPECT_EQ(soft.err, "soft ID invalid : 0x100 most be less than 0xFF\n");

    // The hard ID is tested first.
    EXPECT_EQ(korvofw({"-s", "100", "-I", "2000"}).err,
              "hard ID invalid : 0x2000 most be less than 0x1FFF\n");

    ProcessResult rx = korvofw({"-r", "0x10000"});
    EXPECT_EQ(rx.status, 255);
    EXPECT_EQ(rx.err, "RXaddr invalid : 0x10000 most be less than 0xFFFF\n");
}

TEST(CommandLine, HexNumbersMustBeWhole) {
    for (const char* option : {"-I", "-i", "-s", "-r"}) {
        for (const char* text : {"1O", "zz", "", " ", "0x", "10 ", "100000000", "-80000001"}) {
            ProcessResult r = korvofw({option, text});
            expect_usage(r, "invalid hex number for " + std::string(option) + ": \"" + text +
                                "\" (give hex digits with an optional sign and 0x, such as 1A0 "
                                "or 0x1A0)\n");
        }
    }
}

TEST(CommandLine, StartsAndWaitsOnTheExampleFirmware) {
    ProcessOptions options;
    options.stop_when = [](const std::string& out) {
        return out.find("Waiting (0 devices) ") != std::string::npos;
    };
    std::string fw = std::string(KORVOFW_TEST_DATA) + "/avr/tone.hex";
    ProcessResult r = run_process({KORVOFW_BIN, "-f", fw}, options);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(
        r.out.rfind("Parsed firmware file: " + fw + " : v  9184 bytes\n.\rWaiting (0 devices) ", 0),
        0u)
        << r.out;
    EXPECT_EQ(r.err, "");
}
