// Whole-station runs for the robustness tests: korvofw-sim playing a scenario in a directory of
// its own, its output kept in files there, many runs at once; and what a run leaves behind, read
// back as an operator would find it.
#pragma once

#include "test_files.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace robustness {

constexpr std::size_t FLASH_SIZE = 32768;
constexpr std::size_t EEPROM_SIZE = 1024;
constexpr std::size_t RECORD_SIZE = 80;
constexpr std::size_t HARD_ID_OFFSET = 23;
constexpr std::size_t RXADDR_OFFSET = 26;
constexpr int HARD_ID_SHIFT = 3;
constexpr unsigned char ERASED = 0xFF;

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

// Upper-case hex digits, as the station's -I takes them.
std::string hex(int value);

// One run of the station: the scenario is written to <dir>/<name>.scenario, the devices' files
// go to <dir>/<name>/, standard output and error to <dir>/<name>.out and .err. The station
// runs in dir; extra environment entries are NAME=value.
struct RunPlan {
    std::string dir;
    std::string name;
    std::string scenario;
    std::vector<std::string> args;
    std::vector<std::string> env;
    // Far beyond the run: a station that has not played its scenario out by then hangs.
    std::chrono::seconds time_limit = std::chrono::seconds(20);
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;         // exit status, or -1 when ended by a signal
    int signal = 0;          // the signal that ended it, if any
    bool played_out = false; // the scenario was played to its end; we then stopped the station
    bool timed_out = false;  // still running after the time limit, and killed
    int fds = -1;            // descriptors and resident memory once played out
    long rss_kb = -1;
};

// Starts the station with posix_spawn (nothing runs in a forked copy of a threaded test), waits
// until the scenario is played out and the station is back to waiting after its last pass,
// samples its resources there and stops it with SIGTERM, as the bench's harness does.
RunResult run_station(const RunPlan& plan);

// Every how many request indexes a test takes: 1, but SANITIZED_STRIDE under the sanitizers
// (a run there costs three times as much and the suite runs two such tests at once), unless
// the environment variable names another stride.
constexpr std::size_t SANITIZED_STRIDE = 2;
std::size_t request_stride(const char* variable);

// Runs task(0) .. task(count - 1) on twice as many threads as the machine has cores: a run
// spends much of its time waiting for the file system.
void run_in_parallel(std::size_t count, const std::function<void(std::size_t)>& task);

// The file's bytes, or nothing when it cannot be read.
std::optional<Bytes> read_file(const std::string& path);

// Hard ID and RXaddr as the record and the EEPROM image file hold them.
int hard_id_of(const Bytes& record);
int rxaddr_of(const Bytes& record);

// The last value printed after `label` as hex digits, or -1 when it was never printed.
int last_printed_hex(const std::string& out, const std::string& label);
// The count in the last "Waiting (N devices)" line, or -1.
int last_waiting_count(const std::string& out);
std::size_t count_of(const std::string& text, const std::string& what);

// One line of a device's request log (see sim/bench.h).
struct Request {
    int type = 0;
    int request = 0;
    std::string out;
    std::string in;
    int rc = 0;
};
std::vector<Request> parse_log(const std::string& text);

// What one device holds after a run, read from the bench's files.
struct DeviceState {
    bool present = false; // its files were there
    Bytes flash;
    Bytes eeprom;
    std::vector<Request> log;

    bool flash_holds(const Bytes& image) const;
    // The first 80 bytes are as the bench left them: no record was ever written.
    bool record_untouched() const;
    // Whether the record is the EEPROM image file's bytes with an identity put in, all of it:
    // bytes 22-27 aside, the first image.size() bytes are the image's, the rest of the record
    // and of the EEPROM erased.
    bool record_whole(const Bytes& id_image) const;
    int hard_id() const { return hard_id_of(eeprom); }
    int rxaddr() const { return rxaddr_of(eeprom); }
    // The status request after the record write answered OK.
    bool record_write_confirmed() const;
    // The start command was sent.
    bool start_sent() const;
    // Both start requests were answered: the device left for its application.
    bool started() const;
};

DeviceState read_device(const std::string& out_dir, const std::string& name);

// The device names ("<bus>-<devnum>") of the "device" lines of a scenario, in order.
std::vector<std::string> scenario_devices(const std::string& scenario);

} // namespace robustness
