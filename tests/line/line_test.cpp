// The production line: eight stations of one pool on one ledger (SQLite, then PostgreSQL), each
// playing its own devices with bench faults mixed in, while stations are killed with SIGKILL at
// seeded points (KORVOFW_SIM_KILL) and restarted as an operator would (same name, same ledger,
// the devices not played yet), and the PostgreSQL server is stopped at once and started again
// under them. Afterwards, from the devices' memories and the ledger's export:
//   - no hard ID is on two devices' EEPROMs, and the ledger holds no hard ID for two rows;
//   - every device a station counted has its completed 'ok' row, whose written record is the
//     device's EEPROM; the count a station shows is its devices that passed;
//   - every row agrees with its device's memories, and a device without a row was refused;
//   - every row left in flight (uncertain ID) has its cause: a kill (at most one per kill), an
//     outcome the station kept when the ledger failed and never got to write, or a reservation
//     the server committed while the station saw the connection fail.
// On SQLite the stations wait for a busy ledger by the real clock (see sqlite_real_clock.cpp).
// KORVOFW_LINE_DEVICES, _KILLS, _RESTARTS and _SEED size the line (scripts/line-test.sh runs the
// full one); the figures are printed.
#include "process_runner.h"
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

extern char** environ;

using namespace robustness;

// A device's files as the bench left them; present when both memories were written.
robustness::Device read_device(const std::string& out_dir, const std::string& name) {
    robustness::Device d;
    const std::string stem = out_dir + "/" + name;
    d.flash = file_or_empty(stem + ".flash");
    d.eeprom = file_or_empty(stem + ".eeprom");
    d.log = to_text(file_or_empty(stem + ".log"));
    d.present = d.flash.size() == FLASH_SIZE && d.eeprom.size() == EEPROM_SIZE;
    return d;
}

bool flash_holds(const robustness::Device& d, const Bytes& image) {
    return d.present && std::equal(image.begin(), image.end(), d.flash.begin());
}

// The EEPROM is the image over erased memory, but for byte 22 cleared and the hard ID and
// RXaddr put in (whatever they are: the ledger's rows say which).
bool record_whole(const robustness::Device& d, const Bytes& id_image) {
    Identity id = d.id();
    return d.present && (d.eeprom[24] & 0x07) == 0 &&
           d.eeprom == with_identity(id_image, {id.hard, -1, id.rxaddr}, true);
}

namespace {

enum Backend { SQLITE, POSTGRES };

constexpr int STATIONS = 8;
constexpr int DEFAULT_DEVICES = 40;
constexpr int DEFAULT_KILLS = 10;
constexpr int DEFAULT_RESTARTS = 1;
constexpr unsigned DEFAULT_SEED = 12;
constexpr int DEVICES_PER_BUS = 100;
constexpr int FAULT_EVERY = 7;
constexpr unsigned PASS_REQUESTS = 80; // control requests of a pass that goes through
// A kill lands within this many devices of the run's start, so each one is reached.
constexpr unsigned KILL_WINDOW = 5;
constexpr int START_TRIES = 20; // a killed station's PostgreSQL session may outlive it briefly
constexpr int EXIT_NO_LEDGER = 1;
constexpr auto STATION_LIMIT = std::chrono::seconds(180);
constexpr auto SERVER_LIMIT = std::chrono::seconds(120);
constexpr auto POLL = std::chrono::milliseconds(1);
constexpr mode_t OUTPUT_MODE = 0644;
constexpr std::size_t ID_FILE_SIZE = 32;
const char POOL[] = "line";

const char* const FAULTS[] = {"stall",     "timeout", "short",  "statuslen",
                              "badstatus", "stuck",   "unplug", "noopen"};
// A pass that goes through makes 80 control requests, one write of the EEPROM image file, two
// fsyncs (the file's and its directory's) and one rename; kills mostly hit the pass.
struct KillKind {
    const char* point;
    unsigned per_device;
};
const KillKind KILL_KINDS[] = {{"request", PASS_REQUESTS},
                               {"answered", PASS_REQUESTS},
                               {"request", PASS_REQUESTS},
                               {"answered", PASS_REQUESTS},
                               {"write", 1},
                               {"fsync", 2},
                               {"rename", 1}};

int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

struct Device {
    std::string name; // <bus>-<devnum>, also its files' stem
    int bus = 0, devnum = 0;
    std::string fault; // empty: a sound device
};

struct Run {
    std::string name; // run<n>: its scenario, output files and bench directory
    std::string kill; // KORVOFW_SIM_KILL, empty for none
    std::vector<std::size_t> plugged;
    bool killed = false, played_out = false, timed_out = false;
    int status = -1;
    std::string out, err;
};

struct Station {
    std::string name, dir;
    std::vector<Device> devices;
    std::vector<std::string> kills;
    std::vector<Run> runs;
    std::vector<std::size_t> run_of; // per device
    int refused_starts = 0;
};

// One row of the ledger's export.
struct Row {
    std::string station, state, id_state;
    int bus = 0, devnum = 0, hard_id = -1, result = 0;
    Bytes written;
};

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& e : extra)
            replaced = replaced || e.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts)
        list.push_back(&text[0]);
    list.push_back(nullptr);
    return list;
}

