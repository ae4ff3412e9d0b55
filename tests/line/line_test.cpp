// The production line: eight stations of one pool on one ledger (SQLite, then PostgreSQL), each
// playing its own devices with bench faults mixed in, killed with SIGKILL at seeded points
// (KORVOFW_SIM_KILL) and restarted as an operator would (same name, same ledger, the devices not
// played yet), while the PostgreSQL server is stopped at once and started again under them.
// Afterwards, from the devices' memories and the ledger's rows:
//   - no hard ID is on two devices' EEPROMs, and the ledger holds no hard ID for two rows;
//   - every device a station counted has its 'ok' row, whose written record is its EEPROM, and
//     the count a station shows is its devices that passed;
//   - every row agrees with its device's memories, and a device without a row was refused;
//   - every row left in flight has its cause: a kill (at most one per kill), an outcome the
//     station kept when the ledger failed and never got to write, or a reservation the server
//     committed while the station saw the connection fail.
// KORVOFW_LINE_DEVICES, _KILLS, _RESTARTS and _SEED size the line (scripts/line-test.sh runs the
// full one); the figures are printed.
#include "ledger_fixture.h"
#include "robustness_support.h"

#include <mutex>
#include <random>

using namespace robustness;

namespace {

constexpr int STATIONS = 8;
constexpr int DEVICES_PER_BUS = 100;
constexpr int FAULT_EVERY = 7;
constexpr unsigned PASS_REQUESTS = 80; // control requests of a pass that goes through
constexpr unsigned KILL_WINDOW = 5;    // a kill lands within this many devices of its run's start
constexpr int START_TRIES = 20;        // a killed station's PostgreSQL session may outlive it
constexpr auto STATION_LIMIT = std::chrono::seconds(180);
const char POOL[] = "line";
const char* const FAULTS[] = {"stall",     "timeout", "short",  "statuslen",
                              "badstatus", "stuck",   "unplug", "noopen"};
// Besides its requests, a pass that goes through makes one write of the EEPROM image file, two
// fsyncs (the file's and its directory's) and one rename; kills mostly hit the pass.
struct KillKind {
    const char* point;
    unsigned per_device;
};
const KillKind KILL_KINDS[] = {{"request", PASS_REQUESTS}, {"answered", PASS_REQUESTS},
                               {"request", PASS_REQUESTS}, {"answered", PASS_REQUESTS},
                               {"write", 1},               {"fsync", 2},
                               {"rename", 1}};

int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// The line's own throwaway PostgreSQL cluster (the ledger tests' one goes on under them while
// this test stops its server); each step bounded.
int cluster(const std::string& action, const std::string& dir) {
    return std::system(
        ("timeout 120 sh " KORVOFW_PG_CLUSTER " " + action + " " + dir + " >/dev/null").c_str());
}

// Stops this process's children, the stations running now; their ids.
std::set<pid_t> stop_stations() {
    std::set<pid_t> stopped;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, name, state;
        long parent = 0;
        if (stat >> pid >> name >> state >> parent && parent == getpid() &&
            kill(std::stoi(pid), SIGSTOP) == 0)
            stopped.insert(std::stoi(pid));
    }
    return stopped;
}

bool mentions(const std::string& err, const std::string& device, const char* what) {
    const std::string bus = device.substr(0, device.find('-')), devnum = device.substr(bus.size() + 1);
    return has(err, "the device on bus " + bus + ", device " + devnum + what);
}
bool refused(const std::string& err, const std::string& device) {
    return mentions(err, device, " was not programmed");
}
bool kept(const std::string& err, const std::string& device) { // "... is kept and written ..."
    return mentions(err, device, " is kept");
}

struct Run {
    std::string name, kill; // run<n>; KORVOFW_SIM_KILL, empty for none
    RunRecord r;
    std::vector<std::size_t> plugged; // the station's devices it was given, in order
    bool killed = false;
};

struct LineStation {
    std::string name;
    Station bench{id_image()};
    std::vector<std::string> devices, faults; // <bus>-<devnum>; a fault or none
    std::vector<std::string> kills;
    std::vector<Run> runs;
    std::vector<std::size_t> run_of; // per device
    int refused_starts = 0;
};

struct Figures {
    int devices = 0, kills = 0, duplicates = 0, uncertain = 0, ok = 0, failed = 0, refused = 0;
    int interrupted = 0, open = 0, unwritten = 0, orphans = 0, refused_starts = 0;
};

