// The station killed (SIGKILL) at every point of a run of three devices: before and after every
// control request of every pass, and at every write, fsync and rename of its EEPROM image file
// (see sim/kill_points.h). After each kill it is restarted as an operator would: the same
// options but -I from the file, the devices not yet plugged in, then the one it was programming
// (still in its bootloader, its memory as the kill left it), then a new one. Checked:
//   - the file is never torn: always its original size, its bytes outside 22-27 unchanged;
//   - the file names a hard ID above every ID already on a device;
//   - no hard ID is ever on two devices, counting what they held at the kill;
//   - in the end every device is programmed and started, and at most one ID was skipped;
//   - the file is replaced twice a device (the reservation before the pass, the bookkeeping
//     after it), each time written once, synced, renamed and its directory synced.
// Under the sanitizers each request kill point takes every second request only, the two taking
// turns; KORVOFW_CRASH_STRIDE=<n> sets the stride for any build.
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <iostream>
#include <map>
#include <set>

using namespace robustness;

namespace {

constexpr int FIRST_ID = 0x10;   // as the image file holds it
constexpr std::size_t WAVE = 16; // kill points tried at once while looking for the last one
const char* const DEVICES[] = {"1-1", "1-2", "1-3"};
const char NEW_DEVICE[] = "3-1";

struct PointKind {
    const char* name;
    bool per_request;     // counted per control request: the stride applies
    std::size_t expected; // points in a run of three devices, for the file's kinds
};
const PointKind KINDS[] = {{"request", true, 0},
                           {"answered", true, 0},
                           {"write", false, 6},
                           {"fsync", false, 12},
                           {"rename", false, 6}};

std::string scenario_line(const std::string& name, const std::string& extra = "") {
    return "device " + name.substr(0, 1) + " " + name.substr(2) + extra + "\nwait\n";
}

void check_file(Checker& c, const Bytes& file, const std::string& when) {
    const Bytes original = id_image();
    bool kept = file.size() == original.size();
    for (std::size_t i = 0; kept && i < file.size(); ++i)
        kept = (i >= CLEARED && i < IDENTITY_END) || file[i] == original[i];
    c.check(kept, "id.bin " + when + " is " + std::to_string(file.size()) +
                      " bytes, its bytes outside 22-27 as they were");
}

enum class Result { Survived, Failed, NotReached };

struct KillReport {
    Result result = Result::Failed;
    std::vector<std::string> failures;
    std::size_t checks = 0;
};

KillReport kill_and_restart(const PointKind& kind, std::size_t n) {
    const std::string point = std::string(kind.name) + ":" + std::to_string(n);
    Checker c;
    c.where = "killed at " + point;
    Station station(id_image());
    std::string scenario;
    for (const char* name : DEVICES)
        scenario += scenario_line(name);
    RunRecord killed =
        station.run("first", scenario, options(FIRST_ID), {"KORVOFW_SIM_KILL=" + point});
    if (killed.played_out)
        return {Result::NotReached, {}, 0};
    c.check(killed.signal == SIGKILL, "the station ended by the kill, not status " +
                                          std::to_string(killed.status) + ", signal " +
                                          std::to_string(killed.signal) + ": " + killed.err);

    // What the kill left: the file, and the devices' memory.
    check_file(c, killed.id_file, "after the kill");
    const int next = identity_of(killed.id_file).hard;
    std::map<int, std::set<std::string>> holders; // hard ID -> devices that ever held it
    std::string restart, interrupted;
    std::size_t logged = 0;
    for (const auto& [name, d] : killed.devices) {
        logged += d.log.size();
        if (!d.present) { // never plugged in
            restart += scenario_line(name);
            continue;
        }
        if (!d.record_untouched()) {
            holders[d.id().hard].insert(name);
            c.check(d.id().hard < next,
                    name + " holds hard ID " + hex(d.id().hard) + ", the file names " + hex(next));
        }
        if (!d.started()) // still in its bootloader: plugged in again after the others
            interrupted += scenario_line(name, " flash=first/" + name + ".flash eeprom=first/" +
                                                   name + ".eeprom");
    }
    restart += interrupted + scenario_line(NEW_DEVICE);
    // The kill came where it was asked for: before the n-th request, or once it was answered.
    if (kind.per_request)
        c.check(logged == n + (kind.name == std::string("answered") ? 1 : 0),
                std::to_string(logged) + " requests were logged before the kill");

    RunRecord again = station.run("second", restart, options(next));
    c.where += ", restarted with -I " + hex(next);
    c.check(again.played_out && again.err.empty(),
            "the restarted station plays its devices out: " + again.err);
    check_file(c, again.id_file, "after the restart");
    const std::vector<int> printed = printed_hex(again.out, NEXT_ID);
    c.check(!printed.empty() && identity_of(again.id_file).hard == printed.back(),
            "id.bin names the hard ID the restarted station printed as next");

    // Every device ends programmed and started; no ID on two; at most one skipped.
    std::set<int> final_ids;
    auto last = killed.devices;
    for (const auto& [name, d] : again.devices)
        last[name] = d;
    for (const auto& [name, d] : last) {
        c.check(d.flash_right() && d.record_whole(id_image(), SOFT_ID) && d.started(),
                name + " ends programmed and started");
        if (d.present && !d.record_untouched()) {
            holders[d.id().hard].insert(name);
            final_ids.insert(d.id().hard);
        }
    }
    for (const auto& [id, names] : holders)
        c.check(names.size() == 1,
                "hard ID " + hex(id) + " was on " + std::to_string(names.size()) + " devices");
    int highest = final_ids.empty() ? FIRST_ID - 1 : *final_ids.rbegin();
    int skipped = highest - FIRST_ID + 1 - static_cast<int>(final_ids.size());
    c.check(skipped >= 0 && skipped <= 1,
            std::to_string(skipped) + " hard IDs skipped, up to " + hex(highest));
    return {c.failures.empty() ? Result::Survived : Result::Failed, std::move(c.failures),
            c.checks};
}

} // namespace