// Starts a child in dir with posix_spawn (nothing runs in a forked copy of this threaded
// test), its output into files; -1 when it cannot start.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& dir,
            const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, OUTPUT_MODE);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, OUTPUT_MODE);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    pid_t pid = -1;
    int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

bool exited(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Runs a command to its end, for at most `limit`, its output into <stem>.out and .err; its exit
// status, or -1. Files, not pipes: a server it starts keeps what it inherits.
int run_command(const std::vector<std::string>& argv, const std::string& stem,
                std::chrono::seconds limit) {
    pid_t pid = spawn(argv, environment_with({}), "/", stem + ".out", stem + ".err");
    if (pid <= 0)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited(pid))
        if (std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(POLL);
        else
            kill(pid, SIGKILL);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

std::string text_of(const std::string& path) {
    return to_text(file_or_empty(path));
}

// The station is back to waiting after the last device it took.
bool back_to_waiting(const std::string& out) {
    size_t last = out.rfind("next unique ID (");
    return out.find("Waiting (", last == std::string::npos ? 0 : last) != std::string::npos;
}

bool mentions(const std::string& err, const Device& d, const char* what) {
    return err.find("the device on bus " + std::to_string(d.bus) + ", device " +
                    std::to_string(d.devnum) + what) != std::string::npos;
}
bool refused(const std::string& err, const Device& d) {
    return mentions(err, d, " was not programmed");
}
bool kept(const std::string& err, const Device& d) {
    // "the outcome of the device on bus B, device D is kept and written before the next ..."
    return mentions(err, d, " is kept");
}

std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"')
            field += text[i++];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            lines.back().push_back(std::move(field)), field.clear();
        else if (!quoted && c == '\n')
            lines.back().push_back(std::move(field)), field.clear(), lines.emplace_back();
        else if (quoted || c != '\r')
            field += c;
    }
    lines.pop_back(); // after the last line's CRLF
    return lines;
}

Bytes from_hex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Every row of the ledger, through korvofw-ledger's export as an operator reads it.
std::vector<Row> export_rows(const std::string& location, Checker& c) {
    ProcessResult p = run_process({KORVOFW_LEDGER_BIN, location, "export"});
    c.check(p.status == 0, "korvofw-ledger export fails: " + p.err);
    std::vector<std::vector<std::string>> lines = parse_csv(p.out);
    std::vector<Row> rows;
    if (lines.empty())
        return rows;
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < lines[0].size(); ++i)
        column[lines[0][i]] = i;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const std::vector<std::string>& f = lines[n];
        auto at = [&](const char* name) { return f.at(column.at(name)); };
        Row r;
        r.station = at("station");
        r.state = at("state");
        r.id_state = at("id_state");
        r.bus = std::stoi(at("bus"));
        r.devnum = std::stoi(at("devnum"));
        r.hard_id = at("hard_id").empty() ? -1 : std::stoi(at("hard_id"));
        r.result = at("result").empty() ? 0 : std::stoi(at("result"));
        r.written = from_hex(at("record_written"));
        rows.push_back(r);
    }
    return rows;
}

