// Command lines of the usbredir front end, one per line on its standard input:
//
//   plug <slot> [part=<part>] [name=<name>] [flash=<file>] [eeprom=<file>]
//        [fault=<kind>[@<k>]]... [slow=<ms>]
//   slow <slot> <ms>
//   unplug <slot>
//   save <slot>
//   quit
//
// `plug` puts a fresh bootloader of the part (a name of the part table, atxmega32a4u
// when left out) on the slot's bus, erased unless a file gives its memory from address 0; `slow`
// (on plug, or for the plugged device) holds each class or vendor request for that many
// milliseconds before the model takes it, 0 for none, so a pass lasts long enough for another
// program to meet it; `unplug` pulls the device; `save` writes its files now; `quit` (or the end of
// the input) saves every plugged device and ends.
#pragma once

#include "device/fault.h"
#include "parts/parts.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::usbredir {

struct Command {
    enum class Kind { Plug, Slow, Unplug, Save, Quit };
    Kind kind = Kind::Quit;
    std::size_t slot = 0;
    const parts::Part* part = &parts::default_part();
    std::string name;                 // empty: the front end picks one
    std::optional<std::string> flash; // files with the start contents
    std::optional<std::string> eeprom;
    std::vector<Fault> faults;
    unsigned slow_ms = 0; // plug and slow
};

// A request held longer than the host's time-out would only make it give up.
constexpr unsigned kMaxSlowMs = 10000;

class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Nothing for a blank line or a comment ('#'); throws CommandError naming what
// is wrong otherwise.
std::optional<Command> parse_command(const std::string& line);

} // namespace sim::usbredir
