// Scenario files and korvofw-sim, the real program on the bench: what the author of a wrong
// scenario is told, and station messages that only a run on the bench brings out.
#include "process_runner.h"
#include "scenario.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string load_error(const std::string& path) {
    try {
        sim::load_scenario(path);
    } catch (const sim::ScenarioError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(SimScenario, EachBadLineIsNamedWithItsFileAndNumber) {
    ScratchDir dir;
    write_bytes(dir.path("big.bin"), Bytes(1025, 0x00));
    write_bytes(dir.path("small.bin"), {0x01});
    // Comments and blank lines count; the same address in a later batch is fine.
    const std::string before = "# a header\n\ndevice 1 1  # the first\nwait\ndevice 1 1\n";
    const std::string options =
        " (expected port=<name>, flash=<file>, eeprom=<file> or fault=<kind>[@<index>])";
    const struct {
        const char* line; // line 6
        std::string message;
    } cases[] = {
        {"plug 1 5", "unknown line kind 'plug' (expected device, other, copy, wait or udev-fail)"},
        {"device 1", "device: expected <bus> <devnum> [port=<name>] [flash=<file>] "
                     "[eeprom=<file>] [fault=<kind>[@<index>]]..."},
        {"device 1000 5", "bus number '1000' is not a number from 1 to 999"},
        {"device 1 5x", "device number '5x' is not a number from 1 to 127"},
        {"device 1 5 fault=melt", "unknown fault 'melt'"},
        {"device 1 5 fault=gone@2", "unknown fault 'gone@2'"},
        {"device 1 5 fault=stall@5x", "unknown fault 'stall@5x'"},
        {"device 1 5 speed=12", "unknown device option 'speed=12'" + options},
        {"device 1 5 port=", "unknown device option 'port='" + options},
        {"device 1 5 port=1-1 port=1-2", "port is given twice"},
        {"device 1 5 eeprom=small.bin eeprom=small.bin", "eeprom is given twice"},
        {"device 1 5 eeprom=big.bin", "eeprom file '" + dir.path("big.bin") +
                                          "' holds 1025 bytes, more than the 1024 of the memory"},
        {"device 1 5 flash=none.bin",
         "cannot read flash file '" + dir.path("none.bin") + "': No such file or directory"},
        {"other 1 5 03eb", "other: expected <bus> <devnum> <vendor hex> <product hex>"},
        {"other 1 5 12345 0001", "vendor id '12345' is not 1 to 4 hex digits"},
        {"wait now", "'wait' takes no arguments"},
        {"copy fw.hex", "copy: expected <source> <file>"},
        {"copy none.hex fw.hex",
         "cannot read copy file '" + dir.path("none.hex") + "': No such file or directory"},
        {"other 1 1 0001 0002", "address 1-1 is already used in this batch"},
    };
    const std::string path = dir.path("run.scenario");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        write_text(path, before + c.line + "\n");
        EXPECT_EQ(load_error(path), path + ":6: " + c.message);
    }
    EXPECT_EQ(load_error(dir.path("none")),
              dir.path("none") + ": cannot read the scenario: No such file or directory");
}

// A run that hangs fails its case within this, instead of holding the suite.
constexpr int kRunLimitMs = 5000;
constexpr int kPlayedOut = -1; // the scenario was played out and the station stopped

struct DeviceByte {
    const char* file;
    std::size_t offset;
    int value;
};

struct SimRun {
    const char* scenario; // null: KORVOFW_SIM is empty
    std::vector<std::string> options;
    int status; // exit status, or kPlayedOut
    std::string err;
    std::vector<DeviceByte> bytes; // in the devices' files afterwards
};

TEST(SimScenario, KorvofwSimRunsTellTheOperatorWhatIsWrong) {
    const SimRun runs[] = {
        {"device 1 5\nwait\ndevice 1 5 fault=melt\n",
         {},
         2,
         "korvofw-sim: run.scenario:3: unknown fault 'melt'\n",
         {}},
        {nullptr, {}, 2, "korvofw-sim: KORVOFW_SIM is not set; it names the scenario file\n", {}},
    };
    for (const SimRun& r : runs) {
        SCOPED_TRACE(r.scenario ? r.scenario : "no scenario");
        // Paths are relative to the run's directory, as an operator in it would give them.
        ScratchDir dir;
        if (r.scenario)
            write_text(dir.path("run.scenario"), r.scenario);
        ProcessOptions po;
        po.cwd = dir.dir;
        po.timeout_ms = kRunLimitMs;
        po.env = {std::string("KORVOFW_SIM=") + (r.scenario ? "run.scenario" : ""),
                  "KORVOFW_SIM_OUT=out"};
        const std::string done = dir.path("out/done");
        po.stop_when = [done](const std::string&) { return std::filesystem::exists(done); };
        std::vector<std::string> argv = {KORVOFW_SIM_BIN};
        argv.insert(argv.end(), r.options.begin(), r.options.end());
        const ProcessResult result = run_process(argv, po);
        if (r.status == kPlayedOut) {
            EXPECT_TRUE(result.stopped) << "not played out within " << kRunLimitMs << " ms";
        } else {
            EXPECT_EQ(result.status, r.status);
            EXPECT_EQ(result.out, "");
        }
        EXPECT_EQ(result.err, r.err);
        for (const DeviceByte& b : r.bytes)
            EXPECT_EQ(read_bytes(dir.path("out/") + b.file).at(b.offset), b.value) << b.file;
    }
}

} // namespace