struct Figures {
    int devices = 0, kills = 0, restarts = 0, paused = 0, duplicates = 0, uncertain = 0;
    int ok = 0, failed = 0, refused = 0, interrupted = 0, open = 0, unwritten = 0, orphans = 0;
    int refused_starts = 0;
};

class Line {
  public:
    Line(Backend backend, std::string location, std::string pg_dir, std::string dir)
        : backend_(backend), location_(std::move(location)), pg_dir_(std::move(pg_dir)),
          dir_(std::move(dir)) {
        devices_ = env_number("KORVOFW_LINE_DEVICES", DEFAULT_DEVICES);
        kills_ = env_number("KORVOFW_LINE_KILLS", DEFAULT_KILLS);
        restarts_ = backend == POSTGRES ? env_number("KORVOFW_LINE_RESTARTS", DEFAULT_RESTARTS) : 0;
        rng_.seed(static_cast<unsigned>(env_number("KORVOFW_LINE_SEED", DEFAULT_SEED)));
    }

    // Each station's directory, flash file, EEPROM image file, devices and kill points.
    void prepare(const Bytes& id_image) {
        stations_.resize(STATIONS);
        for (int s = 0; s < STATIONS; ++s) {
            Station& st = stations_[s];
            st.name = "S" + std::to_string(s);
            st.dir = dir_ + "/" + st.name;
            std::filesystem::create_directories(st.dir);
            write_bytes(st.dir + "/fw.hex", read_bytes(data_path("avr/blink.hex")));
            write_bytes(st.dir + "/id.bin", id_image);
            for (int i = 0; i < devices_; ++i) {
                Device d;
                d.bus = 1 + i / DEVICES_PER_BUS;
                d.devnum = 1 + i % DEVICES_PER_BUS;
                d.name = std::to_string(d.bus) + "-" + std::to_string(d.devnum);
                if (i % FAULT_EVERY == FAULT_EVERY - 1) {
                    d.fault = FAULTS[rng_() % std::size(FAULTS)];
                    if (d.fault != "noopen")
                        d.fault += "@" + std::to_string(rng_() % PASS_REQUESTS);
                }
                st.devices.push_back(d);
            }
            st.run_of.assign(st.devices.size(), 0);
        }
        // A station takes as many kills as leave it devices for its runs after the kills.
        const int most = std::max(1, devices_ / static_cast<int>(2 * KILL_WINDOW));
        ASSERT_LE(kills_, most * STATIONS) << "too many kills for " << devices_ << " devices";
        for (int k = 0; k < kills_; ++k) {
            std::size_t s = rng_() % STATIONS;
            while (static_cast<int>(stations_[s].kills.size()) >= most)
                s = (s + 1) % STATIONS;
            const KillKind& kind = KILL_KINDS[rng_() % std::size(KILL_KINDS)];
            stations_[s].kills.push_back(std::string(kind.point) + ":" +
                                         std::to_string(rng_() % (kind.per_device * KILL_WINDOW)));
        }
    }

    void run_all() {
        std::vector<std::thread> threads;
        for (Station& st : stations_)
            threads.emplace_back([this, &st] { operate(st); });
        for (std::thread& t : threads)
            t.join();
    }

    void check(const std::vector<Row>& rows, const Bytes& image, const Bytes& id_image, Checker& c,
               Figures& f);

    int kills() const { return kills_; }
    int restarts() const { return restarts_; }
    const std::vector<std::string>& failures() const { return failures_; }

