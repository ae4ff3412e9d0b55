// The production line: eight stations of one pool on one ledger (SQLite, then PostgreSQL) play
// devices with bench faults, killed at seeded points and restarted, while the PostgreSQL server is
// stopped and started again. Then no hard ID is on two EEPROMs or held by two rows, each counted
// device has its 'ok' row with its EEPROM as the record, each row agrees with its device, each row
// left in flight has a cause. KORVOFW_LINE_DEVICES, _KILLS, _RESTARTS and _SEED size the line.
#include "ledger_fixture.h"
#include "robustness_support.h"

#include <mutex>
#include <random>

using namespace robustness;

namespace {

constexpr int STATIONS = 8, DEVICES_PER_BUS = 100, FAULT_EVERY = 7;
constexpr int START_TRIES = 20;        // a killed station's PostgreSQL session may outlive it
constexpr unsigned PASS_REQUESTS = 80; // control requests of a pass that goes through
constexpr unsigned KILL_WINDOW = 5;    // a kill lands within this many devices of its run's start
constexpr auto STATION_LIMIT = std::chrono::seconds(180);
const char* const FAULTS[] = {"stall",     "timeout", "short",  "statuslen",
                              "badstatus", "stuck",   "unplug", "noopen"};
// Kills mostly hit the pass. Besides its requests, a pass that goes through makes one write of
// the EEPROM image file, two fsyncs (the file's and its directory's) and one rename.
const char* const KILL_POINTS[] = {"request", "answered", "request", "answered",
                                   "write",   "fsync",    "rename"};
const unsigned EVENTS[] = {PASS_REQUESTS, PASS_REQUESTS, PASS_REQUESTS, PASS_REQUESTS, 1, 2, 1};

// The line's own PostgreSQL cluster, which it stops (the ledger tests' one goes on); steps bounded.
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

std::string bus_devnum(std::size_t i, const char* between) {
    return std::to_string(1 + i / DEVICES_PER_BUS) + between +
           std::to_string(1 + i % DEVICES_PER_BUS);
}
// Whether the station's messages say "the device on bus B, device D" and then `what`.
bool says(const std::string& err, std::size_t i, const char* what) {
    return has(err, "the device on bus " + bus_devnum(i, ", device ") + what);
}

struct Run {
    std::string name, kill; // run<n>; KORVOFW_SIM_KILL, empty for none
    std::size_t end = 0;    // it had the station's devices from the last run's end to this
    bool killed = false;
    RunRecord r = {};
};

struct LineStation {
    std::string name;
    Station bench{id_image()};
    std::vector<std::string> faults, kills; // per device (empty: sound); kill points in turn
    std::vector<Run> runs;
    int refused_starts = 0;
};

struct Line {
    std::string location, pg_dir;
    int devices = env_number("KORVOFW_LINE_DEVICES", 40);
    int kills = env_number("KORVOFW_LINE_KILLS", 10), restarts = 0;
    std::vector<LineStation> stations = std::vector<LineStation>(STATIONS);
    int killed = 0, restarted = 0, paused = 0;
    Checker problems; // of the run itself, found by the operators
    std::mutex mutex, gate;
    int kills_seen = 0, duplicates = 0, uncertain = 0, ok = 0, failed = 0, refused = 0;
    int interrupted = 0, open = 0, never_written = 0, orphans = 0, refused_starts = 0;

