#include "scenario.h"

#include "device/flip_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim {
namespace {

constexpr char kCommentStart = '#';
constexpr char kOptionSeparator = '=';
constexpr int kMinBusNumber = 1;
constexpr int kMaxBusNumber = 999; // bus directory names have three digits
constexpr int kMinDevnum = 1;
constexpr int kMaxDevnum = 127; // USB addresses
constexpr std::size_t kMaxIdDigits = 4;
constexpr int kHexBase = 16;

// A problem with one line; the parser adds where it is.
class LineError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

std::vector<std::string> words_of(const std::string& line) {
    std::istringstream stream(line.substr(0, line.find(kCommentStart)));
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

int parse_in_range(const std::string& text, int min, int max, const char* what) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < min || value > max)
        throw LineError(std::string(what) + " " + quoted(text) + " is not a number from " +
                        std::to_string(min) + " to " + std::to_string(max));
    return value;
}

std::uint16_t parse_id(const std::string& text, const char* what) {
    const bool hex_digits = std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (text.empty() || text.size() > kMaxIdDigits || !hex_digits)
        throw LineError(std::string(what) + " " + quoted(text) + " is not 1 to 4 hex digits");
    return static_cast<std::uint16_t>(std::stoul(text, nullptr, kHexBase));
}

std::string resolve(const std::string& path, const std::string& base_dir) {
    if (path.front() == '/' || base_dir.empty())
        return path;
    return base_dir + "/" + path;
}

std::vector<std::uint8_t> read_memory_file(const std::string& option, const std::string& path,
                                           std::size_t memory_size) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw LineError("cannot read " + option + " file " + quoted(path) + ": " +
                        std::strerror(errno));
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                    std::istreambuf_iterator<char>()};
    if (bytes.size() > memory_size)
        throw LineError(option + " file " + quoted(path) + " holds " +
                        std::to_string(bytes.size()) + " bytes, more than the " +
                        std::to_string(memory_size) + " of the memory");
    return bytes;
}

std::pair<std::string, std::string> split_option(const std::string& word) {
    const auto separator = word.find(kOptionSeparator);
    if (separator == std::string::npos)
        return {word, ""};
    return {word.substr(0, separator), word.substr(separator + 1)};
}

// The part= option, read before the others: the memory files must fit its memories.
const parts::Part& part_of(const std::vector<std::string>& words) {
    const parts::Part* part = nullptr;
    for (std::size_t i = 3; i < words.size(); ++i) {
        const auto [key, value] = split_option(words[i]);
        if (key != "part" || value.empty())
            continue;
        if (part)
            throw LineError("part is given twice");
        try {
            part = &part_named(value);
        } catch (const std::invalid_argument& error) {
            throw LineError(error.what());
        }
    }
    return part ? *part : parts::default_part();
}

void parse_lock(const std::string& value, DevicePlan& plan) {
    if (plan.locked)
        throw LineError("lock is given twice");
    if (value != "on" && value != "off")
        throw LineError("lock takes on or off, not " + quoted(value));
    if (plan.part->protocol != parts::PROTOCOL_1)
        throw LineError(std::string("lock is for protocol-1 parts; ") + plan.part->name +
                        " has no lock");
    plan.locked = value == "on";
}

void parse_device_option(const std::string& word, const std::string& base_dir, DevicePlan& plan) {
    const auto [key, value] = split_option(word);
    if (value.empty() || (key != "part" && key != "port" && key != "lock" && key != "flash" &&
                          key != "eeprom" && key != "fault"))
        throw LineError("unknown device option " + quoted(word) +
                        " (expected part=<name>, port=<name>, lock=on|off, flash=<file>, "
                        "eeprom=<file> or fault=<kind>[@<index>])");
    if (key == "part")
        return; // taken first, by part_of
    if (key == "lock") {
        parse_lock(value, plan);
        return;
    }
    if (key == "port") {
        if (!plan.port.empty())
            throw LineError("port is given twice");
        plan.port = value;
        return;
    }
    if (key == "fault") {
        const auto fault = parse_fault(value);
        if (!fault)
            throw LineError("unknown fault " + quoted(value));
        plan.faults.push_back(*fault);
        return;
    }
    auto& contents = key == "flash" ? plan.flash : plan.eeprom;
    if (contents)
        throw LineError(key + " is given twice");
    contents = read_memory_file(key, resolve(value, base_dir),
                                key == "flash" ? plan.part->flash_size : plan.part->eeprom_size);
}

