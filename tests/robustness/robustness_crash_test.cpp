// The station killed (SIGKILL) at every point of a run of three devices: before and after every
// control request of every pass, and at every write, fsync and rename of its EEPROM image file
// (see sim/kill_points.h). After each kill it is restarted as an operator would: the same
// options but -I from the file (bytes 23-24 >> 3), the devices not yet plugged in, then the
// one it was programming (still in its bootloader, its memory as the kill left it), then a new
// one. Checked:
//   - the file is never torn: always its original size, its bytes outside 22-27 unchanged;
//   - the file names a hard ID above every ID already on a device;
//   - no hard ID is ever on two devices, counting what they held at the kill;
//   - in the end every device is programmed and started, and at most one ID was skipped.
// Under the sanitizers each request kill point takes every SANITIZED_STRIDE-th request only
// (see robustness_support.h), the two taking turns; KORVOFW_CRASH_STRIDE=<n> sets the stride for
// any build.
#include "kill_points.h"
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

using namespace robustness;

namespace {

constexpr int FIRST_ID = 0x10;
constexpr std::size_t ID_FILE_SIZE = 40;
constexpr std::size_t IDENTITY_BEGIN = 22; // bytes 22-27 are the station's to change
constexpr std::size_t IDENTITY_END = 28;
constexpr int PATTERN_STEP = 37;
constexpr int PATTERN_START = 11;
constexpr std::size_t WAVE = 16; // kill points tried at once while looking for the last one

const char* const DEVICES[] = {"1-1", "1-2", "1-3"};
const char NEW_DEVICE[] = "3-1";
const char STATION_OUTPUT_NEXT_ID[] = "next unique ID (";

struct PointKind {
    const char* name;
    bool per_request; // counted per control request: the stride applies
};
const PointKind KINDS[] = {
    {"request", true}, {"answered", true}, {"write", false}, {"fsync", false}, {"rename", false},
};

// Bytes that differ from each other, with hard ID 0x10 in bytes 23-24: where a station
// restarted from the untouched file starts.
Bytes id_image() {
    Bytes bytes(ID_FILE_SIZE);
    for (std::size_t i = 0; i < ID_FILE_SIZE; ++i)
        bytes[i] = static_cast<unsigned char>(i * PATTERN_STEP + PATTERN_START);
    bytes[HARD_ID_OFFSET] = static_cast<unsigned char>((FIRST_ID << HARD_ID_SHIFT) >> 8);
    bytes[HARD_ID_OFFSET + 1] = static_cast<unsigned char>(FIRST_ID << HARD_ID_SHIFT);
    return bytes;
}

std::vector<std::string> options(int first_id) {
    return {"-f", "fw.hex", "-e", "id.bin", "-I", hex(first_id), "-r", "0x8700"};
}

std::string scenario_line(const std::string& name, const std::string& extra = "") {
    std::string bus = name.substr(0, name.find('-'));
    std::string devnum = name.substr(name.find('-') + 1);
    return "device " + bus + " " + devnum + extra + "\nwait\n";
}

void check_file(Checker& c, const Bytes& file, const Bytes& original, const std::string& when) {
    c.check(file.size() == original.size(),
            "id.bin " + when + " is " + std::to_string(file.size()) + " bytes");
    bool kept = file.size() == original.size();
    for (std::size_t i = 0; kept && i < file.size(); ++i)
        kept = (i >= IDENTITY_BEGIN && i < IDENTITY_END) || file[i] == original[i];
    c.check(kept, "id.bin " + when + " keeps its bytes outside 22-27");
}

enum class Result { Survived, Failed, NotReached };

struct KillReport {
    Result result = Result::Failed;
    std::vector<std::string> failures;
    std::size_t checks = 0;
};

KillReport kill_and_restart(const PointKind& kind, std::size_t n, const Bytes& image) {
    const std::string point = std::string(kind.name) + ":" + std::to_string(n);
    Checker c;
    c.where = "killed at " + point;
    ScratchDir dir(true);
    const Bytes original = id_image();
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_bytes(dir.path("id.bin"), original);

    std::string scenario;
    for (const char* name : DEVICES)
        scenario += scenario_line(name);
    RunResult killed =
        run_station({dir.dir, "first", scenario, options(FIRST_ID), {"KORVOFW_SIM_KILL=" + point}});
    KillReport report;
    if (killed.played_out) {
        report.result = Result::NotReached;
        return report;
    }
    c.check(killed.signal == SIGKILL, "the station ended by the kill, not status " +
                                          std::to_string(killed.status) + ", signal " +
                                          std::to_string(killed.signal) + ": " + killed.err);

    // What the kill left: the file, and the devices' memory.
    Bytes file = read_file(dir.path("id.bin")).value_or(Bytes());
    check_file(c, file, original, "after the kill");
    int next = hard_id_of(file);
    std::map<int, std::set<std::string>> holders; // hard ID -> devices that ever held it
    std::string restart;
    std::string interrupted;
    std::set<std::string> from_restart = {NEW_DEVICE};
    std::size_t logged = 0;
    for (const char* name : DEVICES) {
        DeviceState d = read_device(dir.path("first"), name);
        logged += d.log.size();
        if (!d.present) { // never plugged in
            restart += scenario_line(name);
            from_restart.insert(name);
            continue;
        }
        if (!d.record_untouched()) {
            holders[d.hard_id()].insert(name);
            c.check(d.hard_id() < next, "device " + std::string(name) + " holds hard ID " +
                                            hex(d.hard_id()) + ", the file names " + hex(next));
        }
        if (!d.started()) { // still in its bootloader: plugged in again after the others
            std::string memory =
                " flash=first/" + std::string(name) + ".flash eeprom=first/" + name + ".eeprom";
            interrupted += scenario_line(name, memory);
            from_restart.insert(name);
        }
    }
    restart += interrupted + scenario_line(NEW_DEVICE);
    // The kill came where it was asked for: before the n-th request, or once it was answered.
    if (kind.per_request)
        c.check(logged == n + (kind.name == std::string("answered") ? 1 : 0),
                std::to_string(logged) + " requests were logged before the kill");

    RunResult again = run_station({dir.dir, "second", restart, options(next), {}});
    c.where += ", restarted with -I " + hex(next);
    c.check(again.played_out, "the restarted station plays its devices out: " + again.err);
    c.check(again.err.empty(), "the restarted station reports no failure: " + again.err);
    Bytes after = read_file(dir.path("id.bin")).value_or(Bytes());
    check_file(c, after, original, "after the restart");
    c.check(hard_id_of(after) == last_printed_hex(again.out, STATION_OUTPUT_NEXT_ID),
            "id.bin names the hard ID the restarted station printed as next");

    // Every device ends programmed and started; no ID on two; at most one skipped.
    std::set<int> final_ids;
    std::vector<std::string> all(std::begin(DEVICES), std::end(DEVICES));
    all.push_back(NEW_DEVICE);
    for (const std::string& name : all) {
        std::string out_dir = dir.path(from_restart.count(name) ? "second" : "first");
        DeviceState d = read_device(out_dir, name);
        bool programmed =
            d.present && d.flash_holds(image) && d.record_whole(original) && d.started();
        c.check(programmed, "device " + name + " ends programmed and started");
        if (d.present && !d.record_untouched()) {
            holders[d.hard_id()].insert(name);
            final_ids.insert(d.hard_id());
        }
    }
    for (const auto& [id, names] : holders)
        c.check(names.size() == 1,
                "hard ID " + hex(id) + " was on " + std::to_string(names.size()) + " devices");
    int highest = final_ids.empty() ? FIRST_ID - 1 : *final_ids.rbegin();
    int skipped = highest - FIRST_ID + 1 - static_cast<int>(final_ids.size());
    c.check(skipped >= 0 && skipped <= 1,
            std::to_string(skipped) + " hard IDs skipped, up to " + hex(highest));

    report.result = c.failures.empty() ? Result::Survived : Result::Failed;
    report.failures = std::move(c.failures);
    report.checks = c.checks;
    return report;
}

std::size_t stride() {
    return request_stride("KORVOFW_CRASH_STRIDE");
}

} // namespace