class Line {
  public:
    Line(const std::string& location, const std::string& pg_dir)
        : location_(location), pg_dir_(pg_dir), stations_(STATIONS) {
        devices_ = env_number("KORVOFW_LINE_DEVICES", 40);
        kills_ = env_number("KORVOFW_LINE_KILLS", 10);
        restarts_ = pg_dir.empty() ? 0 : env_number("KORVOFW_LINE_RESTARTS", 1);
        rng_.seed(static_cast<unsigned>(env_number("KORVOFW_LINE_SEED", 12)));
    }

    // Each station's devices, faults and kill points.
    void plan() {
        for (int s = 0; s < STATIONS; ++s) {
            LineStation& st = stations_[s];
            st.name = "S" + std::to_string(s);
            for (int i = 0; i < devices_; ++i) {
                st.devices.push_back(std::to_string(1 + i / DEVICES_PER_BUS) + "-" +
                                     std::to_string(1 + i % DEVICES_PER_BUS));
                std::string fault;
                if (i % FAULT_EVERY == FAULT_EVERY - 1) {
                    fault = FAULTS[rng_() % std::size(FAULTS)];
                    if (fault != "noopen")
                        fault += "@" + std::to_string(rng_() % PASS_REQUESTS);
                }
                st.faults.push_back(fault);
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
        for (LineStation& st : stations_)
            threads.emplace_back([this, &st] { operate(st); });
        for (std::thread& t : threads)
            t.join();
    }

    void check(const std::vector<ledger::AttemptRow>& rows, Checker& c, Figures& f) const;

    int kills_ = 0, restarts_ = 0, restarted_ = 0, paused_ = 0;
    std::vector<std::string> failures_;

  private:
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> hold(mutex_);
        failures_.push_back(what);
    }

    // The operator: starts the station, and after each kill starts it again with the devices
    // it has not played yet, until all are played.
    void operate(LineStation& st) {
        std::vector<std::size_t> remaining(st.devices.size());
        for (std::size_t i = 0; i < remaining.size(); ++i)
            remaining[i] = i;
        std::size_t next_kill = 0;
        while (!remaining.empty()) {
            Run run;
            run.name = "run" + std::to_string(st.runs.size());
            run.kill = next_kill < st.kills.size() ? st.kills[next_kill] : "";
            std::string scenario;
            for (std::size_t i : remaining)
                scenario += "device " + st.devices[i].substr(0, st.devices[i].find('-')) + " " +
                            st.devices[i].substr(st.devices[i].find('-') + 1) +
                            (st.faults[i].empty() ? "" : " fault=" + st.faults[i]) + "\nwait\n";
            std::vector<std::string> env;
            if (!run.kill.empty())
                env.push_back("KORVOFW_SIM_KILL=" + run.kill);
            { std::lock_guard<std::mutex> gate(gate_); } // none starts while the server restarts
            const auto start = std::chrono::steady_clock::now();
            run.r = st.bench.run(run.name, scenario,
                                 {"-f", "fw.hex", "-e", "id.bin", "-I", "1", "--ledger", location_,
                                  "--station", st.name, "--pool", POOL},
                                 env, STATION_LIMIT);
            const bool timed_out = std::chrono::steady_clock::now() - start >= STATION_LIMIT;
            run.killed = !run.r.played_out && !timed_out && run.r.signal == SIGKILL;
            // Devices are plugged in one after another: those played are the first ones.
            for (std::size_t i : remaining) {
                if (!run.r.devices[st.devices[i]].present)
                    break;
                run.plugged.push_back(i);
            }
            const std::string where = st.name + " " + run.name;
            const bool start_refused = !run.killed && !run.r.played_out && run.r.signal == 0 &&
                                       run.plugged.empty() && has(run.r.err, "ledger ");
            if (start_refused && ++st.refused_starts < START_TRIES) {
                st.runs.push_back(std::move(run));
                continue;
            }
            for (std::size_t i : run.plugged)
                st.run_of[i] = st.runs.size();
            remaining.erase(remaining.begin(), remaining.begin() + run.plugged.size());
            if (!run.killed && !run.r.played_out)
                fail(where + (timed_out ? " still ran after its time limit: " : " ended: ") +
                     run.r.err);
            else if (!run.killed && !run.kill.empty())
                fail(where + " played its devices out before its kill at " + run.kill);
            else if (run.r.played_out && !remaining.empty())
                fail(where + " was done with " + std::to_string(remaining.size()) +
                     " devices never plugged in");
            const bool killed = run.killed;
            st.runs.push_back(std::move(run));
            if (!killed)
                return;
            ++next_kill;
            killed_one();
        }
    }

    // The server goes down and up again at set numbers of kills, spread over the run.
    void killed_one() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (restarted_ >= restarts_ || ++killed_ < (restarted_ + 1) * kills_ / (restarts_ + 1))
                return;
            ++restarted_;
        }
        restart_server();
    }

    // The stations stand still meanwhile: in simulated time they would otherwise play every
    // device they have against a server that is not there, in the second it takes to start.
    // Their sessions die with the server; each finds that out at its next call.
    void restart_server() {
        std::lock_guard<std::mutex> gate(gate_);
        std::set<pid_t> stopped = stop_stations();
        if (cluster("down", pg_dir_) != 0)
            fail("the PostgreSQL server did not stop");
        stopped.merge(stop_stations()); // one that started just before the gate closed
        if (cluster("up", pg_dir_) != 0)
            fail("the PostgreSQL server did not start again");
        for (pid_t pid : stopped)
            kill(pid, SIGCONT);
        std::lock_guard<std::mutex> hold(mutex_);
        paused_ += static_cast<int>(stopped.size());
    }

    std::string location_, pg_dir_;
    std::vector<LineStation> stations_;
    int devices_ = 0, killed_ = 0;
    std::mt19937 rng_;
    std::mutex mutex_, gate_;
};

