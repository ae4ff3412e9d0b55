// Whole-station runs for the robustness and line tests: korvofw-sim plays scenarios in station
// directories of their own, many at once; output, device memory and the image file are read back.
#pragma once

#include "test_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace robustness {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
constexpr std::size_t FLASH_SIZE = 32768, EEPROM_SIZE = 1024, RECORD_SIZE = 80;
constexpr int FIRST_RXADDR = 0x8700;
constexpr int SOFT_ID = 5;
const char NEXT_ID[] = "next unique ID (";
// Requests as the bench's log shows them (see sim/usb/bench.h).
const char START[] = " out=0403010000 ";
const char START_ANSWERED[] = " out=0403010000 in=- rc=5\n";
const char SELECT_EEPROM[] = " out=060300010000 ";
const char RECORD_WRITE[] = " out=01000000004f"; // program EEPROM 0x00-0x4F
const char STATUS_OK[] = " type=a1 req=3 value=0000 index=0000 len=6 out=- in=00";

// The number an environment variable holds; the fallback when it is unset or empty.
inline int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// The numbers printed after each `label`, in order (their count: how often it was printed).
inline std::vector<int> printed(const std::string& out, const std::string& label, int base = 16) {
    std::vector<int> values;
    for (size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1))
        values.push_back(static_cast<int>(std::strtol(&out[at + label.size()], nullptr, base)));
    return values;
}

inline std::size_t count_of(const std::string& out, const std::string& what) {
    return printed(out, what).size();
}
// In the last whole "Waiting (N devices)", or -1. A station stopped while its output was
// written may leave the line cut short: its stream reaches the file in more than one write.
inline int shown_count(const std::string& out) {
    const std::size_t end = out.rfind(" devices)");
    std::vector<int> counts = printed(out.substr(0, end), "Waiting (", 10);
    return counts.empty() || end == std::string::npos ? -1 : counts.back();
}

inline Bytes file_or_empty(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) ? read_bytes(path) : Bytes();
}

// Failures of one case, gathered on a worker thread and reported on the test's own.
struct Checker {
    std::string where;
    std::vector<std::string> failures;
    std::size_t checks = 0;
    bool flag = false; // what else the case found, for the test to look at
    void check(bool ok, const std::string& what) {
        ++checks;
        if (!ok)
            failures.push_back(where + ": " + what);
    }
};

// Adds every case's failures to the test; the number of checks made.
inline std::size_t report(const std::vector<Checker>& reports) {
    std::size_t checks = 0;
    for (const Checker& r : reports) {
        checks += r.checks;
        for (const std::string& failure : r.failures)
            ADD_FAILURE() << failure;
    }
    return checks;
}

// Hard ID, soft ID and RXaddr as the record and the image file hold them in bytes 23-27.
struct Identity {
    int hard = -1, soft = -1, rxaddr = -1;
    std::string text() const {
        return "hard ID " + hex(hard) + ", soft ID " + hex(soft) + ", RXaddr " + hex(rxaddr);
    }
};

inline Identity identity_of(const Bytes& b) {
    return b.size() < 28 ? Identity{}
                         : Identity{((b[23] << 8) | b[24]) >> 3, b[25], (b[26] << 8) | b[27]};
}

// The bytes with byte 22 cleared and the identity put in (a negative field keeps its bytes);
// with `erased`, first laid over an erased EEPROM, as a device's record is.
inline Bytes with_identity(Bytes b, const Identity& id, bool erased = false) {
    if (erased)
        b.resize(EEPROM_SIZE, 0xFF);
    const unsigned hard = id.hard, rxaddr = id.rxaddr; // unsigned: only given fields are used
    const unsigned fields[] = {hard >> 5, hard << 3, unsigned(id.soft), rxaddr >> 8, rxaddr};
    const bool given[] = {id.hard >= 0, id.hard >= 0, id.soft >= 0, id.rxaddr >= 0, id.rxaddr >= 0};
    b[22] = 0;
    for (int i = 0; i < 5; ++i)
        b[23 + i] = given[i] ? static_cast<unsigned char>(fields[i]) : b[23 + i];
    return b;
}

// Bytes that differ from each other (22 is not 0), this hard ID, soft ID 0x5A, RXaddr 0x1234.
inline Bytes id_image(std::size_t size = 40, int hard = 0x10) {
    Bytes bytes = with_identity(Bytes(size), {hard, 0x5A, 0x1234});
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = i < 23 || i > 27 ? static_cast<unsigned char>(i * 37 + 11) : bytes[i];
    return bytes;
}

inline std::vector<std::string> options(int first_id) {
    return {"-f", "fw.hex", "-e", "id.bin", "-I", hex(first_id), "-s", "5", "-r", "0x8700"};
}

struct Device { // what one device holds after a run, from the bench's files, and its request log
    bool present = false;
    Bytes flash, eeprom;
    std::string log; // a line a request
    Identity id() const { return identity_of(eeprom); }
    std::size_t requests() const { return count_of(log, "\n"); }
    bool flash_right() const { // holds the blink firmware
        static const Bytes firmware = read_bytes(data_path("avr/blink.bin"));
        return present && std::equal(firmware.begin(), firmware.end(), flash.begin());
    }
    bool record_untouched() const {
        return present && std::all_of(eeprom.begin(), eeprom.begin() + RECORD_SIZE,
                                      [](unsigned char b) { return b == 0xFF; });
    }
    // The EEPROM is the image with the device's hard ID and RXaddr and SOFT_ID put in.
    bool record_whole(const Bytes& image) const {
        return present && eeprom == with_identity(image, {id().hard, SOFT_ID, id().rxaddr}, true);
    }
    bool record_write_confirmed() const { // the status request after it answered OK
        std::size_t line = log.find('\n', log.find(RECORD_WRITE, log.find(SELECT_EEPROM)));
        std::string status =
            line == std::string::npos ? "" : log.substr(line, log.find('\n', line + 1) - line);
        return has(status, STATUS_OK) && has(status + "\n", " rc=6\n");
    }
    bool start_sent() const { return has(log, START); }
    bool started() const { return count_of(log, START_ANSWERED) == 2; } // left the bootloader
};