TEST(CrashSafety, KilledAnywhereTheRestartedStationHandsOutNoIdTwice) {
    const Bytes image = read_bytes(data_path("avr/blink.bin"));

    // How many requests the run makes, from a run that is not killed.
    ScratchDir clean(true);
    write_bytes(clean.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_bytes(clean.path("id.bin"), id_image());
    std::string scenario;
    for (const char* name : DEVICES)
        scenario += scenario_line(name);
    RunResult run = run_station({clean.dir, "run", scenario, options(FIRST_ID), {}});
    ASSERT_TRUE(run.played_out) << run.err;
    std::size_t requests = 0;
    for (const char* name : DEVICES)
        requests += read_device(clean.path("run"), name).log.size();
    ASSERT_GT(requests, 0u);

    std::size_t survived = 0;
    std::size_t checks = 0;
    std::string counts;
    std::size_t offset = 0; // request and answered take turns at the requests, with a stride
    for (const PointKind& kind : KINDS) {
        // Kill points are tried in waves until one is past the end of the run.
        std::size_t step = kind.per_request ? stride() : 1;
        std::size_t start = kind.per_request ? offset++ % step : 0;
        std::size_t reached = 0;
        bool ended = false;
        for (std::size_t first = start; !ended; first += WAVE * step) {
            std::vector<KillReport> reports(WAVE);
            run_in_parallel(WAVE, [&](std::size_t i) {
                reports[i] = kill_and_restart(kind, first + i * step, image);
            });
            for (const KillReport& report : reports) {
                ended |= report.result == Result::NotReached;
                if (report.result == Result::NotReached)
                    continue;
                ++reached;
                survived += report.result == Result::Survived ? 1 : 0;
                checks += report.checks;
                for (const std::string& failure : report.failures)
                    ADD_FAILURE() << failure;
            }
        }
        EXPECT_GT(reached, 0u) << kind.name << " was never reached";
        if (kind.per_request) {
            EXPECT_EQ(reached, (requests - start + step - 1) / step)
                << kind.name << ": a kill point for every request of the run";
        }
        counts +=
            std::string(counts.empty() ? "" : ", ") + kind.name + " " + std::to_string(reached);
    }
    std::cout << "crash safety: " << survived << " kill points survived (" << counts << "; "
              << checks << " checks, request stride " << stride() << ")" << std::endl;
}

TEST(CrashSafety, KillPointsAreNamedAsTheBenchDocumentsThem) {
    auto plan = sim::parse_kill_plan("answered:17");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->point, sim::KillPoint::Answered);
    EXPECT_EQ(plan->n, 17u);
    EXPECT_EQ(sim::parse_kill_plan("rename:0")->point, sim::KillPoint::Rename);
    for (const char* bad :
         {"", "request", "request:", "request:-1", "request:1x", "close:1", ":3", "Request:1"})
        EXPECT_FALSE(sim::parse_kill_plan(bad)) << bad;

    // A kill point that cannot be read ends the run before anything happens.
    ScratchDir dir(true);
    write_bytes(dir.path("id.bin"), id_image());
    RunResult r = run_station({dir.dir,
                               "run",
                               "device 1 1\n",
                               {"-e", "id.bin", "-I", "10"},
                               {"KORVOFW_SIM_KILL=request=5"}});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "korvofw-sim: KORVOFW_SIM_KILL=request=5 is not <point>:<n> with a point "
                     "among request, answered, write, fsync, rename\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_bytes(dir.path("id.bin")), id_image());
}