void Line::check(const std::vector<ledger::AttemptRow>& rows, Checker& c, Figures& f) const {
    std::map<std::string, std::vector<const ledger::AttemptRow*>> rows_of; // station/bus-devnum
    std::map<int, int> holding_rows;                                      // hard ID -> rows
    for (const ledger::AttemptRow& r : rows) {
        rows_of[r.station + "/" + std::to_string(r.bus) + "-" + std::to_string(r.devnum)]
            .push_back(&r);
        if (r.id_state == "used" || r.id_state == "uncertain" || r.id_state == "reserved")
            ++holding_rows[r.hard_id];
        f.uncertain += r.id_state == "uncertain";
    }
    for (const auto& [id, count] : holding_rows)
        c.check(count == 1, "the ledger holds hard ID 0x" + hex(id) + " for " +
                                std::to_string(count) + " rows");
    std::map<int, std::vector<std::string>> holders; // hard ID -> devices whose EEPROM has it
    std::size_t matched = 0;
    for (const LineStation& st : stations_) {
        f.refused_starts += st.refused_starts;
        std::map<std::size_t, int> uncertain_of_run, passed_of_run;
        for (std::size_t i = 0; i < st.devices.size(); ++i) {
            const std::string& name = st.devices[i];
            const Run& run = st.runs[st.run_of[i]];
            const std::string where = st.name + " " + run.name + " device " + name +
                                      (st.faults[i].empty() ? "" : " (" + st.faults[i] + ")");
            auto at = std::find(run.plugged.begin(), run.plugged.end(), i);
            ++f.devices;
            if (at == run.plugged.end()) {
                c.check(false, where + ": never plugged in");
                continue;
            }
            const Device& d = run.r.devices.at(name);
            if (!d.record_untouched())
                holders[d.id().hard].push_back(where);
            const bool in_flight = at + 1 == run.plugged.end() && run.killed; // cut short
            const bool rest_refused = std::all_of(at + 1, run.plugged.end(), [&](std::size_t j) {
                return refused(run.r.err, st.devices[j]);
            });
            // The ledger failed at its outcome and the run ended before it could be written.
            const bool unwritten = kept(run.r.err, name) && rest_refused;
            const bool untouched_refusal = refused(run.r.err, name) && d.log.empty();
            const bool counted = d.start_sent() && !in_flight;
            passed_of_run[st.run_of[i]] += counted;
            const std::vector<const ledger::AttemptRow*>& mine = rows_of[st.name + "/" + name];
            matched += mine.size();
            c.check(mine.size() <= 1, where + ": " + std::to_string(mine.size()) + " rows");
            if (mine.empty()) {
                ++f.refused;
                c.check(untouched_refusal, where + ": no row, yet it was not refused untouched");
                continue;
            }
            const ledger::AttemptRow& r = *mine.front();
            const std::string row =
                where + ", its row " + r.state + "/" + r.id_state + " 0x" + hex(r.hard_id) + ": ";
            const Bytes record(d.eeprom.begin(), d.eeprom.begin() + RECORD_SIZE);
            c.check(!counted || r.state == "ok" || unwritten,
                    row + "the station counted the device but wrote no outcome");
            if (r.state == "ok") {
                ++f.ok;
                c.check(r.id_state == "used" && r.result == 0, row + "an ok row, its ID not used");
                c.check(d.flash_right() && d.start_sent(), row + "the device is not programmed");
                // The EEPROM is the image over erased memory with the row's hard ID and an
                // RXaddr put in, and it is the record the row says was written.
                c.check(d.record_write_confirmed() && r.record_written == record &&
                            d.id().hard == r.hard_id &&
                            d.eeprom == with_identity(id_image(), {r.hard_id, -1, d.id().rxaddr},
                                                      true),
                        row + "the device's EEPROM is not the record the row wrote");
            } else if (r.state == "failed") {
                ++f.failed;
                c.check(!d.start_sent(), row + "the device was started");
                if (r.id_state == "released")
                    c.check(d.record_untouched(), row + "its ID was released, yet the record "
                                                        "was written");
                else
                    c.check(r.id_state == "used" && r.result == -5 &&
                                (d.record_untouched() || r.record_written == record),
                            row + "the device holds another record than the one sent");
            } else {
                // Left in flight: 'interrupted' once its station started again, else 'started'.
                const bool restarted = r.state == "interrupted";
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
            const std::string which = st.name + " " + run.name;
            c.check(std::max(0, shown_count(run.r.out)) == passed_of_run[n],
                    which + " counted " + std::to_string(shown_count(run.r.out)) + " devices, " +
                        std::to_string(passed_of_run[n]) + " passed");
            if (!run.killed || run.plugged.empty())
                continue;
            ++f.kills;
            const bool in_pass = run.kill.rfind("request", 0) == 0 || run.kill.rfind("answered", 0) == 0;
            const int wanted = in_pass || kept(run.r.err, st.devices[run.plugged.back()]) ? 1 : 0;
            c.check(uncertain_of_run[n] == wanted, which + " killed at " + run.kill + ": " +
                                                       std::to_string(uncertain_of_run[n]) +
                                                       " uncertain hard IDs");
        }
    }
    c.check(matched == rows.size(),
            std::to_string(rows.size() - matched) + " rows name no device of the line");
    for (const auto& [id, names] : holders) {
        if (names.size() < 2)
            continue;
        ++f.duplicates;
        std::string list;
        for (const std::string& n : names)
            list += "\n  " + n;
        c.check(false, "hard ID 0x" + hex(id) + " is on " + std::to_string(names.size()) +
                           " devices:" + list);
    }
}

} // namespace

