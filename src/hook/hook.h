// The command run after each device the station programmed (--after): a functional test, a
// label printer. It runs in a process group of its own with a time limit; its exit status says
// whether the device passed, its standard output's key=value lines are its results.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace hook {

constexpr int DEFAULT_TIMEOUT_S = 60;
constexpr size_t MAX_RESULTS = 64;     // result lines kept; later ones are dropped
constexpr size_t MAX_LINE_BYTES = 512; // longer result lines are dropped, longer output cut
constexpr char PREFIX[] = "after: ";   // before each line of its output the operator sees

enum Status { PASSED, EXITED, SIGNALLED, TIMED_OUT, NOT_STARTED };

struct Outcome {
    Status status = NOT_STARTED;
    int code = 0;   // EXITED: the exit status; SIGNALLED: the signal
    int64_t ms = 0; // from start to end, as the monotonic clock measured it
    std::vector<std::pair<std::string, std::string>> results; // in the order printed
    int dropped_many = 0;                                     // result lines past MAX_RESULTS
    int dropped_long = 0; // result lines longer than MAX_LINE_BYTES
    std::string why;      // NOT_STARTED: the cause
    bool passed() const { return status == PASSED; }
};

// Runs `command` with /bin/sh -c in a new process group, standard input /dev/null, the
// station's environment plus `env` (NAME=value, replacing a variable of the same name), no
// other descriptor of the station. Its standard output lines that are not results go to `out`,
// its standard error's to `err`, each prefixed with PREFIX. At `timeout_s` seconds the process
// group is killed (SIGKILL); when the command ends first, what it left running in its group
// is killed too. `alive` (when set) is called at least every second while it runs, so that a
// watchdog sees the station alive. Returns 0 once it ended, -1 when it could not start
// (outcome.why says why).
int run(const std::string& command, const std::vector<std::string>& env, int timeout_s,
        std::ostream& out, std::ostream& err, Outcome& outcome,
        const std::function<void()>& alive = nullptr);

// "passed", "exit status 3", "signal 9", "time limit of 60 s", "not started: <why>".
std::string status_text(const Outcome& outcome, int timeout_s);

// A key=value line's key and value; false when the line is no result (the key is empty or
// holds a character other than A-Z, a-z, 0-9, '_', '.', '-').
bool parse_result(const std::string& line, std::string& key, std::string& value);

} // namespace hook