TEST(CrashSafety, KilledAnywhereTheRestartedStationHandsOutNoIdTwice) {
    // How many requests the run makes, from a run that is not killed.
    std::string scenario;
    for (const char* name : DEVICES)
        scenario += scenario_line(name);
    RunRecord run = Station(id_image()).run("run", scenario, options(FIRST_ID));
    ASSERT_TRUE(run.played_out) << run.err;
    std::size_t requests = 0;
    for (const auto& entry : run.devices)
        requests += entry.second.log.size();
    ASSERT_GT(requests, 0u);

    const std::size_t stride = request_stride("KORVOFW_CRASH_STRIDE");
    std::size_t survived = 0, checks = 0, offset = 0;
    std::string counts;
    for (const PointKind& kind : KINDS) {
        // Kill points are tried in waves until one is past the end of the run.
        std::size_t step = kind.per_request ? stride : 1;
        std::size_t start = kind.per_request ? offset++ % step : 0;
        std::size_t reached = 0;
        for (std::size_t first = start, ended = 0; !ended; first += WAVE * step) {
            std::vector<KillReport> reports(WAVE);
            run_in_parallel(WAVE, [&](std::size_t i) {
                reports[i] = kill_and_restart(kind, first + i * step);
            });
            for (const KillReport& report : reports) {
                ended |= report.result == Result::NotReached;
                reached += report.result != Result::NotReached;
                survived += report.result == Result::Survived;
                checks += report.checks;
                for (const std::string& failure : report.failures)
                    ADD_FAILURE() << failure;
            }
        }
        EXPECT_EQ(reached, kind.per_request ? (requests - start + step - 1) / step : kind.expected)
            << kind.name << ": kill points in the run";
        counts +=
            std::string(counts.empty() ? "" : ", ") + kind.name + " " + std::to_string(reached);
    }
    std::cout << "crash safety: " << survived << " kill points survived (" << counts << "; "
              << checks << " checks, request stride " << stride << ")" << std::endl;
}
