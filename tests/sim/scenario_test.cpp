// Scenario files: what the author of a wrong one is told.
#include "scenario.h"
#include "test_files.h"

#include <gtest/gtest.h>

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

} // namespace
