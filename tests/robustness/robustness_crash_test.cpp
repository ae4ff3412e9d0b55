// The station killed (SIGKILL) at every point of a run of three devices: before and after every
// control request of every pass, and at every write, fsync and rename of its EEPROM image file
// (see sim/kill_points.h). After each kill it is restarted as an operator would: the same
// options but -I from the file, the devices not yet plugged in, then the one it was programming
// (still in its bootloader, its memory as the kill left it), then a new one. Checked:
//   - the kill came where it was asked for, and a point past the run's last is never reached:
//     the file is replaced twice a device (the reservation before the pass, the bookkeeping
//     after it), each time written once, synced, renamed and its directory synced;
//   - the file is never torn: always its original size, its bytes outside 22-27 unchanged;
//   - the file names a hard ID above every ID already on a device;
//   - no hard ID is ever on two devices, counting what they held at the kill;
//   - in the end every device is programmed and started, and at most one ID was skipped.
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

constexpr int FIRST_ID = 0x10; // as the image file holds it
const char SCENARIO[] = "device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\n";

struct Point {
    std::string kind;
    std::size_t n, total; // kill at the n-th of the run's `total` points of its kind
};

std::string plug(const std::string& name, const std::string& memory = "") {
    return "device " + name.substr(0, 1) + " " + name.substr(2) + memory + "\nwait\n";
}

void check_file(Checker& c, const Bytes& file, const std::string& when) {
    bool kept = file.size() == id_image().size();
    for (std::size_t i = 0; kept && i < file.size(); ++i)
        kept = (i >= 22 && i < 28) || file[i] == id_image()[i];
    c.check(kept, "id.bin " + when + " is " + std::to_string(file.size()) +
                      " bytes, its bytes outside 22-27 as they were");
}

Checker kill_and_restart(const Point& p) {
    Checker c;
    c.where = "killed at " + p.kind + ":" + std::to_string(p.n);
    Station station(id_image());
    RunRecord killed = station.run("first", SCENARIO, options(FIRST_ID),
                                   {"KORVOFW_SIM_KILL=" + c.where.substr(10)});
    c.check(killed.played_out == (p.n >= p.total),
            p.n < p.total ? "the kill point is never reached" : "a kill point past the run's end");
    if (killed.played_out)
        return c;
    c.check(killed.signal == SIGKILL, "the station ended by the kill: " + killed.err);

    // What the kill left: the file, and the devices' memory.
    check_file(c, killed.id_file, "after the kill");
    const int next = identity_of(killed.id_file).hard;
    std::map<int, std::set<std::string>> holders; // hard ID -> devices that ever held it
    std::string restart, interrupted;
    std::size_t logged = 0;
    for (const auto& [name, d] : killed.devices) {
        logged += d.requests();
        if (!d.present) // never plugged in
            restart += plug(name);
        else if (!d.started()) // still in its bootloader: plugged in again after the others
            interrupted +=
                plug(name, " flash=first/" + name + ".flash eeprom=first/" + name + ".eeprom");
        if (d.present && !d.record_untouched()) {
            holders[d.id().hard].insert(name);
            c.check(d.id().hard < next,
                    name + " holds hard ID " + hex(d.id().hard) + ", the file names " + hex(next));
        }
    }
    if (p.kind == "request" || p.kind == "answered")
        c.check(logged == p.n + (p.kind == "answered"),
                std::to_string(logged) + " requests logged");

    RunRecord again = station.run("second", restart + interrupted + plug("3-1"), options(next));
    c.where += ", restarted with -I " + hex(next);
    c.check(again.played_out && again.err.empty(), "the restart plays out: " + again.err);
    check_file(c, again.id_file, "after the restart");
    const std::vector<int> printed_next = printed(again.out, NEXT_ID);
    c.check(!printed_next.empty() && identity_of(again.id_file).hard == printed_next.back(),
            "id.bin names the hard ID the restarted station printed as next");

    // Every device ends programmed and started; no ID on two; at most one skipped.
    std::set<int> final_ids;
    auto last = killed.devices;
    for (const auto& [name, d] : again.devices)
        last[name] = d;
    for (const auto& [name, d] : last) {
        c.check(d.flash_right() && d.record_whole(id_image()) && d.started(),
                name + " ends programmed and started");
        if (d.present && !d.record_untouched())
            holders[d.id().hard].insert(name), final_ids.insert(d.id().hard);
    }
    for (const auto& [id, names] : holders)
        c.check(names.size() == 1, "hard ID " + hex(id) + " on " + std::to_string(names.size()));
    int skipped =
        (final_ids.empty() ? 0 : *final_ids.rbegin() - FIRST_ID + 1) - int(final_ids.size());
    c.check(skipped >= 0 && skipped <= 1, std::to_string(skipped) + " hard IDs skipped");
    return c;
}

} // namespace

TEST(CrashSafety, KilledAnywhereTheRestartedStationHandsOutNoIdTwice) {
    // How many requests the run makes, from a run that is not killed.
    RunRecord clean = Station(id_image()).run("run", SCENARIO, options(FIRST_ID));
    std::size_t requests = 0;
    for (const auto& entry : clean.devices)
        requests += entry.second.requests();
    ASSERT_TRUE(clean.played_out && requests > 0) << clean.err;

    const std::size_t stride = request_stride("KORVOFW_CRASH_STRIDE");
    const std::map<std::string, std::size_t> totals = {
        {"request", requests}, {"answered", requests}, {"write", 6}, {"fsync", 12}, {"rename", 6}};
    std::vector<Point> points;
    std::size_t offset = 0; // request and answered take turns at the requests, with a stride
    for (const auto& [kind, total] : totals) {
        std::size_t step = total == requests ? stride : 1;
        for (std::size_t n = step == 1 ? 0 : offset++ % step; n < total; n += step)
            points.push_back({kind, n, total});
        points.push_back({kind, total, total});
    }
    std::vector<Checker> reports(points.size());
    run_in_parallel(points.size(),
                    [&](std::size_t i) { reports[i] = kill_and_restart(points[i]); });
    std::size_t checks = 0;
    for (const Checker& report : reports) {
        checks += report.checks;
        for (const std::string& failure : report.failures)
            ADD_FAILURE() << failure;
    }
    std::cout << "crash safety: " << points.size() - totals.size()
              << " kill points (request and answered " << requests
              << " each, write 6, fsync 12, rename 6; " << checks << " checks, request stride "
              << stride << ")" << std::endl;
}