using ProductionLine = ::testing::TestWithParam<BackendKind>;

TEST_P(ProductionLine, KillsAndServerRestartsLoseNoDeviceAndRepeatNoHardId) {
    const bool pg = GetParam() == POSTGRES;
    ScratchDir scratch(true);
    struct Cluster {
        std::string dir;
        ~Cluster() {
            if (!dir.empty())
                cluster("stop", dir);
        }
    } pg_cluster;
    std::string location = scratch.path("line.db");
    if (pg) {
        const std::string dir = "/tmp/korvofw-line-" + std::to_string(getpid());
        ASSERT_EQ(cluster("start", dir), 0) << "the PostgreSQL cluster did not start in " << dir;
        pg_cluster.dir = dir;
        location = "postgresql://postgres@/postgres?host=" + dir;
    }
    Line line(location, pg_cluster.dir);
    line.plan();
    ASSERT_FALSE(HasFatalFailure());
    const auto start = std::chrono::steady_clock::now();
    line.run_all();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Checker c;
    c.where = pg ? "postgresql" : "sqlite";
    Figures f;
    line.check(ledger_rows(location), c, f);
    for (const std::string& failure : line.failures_)
        ADD_FAILURE() << failure;
    for (const std::string& failure : c.failures)
        ADD_FAILURE() << failure;
    EXPECT_EQ(f.kills, line.kills_) << "kills that came as planned";
    EXPECT_EQ(line.restarted_, line.restarts_) << "server restarts";
    EXPECT_LE(f.uncertain, f.kills + f.orphans) << "uncertain hard IDs";

    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    std::cout << "line (" << c.where << "): " << STATIONS << " stations, " << f.devices
              << " devices, " << f.kills << " kills, " << line.restarted_ << " server restarts, "
              << f.duplicates << " duplicates, " << f.uncertain << " uncertain hard IDs, " << time
              << "\n  rows: " << f.ok << " ok, " << f.failed << " failed, " << f.interrupted
              << " interrupted, " << f.open << " still started; devices refused by the ledger: "
              << f.refused << "; outcomes kept but never written: " << f.unwritten
              << "; reservations committed unseen: " << f.orphans
              << "; starts refused: " << f.refused_starts << "; stations standing still for the "
              << "restarts: " << line.paused_ << "; " << c.checks << " checks" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Backends, ProductionLine, ::testing::Values(SQLITE, POSTGRES),
                         [](const ::testing::TestParamInfo<BackendKind>& info) {
                             return std::string(info.param == SQLITE ? "sqlite" : "postgresql");
                         });
