#include "usbredir_commands.h"

#include "device/flip_device.h"

#include <charconv>
#include <sstream>

namespace sim::usbredir {
namespace {

std::size_t parse_slot(const std::string& text) {
    std::size_t slot = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, slot);
    if (text.empty() || error != std::errc() || stop != end)
        throw CommandError("bad slot number \"" + text + "\"");
    return slot;
}

unsigned parse_slow(const std::string& text) {
    unsigned ms = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, ms);
    if (text.empty() || error != std::errc() || stop != end || ms > kMaxSlowMs)
        throw CommandError("bad delay \"" + text + "\" (milliseconds, 0 to " +
                           std::to_string(kMaxSlowMs) + ")");
    return ms;
}

// Names become file names: letters, digits, '-', '_' and '.' only, no leading dot.
bool valid_name(const std::string& name) {
    if (name.empty() || name[0] == '.')
        return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!plain)
            return false;
    }
    return true;
}

const parts::Part* parse_part(const std::string& name) {
    try {
        return &part_named(name);
    } catch (const std::invalid_argument& error) {
        throw CommandError(error.what());
    }
}

void parse_plug_option(const std::string& word, Command& command) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals + 1 == word.size())
        throw CommandError("expected key=value, got \"" + word + "\"");
    const std::string key = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (key == "part") {
        command.part = parse_part(value);
    } else if (key == "name") {
        if (!valid_name(value))
            throw CommandError("bad device name \"" + value + "\"");
        command.name = value;
    } else if (key == "flash") {
        command.flash = value;
    } else if (key == "eeprom") {
        command.eeprom = value;
    } else if (key == "slow") {
        command.slow_ms = parse_slow(value);
    } else if (key == "fault") {
        const auto fault = parse_fault(value);
        if (!fault)
            throw CommandError("unknown fault \"" + value + "\"");
        command.faults.push_back(*fault);
    } else {
        throw CommandError("unknown option \"" + key + "\"");
    }
}

} // namespace

std::optional<Command> parse_command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb) || verb[0] == '#')
        return std::nullopt;
    Command command;
    if (verb == "quit") {
        command.kind = Command::Kind::Quit;
    } else if (verb == "plug" || verb == "slow" || verb == "unplug" || verb == "save") {
        command.kind = verb == "plug"     ? Command::Kind::Plug
                       : verb == "slow"   ? Command::Kind::Slow
                       : verb == "unplug" ? Command::Kind::Unplug
                                          : Command::Kind::Save;
        std::string slot;
        if (!(words >> slot))
            throw CommandError(verb + " needs a slot number");
        command.slot = parse_slot(slot);
        if (std::string ms; command.kind == Command::Kind::Slow) {
            if (!(words >> ms))
                throw CommandError("slow needs a delay in milliseconds");
            command.slow_ms = parse_slow(ms);
        }
    } else {
        throw CommandError("unknown command \"" + verb + "\"");
    }
    std::string word;
    while (words >> word) {
        if (command.kind != Command::Kind::Plug)
            throw CommandError("unexpected \"" + word + "\" after " + verb);
        parse_plug_option(word, command);
    }
    return command;
}

} // namespace sim::usbredir