struct RunRecord {
    std::string out, err;
    int signal = 0;          // the signal that ended it, if one did
    bool played_out = false; // every device delivered and its pass over; we then stopped it
    int fds = -1;            // descriptors and resident memory, sampled once played out
    long rss_kb = -1;
    std::map<std::string, Device> devices; // by "<bus>-<devnum>", every device line's
    Bytes id_file;
};

// A station directory in memory: fw.hex (blink), old.bin (another firmware) and id.bin.
struct Station {
    explicit Station(const Bytes& id_image) {
        write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
        write_bytes(dir.path("old.bin"), read_bytes(data_path("avr/uart_echo.bin")));
        write_bytes(dir.path("id.bin"), id_image);
    }
    ScratchDir dir{true};

    // Plays the scenario (the devices' files go to <name>/, the output to <name>.out and .err)
    // with the extra environment entries; killed when still running after the time limit.
    RunRecord run(const std::string& name, const std::string& scenario,
                  std::vector<std::string> args, std::vector<std::string> env = {},
                  std::chrono::seconds time_limit = std::chrono::seconds(10)) const {
        const std::string stem = dir.path(name), out = stem + ".out", err = stem + ".err";
        write_text(stem + ".scenario", scenario);
        // The first entry of a name is the one read: the run's own go first.
        env.insert(env.end(), {"KORVOFW_SIM=" + stem + ".scenario", "KORVOFW_SIM_OUT=" + stem});
        for (char** entry = environ; *entry != nullptr; ++entry)
            env.push_back(*entry);
        args.insert(args.begin(), KORVOFW_SIM_BIN);
        std::vector<char*> argv(args.size() + 1), envp(env.size() + 1); // ending in null
        for (auto [from, to] : {std::pair(&args, &argv), std::pair(&env, &envp)})
            std::transform(from->begin(), from->end(), to->begin(),
                           [](auto& t) { return t.data(); });
        // Spawned, not forked (nothing runs in a copy of a threaded test), with nothing of ours.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        for (int fd : {1, 2})
            posix_spawn_file_actions_addopen(&actions, fd, (fd == 1 ? out : err).c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawn_file_actions_addchdir_np(&actions, dir.dir.c_str());
        pid_t pid = -1;
        int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        RunRecord r;
        r.err = error != 0 ? "cannot start " KORVOFW_SIM_BIN : "";
        // The bench creates the done file at an idle step once every device is delivered and
        // its pass is over. Output written after the file was seen comes from a later step, and
        // every step from then on is an idle step: nothing is open but what is kept for good.
        // The run is over once a waiting line follows: the last count may come only after it.
        auto deadline = std::chrono::steady_clock::now() + time_limit;
        long size_at_done = -1;
        int wstatus = 0;
        while (error == 0 && waitpid(pid, &wstatus, WNOHANG) != pid) {
            const std::string text = size_at_done < 0 && !std::filesystem::exists(stem + "/done")
                                         ? std::string()
                                         : to_text(file_or_empty(out));
            long size = text.empty() ? -1 : static_cast<long>(text.size());
            if (r.played_out || std::chrono::steady_clock::now() > deadline) {
                kill(pid, r.played_out ? SIGTERM : SIGKILL);
            } else if (size_at_done < 0) {
                size_at_done = size;
            } else if (size > size_at_done && // a whole waiting line, with the final count
                       has(text.substr(size_at_done), " devices) ")) { // descriptors and memory
                const std::string proc = "/proc/" + std::to_string(pid);
                auto fds = std::filesystem::directory_iterator(proc + "/fd");
                r.fds = static_cast<int>(std::distance(begin(fds), end(fds)));
                std::ifstream status(proc + "/status");
                for (std::string line; std::getline(status, line) && r.rss_kb < 0;)
                    r.rss_kb = line.rfind("VmRSS:", 0) == 0 ? std::atol(line.c_str() + 6) : -1;
                r.played_out = true;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
        r.out = to_text(file_or_empty(out));
        r.err += to_text(file_or_empty(err));
        r.id_file = file_or_empty(dir.path("id.bin"));
        std::istringstream words(scenario);
        for (std::string word, bus, devnum; words >> word;) {
            if (word != "device" || !(words >> bus >> devnum))
                continue;
            Device& d = r.devices[bus + "-" + devnum]; // a device plugged again: read again
            const std::string file = stem + "/" + bus + "-" + devnum;
            d.flash = file_or_empty(file + ".flash");
            d.eeprom = file_or_empty(file + ".eeprom");
            d.log = to_text(file_or_empty(file + ".log"));
            d.present = d.flash.size() == FLASH_SIZE && d.eeprom.size() == EEPROM_SIZE;
        }
        return r;
    }
};

// Every how many request indexes a test takes: 1, but 2 under the sanitizers (where a run
// costs three times as much), unless the environment variable names another stride.
inline std::size_t request_stride(const char* variable) {
    return std::max(1, env_number(variable, SANITIZED ? 2 : 1));
}

// Runs task(0) .. task(count - 1) on two threads a core: a run waits much on the file system.
template <typename Task> void run_in_parallel(std::size_t count, const Task& task) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads(std::max(1u, std::thread::hardware_concurrency()) * 2);
    for (std::thread& thread : threads)
        thread = std::thread([&] {
            for (std::size_t i = next++; i < count; i = next++)
                task(i);
        });
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace robustness