    // Each station's faults and kill points, and the server restarts.
    void plan() {
        std::mt19937 rng(static_cast<unsigned>(env_number("KORVOFW_LINE_SEED", 12)));
        restarts = pg_dir.empty() ? 0 : env_number("KORVOFW_LINE_RESTARTS", 1);
        for (int s = 0; s < STATIONS; ++s) {
            stations[s].name = "S" + std::to_string(s);
            for (int i = 0; i < devices; ++i) {
                std::string fault =
                    i % FAULT_EVERY == FAULT_EVERY - 1 ? FAULTS[rng() % std::size(FAULTS)] : "";
                if (!fault.empty() && fault != "noopen")
                    fault += "@" + std::to_string(rng() % PASS_REQUESTS);
                stations[s].faults.push_back(fault);
            }
        }
        // A station takes as many kills as leave it devices for its runs after the kills.
        const int most = std::max(1, devices / static_cast<int>(2 * KILL_WINDOW));
        ASSERT_LE(kills, most * STATIONS) << "too many kills for " << devices << " devices";
        for (int k = 0; k < kills; ++k) {
            std::size_t s = rng() % STATIONS, kind = rng() % std::size(KILL_POINTS);
            while (static_cast<int>(stations[s].kills.size()) >= most)
                s = (s + 1) % STATIONS;
            stations[s].kills.push_back(std::string(KILL_POINTS[kind]) + ":" +
                                        std::to_string(rng() % (EVENTS[kind] * KILL_WINDOW)));
        }
    }

    void fail(const std::string& what) {
        std::lock_guard<std::mutex> hold(mutex);
        problems.check(false, what);
    }

    // The operator: starts the station, and after each kill again with the devices not played yet.
    void operate(LineStation& st) {
        for (std::size_t first = 0, next_kill = 0; first < st.faults.size();) {
            Run run{"run" + std::to_string(st.runs.size()),
                    next_kill < st.kills.size() ? st.kills[next_kill] : "", first};
            std::string scenario;
            for (std::size_t i = first; i < st.faults.size(); ++i)
                scenario += "device " + bus_devnum(i, " ") +
                            (st.faults[i].empty() ? "" : " fault=" + st.faults[i]) + "\nwait\n";
            std::vector<std::string> env;
            if (!run.kill.empty())
                env.push_back("KORVOFW_SIM_KILL=" + run.kill);
            { std::lock_guard<std::mutex> wait(gate); } // none starts while the server restarts
            const auto start = std::chrono::steady_clock::now();
            run.r = st.bench.run(run.name, scenario,
                                 {"-f", "fw.hex", "-e", "id.bin", "-I", "1", "--ledger", location,
                                  "--station", st.name, "--pool", "line"},
                                 env, STATION_LIMIT);
            const bool timed_out = std::chrono::steady_clock::now() - start >= STATION_LIMIT;
            run.killed = !run.r.played_out && !timed_out && run.r.signal == SIGKILL;
            // Devices are plugged in one after another: those played are the first ones.
            while (run.end < st.faults.size() && run.r.devices[bus_devnum(run.end, "-")].present)
                ++run.end;
            const bool start_refused = !run.killed && !run.r.played_out && run.r.signal == 0 &&
                                       run.end == first && has(run.r.err, "ledger ");
            first = run.end;
            st.runs.push_back(std::move(run));
            const Run& done = st.runs.back();
            if (start_refused && ++st.refused_starts < START_TRIES)
                continue;
            if (!done.killed && !done.r.played_out)
                fail(st.name + " " + done.name +
                     (timed_out ? " ran past its time limit: " : " ended: ") + done.r.err);
            if (!done.killed)
                return;
            ++next_kill;
            killed_one();
        }
    }

    // The server goes down and up again at kills spread over the run. The stations stand still
    // meanwhile: in simulated time they would play every device against a server that is not
    // there. Their sessions die with the server; each finds that out at its next call.
    void killed_one() {
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (restarted >= restarts || ++killed < (restarted + 1) * kills / (restarts + 1))
                return;
            ++restarted;
        }
        std::lock_guard<std::mutex> closed(gate);
        std::set<pid_t> stopped = stop_stations();
        if (cluster("down", pg_dir) != 0)
            fail("the PostgreSQL server did not stop");
        stopped.merge(stop_stations()); // one that started just before the gate closed
        if (cluster("up", pg_dir) != 0)
            fail("the PostgreSQL server did not start again");
        for (pid_t pid : stopped)
            kill(pid, SIGCONT);
        std::lock_guard<std::mutex> hold(mutex);
        paused += static_cast<int>(stopped.size());
    }

    void check(const std::vector<ledger::AttemptRow>& rows, Checker& c);
};

