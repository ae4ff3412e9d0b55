// The station killed (SIGKILL) at every point of a run of three devices: before and after every
// control request (every second one under the sanitizers, or KORVOFW_CRASH_STRIDE=<n>) and at
// every write, fsync and rename of its EEPROM image file; then restarted as an operator would
// (-I from the file, the devices not yet programmed, the interrupted one as the kill left it, a
// new one). The kill comes where asked and never past the run's last point; the file is never
// torn and names a hard ID above all on devices; no hard ID is on two devices, counting what
// they held at the kill; in the end every device is programmed and at most one ID skipped.
#include "robustness_support.h"

using namespace robustness;

namespace {

constexpr int FIRST_ID = 1; // as the image file holds it
const Bytes IMAGE = id_image(40, FIRST_ID);
const char SCENARIO[] = "device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\n";

struct Point {
    std::string kind;
    std::size_t n, total; // kill at the n-th of the run's `total` points of its kind
};

std::string plug(const std::string& name, const std::string& memory = "") {
    return "device " + name.substr(0, 1) + " " + name.substr(2) + memory + "\nwait\n";
}

void check_file(Checker& c, const Bytes& file, const std::string& when) { // bytes 22-27 aside
    c.check(file.size() == 40 && with_identity(file, {}) == with_identity(IMAGE, identity_of(file)),
            "id.bin torn " + when);
}

Checker kill_and_restart(const Point& p) {
    const std::string point = p.kind + ":" + std::to_string(p.n);
    Checker c;
    c.where = "killed at " + point;
    Station station(IMAGE);
    RunRecord killed =
        station.run("first", SCENARIO, options(FIRST_ID), {"KORVOFW_SIM_KILL=" + point});
    c.check(killed.played_out == (p.n >= p.total), "reached only within the run");
    if (killed.played_out)
        return c;
    c.check(killed.signal == SIGKILL, "ended by the kill: " + killed.err);

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
                    name + " holds " + hex(d.id().hard) + " not below the file's");
        }
    }
    if (p.kind == "request" || p.kind == "answered")
        c.check(logged == p.n + (p.kind == "answered"), std::to_string(logged) + " logged");

    RunRecord again = station.run("second", restart + interrupted + plug("3-1"), options(next));
    c.where += ", restarted with -I " + hex(next);
    c.check(again.played_out && again.err.empty(), "the restart plays out: " + again.err);
    check_file(c, again.id_file, "after the restart");
    const std::vector<int> shown = printed(again.out, NEXT_ID);
    c.check(!shown.empty() && identity_of(again.id_file).hard == shown.back(), "next ID in id.bin");

    // Every device ends programmed and started; no ID on two; at most one skipped.
    std::set<int> final_ids;
    std::map<std::string, Device> last = again.devices; // then those not plugged in again
    last.insert(killed.devices.begin(), killed.devices.end());
    for (const auto& [name, d] : last) {
        c.check(d.flash_right() && d.record_whole(IMAGE) && d.started(), name + " programmed");
        if (d.present && !d.record_untouched()) {
            holders[d.id().hard].insert(name);
            final_ids.insert(d.id().hard);
        }
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
    RunRecord clean = Station(IMAGE).run("run", SCENARIO, options(FIRST_ID));
    const std::size_t requests = 3 * clean.devices["1-1"].requests(); // three alike passes
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
    std::cout << "crash safety: " << points.size() - totals.size()
              << " kill points (request and answered " << requests
              << " each, write 6, fsync 12, rename 6; " << report(reports)
              << " checks, request stride " << stride << ")" << std::endl;
}
