// Scenario files: which devices an operator plugs into the bench, and when.
//
//   # a comment, to the end of the line; blank lines are fine
//   device <bus> <devnum> [part=<name>] [port=<name>] [lock=on|off] [flash=<file>]
//          [eeprom=<file>] [fault=<kind>[@<k>]]...
//   other <bus> <devnum> <vendor hex> <product hex>
//   copy <source> <file>
//   wait
//   sigterm
//   rotate <file> <moved>
//   udev-fail
//
// `device` plugs in a part's bootloader whose memories are erased unless a file gives
// their start contents from address 0 (a file may fill the part's memory, no more; a
// megaAVR's flash holds its bootloader's code at the top); `part`
// names the part as the table in parts/parts.h does (atxmega32a4u, at 03eb:2fe4, when not
// given; e.g. atmega32u4, at90usb1286, atxmega128a4u), and the device answers with its
// product ID, protocol, sizes and time; `lock` says whether a protocol-1 part arrives with
// its security lock on (the default: it refuses all but its signature and a chip erase until
// a chip erase) or off (as after an erase without a reset since); `other` plugs in some other
// device (given a part's Atmel IDs, that part's bootloader); `port` names the USB port the device
// is on, as udev gives it to the program (udev_device_get_sysname; any text without blanks, e.g.
// "1-1.4"),
// "<bus>-<devnum>" (e.g. "1-5") when not given; `wait` ends a batch of devices that arrive
// together; `copy` replaces <file> with the bytes <source> held when the scenario was read,
// as an operator would between two devices, just before the next device line's device is
// plugged in; `sigterm` ends a batch like `wait` and then, instead of plugging the next one,
// sends the program SIGTERM while it waits (once, at most one such line); `udev-fail` makes
// udev_new fail; `rotate` ends a batch like `wait` and then, as logrotate does, renames <file> to
// <moved> and sends the program SIGHUP while it waits (once, at most one such line). Relative
// file paths are taken from the scenario
// file's directory. Files are read when the scenario is.
#pragma once

#include "device/fault.h"
#include "parts/parts.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct DevicePlan {
    int bus = 0;
    int devnum = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    const parts::Part* part = nullptr; // a device line's part; null for an other line
    std::optional<bool> locked;        // protocol 1's lock; none: the part's own default
    std::string port;                  // empty: the default, "<bus>-<devnum>"
    std::optional<std::vector<std::uint8_t>> flash;
    std::optional<std::vector<std::uint8_t>> eeprom;
    std::vector<Fault> faults;
    // Files written just before the device is plugged in: path, bytes.
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> copies;
};

using Batch = std::vector<DevicePlan>;

struct Scenario {
    bool udev_new_fails = false;
    std::vector<Batch> batches; // none of them empty
    // SIGTERM once this many batches are delivered and their events taken; none: no signal.
    std::optional<std::size_t> sigterm_after;
    // The file renamed, and SIGHUP sent, once this many batches are delivered; none: no rotation.
    std::optional<std::size_t> rotate_after;
    std::string rotate_file, rotate_to;
};

// what() reads "<file>:<line>: <what is wrong>", or "<file>: <what>" for the file itself.
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// `name` is the file name used in messages; `base_dir` resolves relative paths.
Scenario parse_scenario(std::istream& text, const std::string& name, const std::string& base_dir);
Scenario load_scenario(const std::string& path);

} // namespace sim
