// Whole-station runs for the robustness tests: korvofw-sim playing scenarios in a station
// directory of its own, many runs at once, and what a run leaves behind read back as an
// operator would find it: output, device memory and the EEPROM image file.
#pragma once

#include "test_files.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace robustness {

constexpr std::size_t EEPROM_SIZE = 1024;
constexpr std::size_t CLEARED = 22; // bytes 22-27 are the station's to change
constexpr std::size_t IDENTITY_END = 28;
constexpr int FIRST_RXADDR = 0x8700;
constexpr int SOFT_ID = 5;
const char NEXT_ID[] = "next unique ID (";

// Failures of one case, gathered on a worker thread and reported on the test's own.
struct Checker {
    std::string where;
    std::vector<std::string> failures;
    std::size_t checks = 0;
    void check(bool ok, const std::string& what) {
        ++checks;
        if (!ok)
            failures.push_back(where + ": " + what);
    }
};

// Hard ID, soft ID and RXaddr as the record and the image file hold them (bytes 23-27).
struct Identity {
    int hard = -1, soft = -1, rxaddr = -1;
    bool operator==(const Identity& o) const {
        return hard == o.hard && soft == o.soft && rxaddr == o.rxaddr;
    }
};
Identity identity_of(const Bytes& bytes);
// The bytes with byte 22 cleared and the identity put in (a negative field keeps its bytes).
Bytes with_identity(Bytes bytes, const Identity& id);
// The image over an erased EEPROM, with the identity put in.
Bytes eeprom_with(const Bytes& image, const Identity& id);
std::string describe(const Identity& id);

// What one device holds after a run, from the bench's files, and its request log's lines.
struct Device {
    bool present = false;
    Bytes flash, eeprom;
    std::vector<std::string> log;
    Identity id() const { return identity_of(eeprom); }
    bool flash_right() const; // holds the blink firmware
    bool record_untouched() const;
    // The EEPROM is the image with the device's hard ID and RXaddr and this soft ID put in.
    bool record_whole(const Bytes& image, int soft = SOFT_ID) const;
    std::size_t record_write_index() const;
    bool record_write_confirmed() const; // the status request after it answered OK
    bool start_sent() const;
    bool started() const; // both start requests answered: it left for its application
};

struct RunRecord {
    std::string out, err;
    int status = -1;         // exit status, or -1 when ended by a signal
    int signal = 0;          // the signal that ended it
    bool played_out = false; // every device delivered and its pass over; we then stopped it
    int fds = -1;            // descriptors and resident memory, sampled once played out
    long rss_kb = -1;
    std::map<std::string, Device> devices; // by "<bus>-<devnum>", every device line's
    Bytes id_file;
};

// A station directory in memory: fw.hex (blink), old.bin (another firmware) and id.bin.
struct Station {
    explicit Station(const Bytes& id_image);
    // Plays the scenario (the devices' files go to <name>/, the output to <name>.out and .err)
    // with the extra environment entries; killed when still running after the time limit.
    RunRecord run(const std::string& name, const std::string& scenario,
                  const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  std::chrono::seconds time_limit = std::chrono::seconds(20)) const;
    ScratchDir dir{true};
};

// -f fw.hex -e id.bin -I <first_id> -s 5 -r 0x8700
std::vector<std::string> options(int first_id);
// Bytes that differ from each other, with hard ID 0x10, soft ID 0x5A and RXaddr 0x1234.
Bytes id_image(std::size_t size = 40);

// Every how many request indexes a test takes: 1, but 2 under the sanitizers (a run there
// costs three times as much), unless the environment variable names another stride.
std::size_t request_stride(const char* variable);
// Runs task(0) .. task(count - 1) on two threads a core: a run waits much on the file system.
void run_in_parallel(std::size_t count, const std::function<void(std::size_t)>& task);

std::string hex(int value);
// The hex numbers printed after each `label`, in order.
std::vector<int> printed_hex(const std::string& out, const std::string& label);
int last_waiting_count(const std::string& out); // in the last "Waiting (N devices)", or -1
std::size_t count_of(const std::string& text, const std::string& what);

} // namespace robustness