  private:
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> hold(failures_mutex_);
        failures_.push_back(what);
    }

    // The operator: starts the station, and after each kill starts it again with the devices
    // it has not played yet, until all are played.
    void operate(Station& st) {
        std::vector<std::size_t> remaining(st.devices.size());
        for (std::size_t i = 0; i < remaining.size(); ++i)
            remaining[i] = i;
        std::size_t next_kill = 0;
        while (!remaining.empty()) {
            Run run;
            run.name = "run" + std::to_string(st.runs.size());
            run.kill = next_kill < st.kills.size() ? st.kills[next_kill] : "";
            play(st, run, remaining);
            const std::string where = st.name + " " + run.name;
            // Devices are plugged in one after another: those played are the first ones.
            for (std::size_t i : remaining) {
                if (!std::filesystem::exists(st.dir + "/" + run.name + "/" + st.devices[i].name +
                                             ".log"))
                    break;
                run.plugged.push_back(i);
            }
            bool start_refused = run.status == EXIT_NO_LEDGER && run.plugged.empty();
            if (start_refused && ++st.refused_starts < START_TRIES) {
                st.runs.push_back(std::move(run));
                continue;
            }
            for (std::size_t i : run.plugged)
                st.run_of[i] = st.runs.size();
            remaining.erase(remaining.begin(), remaining.begin() + run.plugged.size());
            bool killed = run.killed, played_out = run.played_out;
            if (!killed && !played_out)
                fail(where + " ended with status " + std::to_string(run.status) +
                     (run.timed_out ? " (still running after its time limit)" : "") + ": " +
                     run.err);
            else if (!killed && !run.kill.empty())
                fail(where + " played its devices out before its kill at " + run.kill);
            else if (played_out && !remaining.empty())
                fail(where + " was done with " + std::to_string(remaining.size()) +
                     " devices never plugged in");
            st.runs.push_back(std::move(run));
            if (!killed)
                return;
            ++next_kill;
            killed_one();
        }
    }

    void play(const Station& st, Run& run, const std::vector<std::size_t>& devices) {
        const std::string stem = st.dir + "/" + run.name;
        std::string scenario;
        for (std::size_t i : devices) {
            const Device& d = st.devices[i];
            scenario += "device " + std::to_string(d.bus) + " " + std::to_string(d.devnum) +
                        (d.fault.empty() ? "" : " fault=" + d.fault) + "\nwait\n";
        }
        write_text(stem + ".scenario", scenario);
        std::vector<std::string> extra = {"KORVOFW_SIM=" + stem + ".scenario",
                                          "KORVOFW_SIM_OUT=" + stem,
                                          "KORVOFW_SIM_KILL=" + run.kill};
        if (run.kill.empty())
            extra.pop_back();
        if (backend_ == SQLITE)
            extra.push_back(std::string("LD_PRELOAD=") + KORVOFW_LINE_SQLITE_CLOCK);
        if (KORVOFW_LINE_SANITIZED) // the preloaded library comes before the sanitizers' runtime
            extra.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        std::vector<std::string> argv = {
            KORVOFW_SIM_BIN, "-f",      "fw.hex",    "-e",    "id.bin", "-I", "1",
            "--ledger",      location_, "--station", st.name, "--pool", POOL};
        pid_t pid;
        {
            std::lock_guard<std::mutex> hold(live_mutex_); // not while the server restarts
            pid = spawn(argv, environment_with(extra), st.dir, stem + ".out", stem + ".err");
            if (pid > 0)
                live_.insert(pid);
        }
        if (pid <= 0) {
            run.err = "cannot start " + argv[0];
            return;
        }
        auto deadline = std::chrono::steady_clock::now() + STATION_LIMIT;
        while (!exited(pid)) {
            if (!run.played_out && !run.timed_out && std::filesystem::exists(stem + "/done") &&
                back_to_waiting(text_of(stem + ".out"))) {
                run.played_out = true;
                kill(pid, SIGTERM);
            } else if (!run.timed_out && std::chrono::steady_clock::now() > deadline) {
                run.timed_out = true;
                kill(pid, SIGKILL);
            }
            std::this_thread::sleep_for(POLL);
        }
        {
            std::lock_guard<std::mutex> hold(live_mutex_); // reaped only once out of the list
            live_.erase(pid);
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        run.killed = !run.played_out && !run.timed_out && WIFSIGNALED(wstatus) &&
                     WTERMSIG(wstatus) == SIGKILL;
        run.out = text_of(stem + ".out");
        run.err = text_of(stem + ".err");
        if (run.err.find("cannot be preloaded") != std::string::npos)
            fail(st.name + " " + run.name + " ran without " + KORVOFW_LINE_SQLITE_CLOCK);
    }

    // The server goes down and up again at set numbers of kills, spread over the run.
    void killed_one() {
        bool restart = false;
        {
            std::lock_guard<std::mutex> hold(count_mutex_);
            ++killed_;
            if (restarted_ < restarts_ && killed_ >= (restarted_ + 1) * kills_ / (restarts_ + 1)) {
                ++restarted_;
                restart = true;
            }
        }
        if (restart)
            restart_server();
    }

    // The stations stand still meanwhile: in simulated time they would otherwise play every
    // device they have against a server that is not there, in the second it takes to start.
    // Their sessions die with the server; each finds that out at its next call.
    void restart_server() {
        std::lock_guard<std::mutex> hold(live_mutex_);
        for (pid_t pid : live_)
            kill(pid, SIGSTOP);
        paused_ += static_cast<int>(live_.size());
        const std::string log = pg_dir_ + "/restart";
        if (run_command({"/bin/sh", std::string(KORVOFW_LINE_DIR) + "/pg_restart.sh", pg_dir_}, log,
                        SERVER_LIMIT) != 0)
            fail("the PostgreSQL server did not restart: " + text_of(log + ".err"));
        for (pid_t station : live_)
            kill(station, SIGCONT);
    }

    Backend backend_;
    std::string location_, pg_dir_, dir_;
    int devices_ = 0, kills_ = 0, restarts_ = 0;
    std::mt19937 rng_;
    std::vector<Station> stations_;
    std::mutex live_mutex_, count_mutex_, failures_mutex_;
    std::set<pid_t> live_; // stations running now
    int killed_ = 0, restarted_ = 0, paused_ = 0;
    std::vector<std::string> failures_;
};