void Line::check(const std::vector<ledger::AttemptRow>& rows, Checker& c) {
    std::map<std::string, std::vector<const ledger::AttemptRow*>> rows_of; // station/bus-devnum
    std::map<int, int> holding;    // hard ID -> rows that hold it
    std::map<int, std::string> on; // hard ID -> the devices whose EEPROM has it
    for (const ledger::AttemptRow& r : rows) {
        rows_of[r.station + "/" + std::to_string(r.bus) + "-" + std::to_string(r.devnum)].push_back(
            &r);
        holding[r.hard_id] +=
            r.id_state == "used" || r.id_state == "uncertain" || r.id_state == "reserved";
        uncertain += r.id_state == "uncertain";
    }
    for (const auto& [id, count] : holding)
        c.check(count <= 1, "the ledger holds hard ID 0x" + hex(id) + " for several rows");
    std::size_t matched = 0;
    for (const LineStation& st : stations) {
        refused_starts += st.refused_starts;
        std::vector<int> passed(st.runs.size()), uncertain_of(st.runs.size());
        for (std::size_t i = 0, n = 0; i < st.faults.size(); ++i) {
            while (n + 1 < st.runs.size() && i >= st.runs[n].end)
                ++n; // the run that had the device
            const Run& run = st.runs[n];
            const std::string name = bus_devnum(i, "-"),
                              where = st.name + " " + run.name + " " + name + " " + st.faults[i];
            if (i >= run.end) {
                c.check(false, where + ": never plugged in");
                continue;
            }
            const Device& d = run.r.devices.at(name);
            if (!d.record_untouched())
                on[d.id().hard] += "\n  " + where;
            const bool in_flight = i + 1 == run.end && run.killed; // what the kill cut short
            bool rest_refused = true;
            for (std::size_t j = i + 1; j < run.end; ++j)
                rest_refused = rest_refused && says(run.r.err, j, " was not programmed");
            // The ledger failed at its outcome and the run ended before it could be written.
            const bool unwritten = says(run.r.err, i, " is kept") && rest_refused;
            const bool refusal = says(run.r.err, i, " was not programmed") && d.log.empty();
            const bool counted = d.start_sent() && !in_flight;
            passed[n] += counted;
            auto mine = rows_of.find(st.name + "/" + name);
            if (mine == rows_of.end()) {
                ++refused;
                c.check(refusal, where + ": no row, yet it was not refused untouched");
                continue;
            }
            matched += mine->second.size();
            const ledger::AttemptRow& r = *mine->second.front();
            const std::string row =
                where + ", its row " + r.state + "/" + r.id_state + " 0x" + hex(r.hard_id) + ": ";
            const Bytes record(d.eeprom.begin(), d.eeprom.begin() + RECORD_SIZE);
            c.check(mine->second.size() == 1 && (!counted || r.state == "ok" || unwritten),
                    row + "one of several, or counted without its outcome");
            if (r.state == "ok") {
                ++ok;
                // The part the station programs, not erased; its EEPROM: the image over erased
                // memory with the row's hard ID, and the record.
                c.check(r.id_state == "used" && r.result == 0 && r.part == "atxmega32a4u" &&
                            r.erase_ms < 0 && d.flash_right() && d.start_sent() &&
                            d.record_write_confirmed() && r.record_written == record &&
                            d.eeprom ==
                                with_identity(id_image(), {r.hard_id, -1, d.id().rxaddr}, true),
                        row + "the device is not what the row says");
            } else if (r.state == "failed") {
                ++failed;
                c.check(!d.start_sent() &&
                            (r.id_state == "released"
                                 ? d.record_untouched()
                                 : r.id_state == "used" && r.result == -5 &&
                                       (d.record_untouched() || r.record_written == record)),
                        row + "the device is not what the row says");
            } else { // left in flight: 'interrupted' once its station started again
                const bool restarted = r.state == "interrupted";
                restarted ? ++interrupted : ++open;
                never_written += unwritten;
                orphans += refusal;
                c.check((restarted ? r.id_state == "uncertain"
                                   : r.state == "started" && r.id_state == "reserved") &&
                            (d.record_untouched() || d.id().hard == r.hard_id),
                        row + "its states, or the device holds another hard ID");
                c.check(in_flight || unwritten || refusal,
                        row + "left in flight with no kill, kept outcome or refusal as cause");
                uncertain_of[n] += restarted && (in_flight || unwritten) && run.killed;
            }
        }
        // A run shows as counted its devices that passed. A kill in a pass leaves its device's
        // hard ID uncertain; one in the EEPROM image file's rewrite none, unless it was kept.
        for (std::size_t n = 0; n < st.runs.size(); ++n) {
            const Run& run = st.runs[n];
            const std::string which = st.name + " " + run.name + " ";
            c.check(std::max(0, shown_count(run.r.out)) == passed[n],
                    which + "counted " + std::to_string(shown_count(run.r.out)) + ", " +
                        std::to_string(passed[n]) + " passed");
            if (!run.killed || run.end == (n ? st.runs[n - 1].end : 0))
                continue;
            ++kills_seen;
            const bool in_pass = has(run.kill, "request") || has(run.kill, "answered");
            c.check(uncertain_of[n] == (in_pass || says(run.r.err, run.end - 1, " is kept")),
                    which + "killed at " + run.kill + ": " + std::to_string(uncertain_of[n]) +
                        " uncertain hard IDs");
        }
    }
    c.check(matched == rows.size(), "rows that name no device of the line");
    for (const auto& [id, names] : on) {
        duplicates += std::count(names.begin(), names.end(), '\n') > 1;
        c.check(std::count(names.begin(), names.end(), '\n') == 1,
                "hard ID 0x" + hex(id) + " is on several devices:" + names);
    }
}

} // namespace