DevicePlan parse_device(const std::vector<std::string>& words, const std::string& base_dir) {
    if (words.size() < 3)
        throw LineError("device: expected <bus> <devnum> [part=<name>] [port=<name>] "
                        "[lock=on|off] [flash=<file>] [eeprom=<file>] [fault=<kind>[@<index>]]...");
    DevicePlan plan;
    plan.bus = parse_in_range(words[1], kMinBusNumber, kMaxBusNumber, "bus number");
    plan.devnum = parse_in_range(words[2], kMinDevnum, kMaxDevnum, "device number");
    plan.part = &part_of(words);
    plan.vendor = kAtmelVendorId;
    plan.product = plan.part->product;
    for (std::size_t i = 3; i < words.size(); ++i)
        parse_device_option(words[i], base_dir, plan);
    return plan;
}

DevicePlan parse_other(const std::vector<std::string>& words) {
    if (words.size() != 5)
        throw LineError("other: expected <bus> <devnum> <vendor hex> <product hex>");
    DevicePlan plan;
    plan.bus = parse_in_range(words[1], kMinBusNumber, kMaxBusNumber, "bus number");
    plan.devnum = parse_in_range(words[2], kMinDevnum, kMaxDevnum, "device number");
    plan.vendor = parse_id(words[3], "vendor id");
    plan.product = parse_id(words[4], "product id");
    return plan;
}

void expect_alone(const std::vector<std::string>& words) {
    if (words.size() != 1)
        throw LineError(quoted(words[0]) + " takes no arguments");
}

// Copies wait for the next device line.
struct Pending {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> copies;
};

constexpr std::size_t kMaxCopySize = 64 << 20;

void add_copy(const std::vector<std::string>& words, const std::string& base_dir,
              Pending& pending) {
    if (words.size() != 3)
        throw LineError("copy: expected <source> <file>");
    pending.copies.emplace_back(
        resolve(words[2], base_dir),
        read_memory_file("copy", resolve(words[1], base_dir), kMaxCopySize));
}

void add_to_batch(DevicePlan plan, Batch& batch, Pending& pending) {
    plan.copies = std::move(pending.copies);
    pending.copies.clear();
    const bool taken = std::any_of(batch.begin(), batch.end(), [&](const DevicePlan& other) {
        return other.bus == plan.bus && other.devnum == plan.devnum;
    });
    if (taken)
        throw LineError("address " + std::to_string(plan.bus) + "-" + std::to_string(plan.devnum) +
                        " is already used in this batch");
    batch.push_back(std::move(plan));
}

void end_batch(Batch& batch, Scenario& scenario) {
    if (!batch.empty())
        scenario.batches.push_back(std::move(batch));
    batch.clear();
}

// Adds one line's meaning to the scenario; throws LineError when it has none.
void parse_line(const std::vector<std::string>& words, const std::string& base_dir, Batch& batch,
                Scenario& scenario, Pending& pending) {
    const std::string& kind = words[0];
    if (kind == "device") {
        add_to_batch(parse_device(words, base_dir), batch, pending);
    } else if (kind == "other") {
        add_to_batch(parse_other(words), batch, pending);
    } else if (kind == "copy") {
        add_copy(words, base_dir, pending);
    } else if (kind == "wait") {
        expect_alone(words);
        end_batch(batch, scenario);
    } else if (kind == "sigterm") {
        expect_alone(words);
        end_batch(batch, scenario);
        if (scenario.sigterm_after)
            throw LineError("sigterm is given twice");
        scenario.sigterm_after = scenario.batches.size();
    } else if (kind == "rotate") {
        if (words.size() != 3)
            throw LineError("rotate takes a file and the name it is moved to");
        end_batch(batch, scenario);
        if (scenario.rotate_after)
            throw LineError("rotate is given twice");
        scenario.rotate_after = scenario.batches.size();
        scenario.rotate_file = resolve(words[1], base_dir);
        scenario.rotate_to = resolve(words[2], base_dir);
    } else if (kind == "udev-fail") {
        expect_alone(words);
        scenario.udev_new_fails = true;
    } else {
        throw LineError("unknown line kind " + quoted(kind) +
                        " (expected device, other, copy, wait, sigterm, rotate or udev-fail)");
    }
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

Scenario parse_scenario(std::istream& text, const std::string& name, const std::string& base_dir) {
    Scenario scenario;
    Batch batch;
    Pending pending;
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
        const auto words = words_of(line);
        if (words.empty())
            continue;
        try {
            parse_line(words, base_dir, batch, scenario, pending);
        } catch (const LineError& error) {
            throw ScenarioError(name + ":" + std::to_string(number) + ": " + error.what());
        }
    }
    if (!pending.copies.empty())
        throw ScenarioError(name + ": a copy line with no device line after it");
    end_batch(batch, scenario);
    return scenario;
}

Scenario load_scenario(const std::string& path) {
    std::ifstream file(path);
    if (!file)
        throw ScenarioError(path + ": cannot read the scenario: " + std::strerror(errno));
    return parse_scenario(file, path, directory_of(path));
}

} // namespace sim