void Line::check(const std::vector<Row>& rows, const Bytes& image, const Bytes& id_image,
                 Checker& c, Figures& f) {
    std::map<std::string, std::vector<const Row*>> rows_of; // station/bus-devnum
    std::map<int, int> holding_rows;                        // hard ID -> rows holding it
    for (const Row& r : rows) {
        rows_of[r.station + "/" + std::to_string(r.bus) + "-" + std::to_string(r.devnum)].push_back(
            &r);
        if (r.id_state == "used" || r.id_state == "uncertain" || r.id_state == "reserved")
            ++holding_rows[r.hard_id];
    }
    for (const auto& [id, count] : holding_rows)
        c.check(count == 1, "the ledger holds hard ID 0x" + hex(id) + " for " +
                                std::to_string(count) + " rows");
    std::map<int, std::vector<std::string>> holders; // hard ID -> devices whose EEPROM has it
    std::size_t matched = 0;
    for (const Station& st : stations_) {
        f.refused_starts += st.refused_starts;
        std::map<std::size_t, int> uncertain_of_run, passed_of_run;
        for (std::size_t i = 0; i < st.devices.size(); ++i) {
            const Device& dev = st.devices[i];
            const Run& run = st.runs[st.run_of[i]];
            const std::string where = st.name + " " + run.name + " device " + dev.name +
                                      (dev.fault.empty() ? "" : " (" + dev.fault + ")");
            robustness::Device d = read_device(st.dir + "/" + run.name, dev.name);
            auto at = std::find(run.plugged.begin(), run.plugged.end(), i);
            ++f.devices;
            if (!d.present || at == run.plugged.end()) {
                c.check(false, where + ": never plugged in");
                continue;
            }
            if (!d.record_untouched())
                holders[d.id().hard].push_back(where);
            bool last = at + 1 == run.plugged.end();
            bool in_flight = last && run.killed; // what the kill cut short
            bool rest_refused = std::all_of(at + 1, run.plugged.end(), [&](std::size_t j) {
                return refused(run.err, st.devices[j]);
            });
            // The ledger failed at its outcome and the run ended before it could be written.
            bool unwritten = kept(run.err, dev) && rest_refused;
            bool untouched_refusal = refused(run.err, dev) && d.log.empty();
            bool counted = d.start_sent() && !in_flight;
            passed_of_run[st.run_of[i]] += counted;
            const std::vector<const Row*>& mine = rows_of[st.name + "/" + dev.name];
            matched += mine.size();
            c.check(mine.size() <= 1, where + ": " + std::to_string(mine.size()) + " rows");
            if (mine.empty()) {
                ++f.refused;
                c.check(untouched_refusal, where + ": no row, yet it was not refused untouched");
                continue;
            }
            const Row& r = *mine.front();
            const std::string row =
                where + ", its row " + r.state + "/" + r.id_state + " 0x" + hex(r.hard_id) + ": ";
            Bytes record(d.eeprom.begin(), d.eeprom.begin() + RECORD_SIZE);
            c.check(!counted || r.state == "ok" || unwritten,
                    row + "the station counted the device but wrote no outcome");
            if (r.state == "ok") {
                ++f.ok;
                c.check(r.id_state == "used" && r.result == 0,
                        row + "an ok row with its ID " + r.id_state);
                c.check(flash_holds(d, image) && d.start_sent(),
                        row + "the device is not programmed and started");
                c.check(d.record_write_confirmed() && r.written == record &&
                            record_whole(d, id_image) && d.id().hard == r.hard_id,
                        row + "the device's EEPROM is not the record the row wrote");
            } else if (r.state == "failed") {
                ++f.failed;
                c.check(!d.start_sent(), row + "the device was started");
                if (r.id_state == "released")
                    c.check(d.record_untouched(), row + "its ID was released, yet the record "
                                                        "was written");
                else
                    c.check(r.id_state == "used" && r.result == -5 &&
                                (d.record_untouched() || r.written == record),
                            row + "the device holds another record than the one sent");
            } else {
                // Left in flight: 'interrupted' once its station started again, else 'started'.
                bool restarted = r.state == "interrupted";
                restarted ? ++f.interrupted : ++f.open;
                f.unwritten += unwritten;
                f.orphans += untouched_refusal;
                c.check(r.state == "started" || restarted, row + "an unknown state");
                c.check(r.id_state == (restarted ? "uncertain" : "reserved"),
                        row + "its ID is not " + (restarted ? "uncertain" : "reserved"));
                c.check(d.record_untouched() || d.id().hard == r.hard_id,
                        row + "the device holds another hard ID");
                c.check(in_flight || unwritten || untouched_refusal,
                        row + "left in flight with no kill, kept outcome or refusal as cause");
                if (restarted && (in_flight || unwritten) && run.killed)
                    ++uncertain_of_run[st.run_of[i]];
            }
        }
        // What each run showed as counted is its devices that passed. A kill in a pass leaves
        // its device's hard ID uncertain; one in the bookkeeping after it (the EEPROM image
        // file's write, fsync or rename) none, unless the outcome was kept.
        for (std::size_t n = 0; n < st.runs.size(); ++n) {
            const Run& run = st.runs[n];
            int passed = passed_of_run[n];
            const std::string which = st.name + " " + run.name;
            c.check(std::max(0, shown_count(run.out)) == passed,
                    which + " counted " + std::to_string(shown_count(run.out)) + " devices, " +
                        std::to_string(passed) + " passed");
            if (!run.killed || run.plugged.empty())
                continue;
            ++f.kills;
            bool in_pass = run.kill.rfind("request", 0) == 0 || run.kill.rfind("answered", 0) == 0;
            int wanted = in_pass || kept(run.err, st.devices[run.plugged.back()]) ? 1 : 0;
            c.check(uncertain_of_run[n] == wanted, which + " killed at " + run.kill + ": " +
                                                       std::to_string(uncertain_of_run[n]) +
                                                       " uncertain hard IDs");
        }
    }
    c.check(matched == rows.size(),
            std::to_string(rows.size() - matched) + " rows name no device of the line");
    for (const auto& [id, names] : holders) {
        if (names.size() > 1) {
            ++f.duplicates;
            std::string list;
            for (const std::string& n : names)
                list += "\n  " + n;
            c.check(false, "hard ID 0x" + hex(id) + " is on " + std::to_string(names.size()) +
                               " devices:" + list);
        }
    }
    for (const Row& r : rows)
        f.uncertain += r.id_state == "uncertain";
    f.restarts = restarted_;
    f.paused = paused_;
}