using ProductionLine = ::testing::TestWithParam<BackendKind>;

TEST_P(ProductionLine, KillsAndServerRestartsLoseNoDeviceAndRepeatNoHardId) {
    ScratchDir scratch(true);
    Line line;
    line.location = scratch.path("line.db");
    if (GetParam() == POSTGRES)
        line.pg_dir = "/tmp/korvofw-line-" + std::to_string(getpid());
    line.plan();
    ASSERT_FALSE(HasFatalFailure());
    if (!line.pg_dir.empty()) {
        ASSERT_EQ(cluster("start", line.pg_dir), 0) << "no PostgreSQL cluster in " << line.pg_dir;
        line.location = "postgresql://postgres@/postgres?host=" + line.pg_dir;
    }
    init_ledger(line.location);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> operators;
    for (LineStation& st : line.stations)
        operators.emplace_back([&line, &st] { line.operate(st); });
    for (std::thread& t : operators)
        t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    Checker c;
    c.where = line.problems.where = BACKEND_NAMES[GetParam()];
    line.check(ledger_rows(line.location), c);
    if (!line.pg_dir.empty())
        cluster("stop", line.pg_dir);
    report({line.problems, c});
    EXPECT_EQ(line.kills_seen, line.kills) << "kills that came as planned";
    EXPECT_EQ(line.restarted, line.restarts) << "server restarts";
    EXPECT_LE(line.uncertain, line.kills_seen + line.orphans) << "uncertain hard IDs";
    std::printf("line (%s): %d stations, %d devices, %d kills, %d server restarts, %d duplicates, "
                "%d uncertain hard IDs, %.1f s\n  rows: %d ok, %d failed, %d interrupted, %d "
                "started; refused by the ledger %d; kept, never written %d; committed unseen "
                "%d; starts refused %d; stations paused %d; %zu checks\n",
                c.where.c_str(), STATIONS, STATIONS * line.devices, line.kills_seen, line.restarted,
                line.duplicates, line.uncertain, took.count(), line.ok, line.failed,
                line.interrupted, line.open, line.refused, line.never_written, line.orphans,
                line.refused_starts, line.paused, c.checks);
}

LEDGER_ON_BOTH_BACK_ENDS(ProductionLine);