// Bytes that differ from each other: the record on every programmed device must be these,
// its identity bytes aside.
Bytes id_image() {
    Bytes bytes(ID_FILE_SIZE);
    for (std::size_t i = 0; i < ID_FILE_SIZE; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    return bytes;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The PostgreSQL test's own throwaway cluster, removed with the object.
struct Cluster {
    Cluster() : dir("/tmp/korvofw-line-" + std::to_string(getpid())) {
        if (run_command({"/bin/sh", KORVOFW_PG_CLUSTER, "start", dir}, dir + "-start",
                        SERVER_LIMIT) == 0)
            uri = trimmed(text_of(dir + "-start.out"));
        else
            error = text_of(dir + "-start.err");
    }
    ~Cluster() {
        run_command({"/bin/sh", KORVOFW_PG_CLUSTER, "stop", dir}, dir + "-stop", SERVER_LIMIT);
        for (const char* stem : {"-start", "-stop"})
            for (const char* end : {".out", ".err"})
                std::filesystem::remove(dir + stem + end);
    }
    std::string dir, uri, error;
};

class ProductionLine : public ::testing::TestWithParam<Backend> {};

TEST_P(ProductionLine, KillsAndServerRestartsLoseNoDeviceAndRepeatNoHardId) {
    const bool pg = GetParam() == POSTGRES;
    ScratchDir scratch(true);
    std::unique_ptr<Cluster> cluster;
    std::string location = scratch.path("line.db");
    if (pg) {
        cluster = std::make_unique<Cluster>();
        ASSERT_FALSE(cluster->uri.empty())
            << "the PostgreSQL cluster did not start in " << cluster->dir << ": " << cluster->error;
        location = cluster->uri;
    }
    const Bytes image = read_bytes(data_path("avr/blink.bin"));
    Line line(GetParam(), location, pg ? cluster->dir : "", scratch.dir);
    line.prepare(id_image());
    ASSERT_FALSE(HasFatalFailure());
    auto start = std::chrono::steady_clock::now();
    line.run_all();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Checker c;
    c.where = pg ? "postgresql" : "sqlite";
    Figures f;
    std::vector<Row> rows = export_rows(location, c);
    line.check(rows, image, id_image(), c, f);
    for (const std::string& failure : line.failures())
        ADD_FAILURE() << failure;
    for (const std::string& failure : c.failures)
        ADD_FAILURE() << failure;
    EXPECT_EQ(f.kills, line.kills()) << "kills that came as planned";
    EXPECT_EQ(f.restarts, line.restarts()) << "server restarts";
    EXPECT_LE(f.uncertain, f.kills + f.orphans) << "uncertain hard IDs";

    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    std::cout << "line (" << (pg ? "postgresql" : "sqlite") << "): " << STATIONS << " stations, "
              << f.devices << " devices, " << f.kills << " kills, " << f.restarts
              << " server restarts, " << f.duplicates << " duplicates, " << f.uncertain
              << " uncertain hard IDs, " << time << "\n  rows: " << f.ok << " ok, " << f.failed
              << " failed, " << f.interrupted << " interrupted, " << f.open
              << " still started; devices refused by the ledger: " << f.refused
              << "; outcomes kept but never written: " << f.unwritten
              << "; reservations committed unseen: " << f.orphans
              << "; starts refused: " << f.refused_starts << "; stations standing still for the "
              << "restarts: " << f.paused << "; " << c.checks << " checks" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Backends, ProductionLine, ::testing::Values(SQLITE, POSTGRES),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return std::string(info.param == SQLITE ? "sqlite" : "postgresql");
                         });

} // namespace
