// Every bench fault at every request of a pass (every second under sanitizers, or
// KORVOFW_MATRIX_STRIDE=<n>) and at each step of the wait loop, on the first of three devices,
// alone and with the others. After each run: (a) no hard ID on two devices, each record untouched
// or the image with the identity put in; (b) the count shown is the devices programmed right, a
// failure is said, an uncounted one not started; (c) the image file: the original, next hard ID,
// soft ID, last RXaddr; (d) an idle station's descriptors; (e) the next devices get the next IDs.

// The station killed (SIGKILL) at every point of a run of three devices: before and after each
// request (every second under sanitizers, or KORVOFW_CRASH_STRIDE=<n>) and at every write, fsync
// and rename of its image file; then restarted as an operator would (-I from the file, the devices
// not yet done, the interrupted one as the kill left it, a new one). The kill comes where asked,
// never past the run's end; the file is never torn and names a hard ID above all on devices; no
// hard ID is on two devices, even at the kill; at the end all are programmed, at most one skipped.
#include "robustness_support.h"

using namespace robustness;

namespace {

const char OTHERS[] = "wait\ndevice 1 2\nwait\ndevice 1 3\nwait\n";
const char* const INDEXED_FAULTS[] = {"unplug",    "stall",     "timeout", "short",
                                      "statuslen", "badstatus", "stuck"};

// What a case's fault must do to the faulty device, when that is known whatever the index.
enum class Outcome { Any, Counted, Failed, FailedHoldingRecord, NoPass };

struct Case {
    std::string name;
    std::string faulty; // the scenario lines of the first batch
    Outcome expected;
    std::string message; // what the station must say, on stdout or stderr
};

// (a) to (d) for one run; per device in name order, whether it is programmed right.
std::vector<bool> check_run(Checker& c, const RunRecord& r, int idle_fds) {
    std::vector<bool> right;
    std::set<int> ids;
    c.check(r.played_out, "not played out, signal " + std::to_string(r.signal) + ": " + r.err);
    c.check(r.fds == idle_fds, std::to_string(r.fds) + " descriptors held, not as when idle");
    for (const auto& [name, d] : r.devices) {
        bool whole = !d.record_untouched() && d.record_whole(id_image());
        c.check(d.record_untouched() || (whole && ids.insert(d.id().hard).second),
                name + " holds a whole record of its own: " + d.id().text());
        right.push_back(d.flash_right() && whole && d.record_write_confirmed());
        c.check(right.back() == d.start_sent(), name + " started if and only if right");
    }
    std::size_t counted = std::count(right.begin(), right.end(), true);
    std::size_t passes = count_of(r.out, "Loading Flash.");
    std::size_t refused = count_of(r.err, "Cannot open") + count_of(r.err, "Device not found");
    c.check(shown_count(r.out) == int(counted) && count_of(r.out, "Starting device.") == counted,
            "the count shown");
    c.check((!r.err.empty() || has(r.out, "Abort")) == (passes > counted), "failures: " + r.err);
    c.check(passes == refused + std::count_if(r.devices.begin(), r.devices.end(),
                                              [](auto& d) { return !d.second.log.empty(); }),
            "a pass for every bootloader device, none for another");
    std::vector<int> next = printed(r.out, NEXT_ID);
    Identity books{next.empty() ? -1 : next.back(), SOFT_ID, FIRST_RXADDR + int(passes) - 1};
    Bytes wanted = passes == 0 ? id_image() : with_identity(id_image(), books);
    c.check(r.id_file == wanted && (ids.empty() || identity_of(r.id_file).hard > *ids.rbegin()),
            "id.bin is not the image with " + books.text() + " put in");
    return right;
}

// The checker's flag: the faulty device was counted.
Checker run_case(const Case& k, int idle_fds) {
    Checker c;
    c.where = k.name + ", alone";
    check_run(c, Station(id_image()).run("alone", k.faulty, options(1)), idle_fds);
    c.where = k.name + ", with the others";
    RunRecord all = Station(id_image()).run("all", k.faulty + OTHERS, options(1));
    std::vector<bool> right = check_run(c, all, idle_fds);
    const Device& faulty = all.devices["1-1"];
    if (k.expected != Outcome::Any)
        c.check(right[0] == (k.expected == Outcome::Counted) &&
                    (k.expected != Outcome::NoPass || faulty.log.empty()) &&
                    (k.expected != Outcome::FailedHoldingRecord || faulty.id().hard == 1),
                "the faulty device is counted, spoken to and holds hard ID 1 as expected");
    if (!k.message.empty())
        c.check(has(all.out + all.err, k.message), "says " + k.message);
    // (e): an ID the faulty device may hold is skipped, the last gets the one printed last.
    std::vector<int> next = printed(all.out, NEXT_ID);
    int before = faulty.record_untouched() ? 0 : faulty.id().hard;
    int skipped = all.devices["1-2"].id().hard - before - 1;
    c.check(right[1] && right[2] && skipped >= 0 && skipped <= (right[0] ? 0 : 1),
            "the others are programmed, the first with hard ID " + hex(before + 1 + skipped));
    c.check(next.size() >= 2 && all.devices["1-3"].id().hard == next[next.size() - 2], "1-3's ID");
    c.flag = right[0];
    return c;
}

constexpr int FIRST_ID = 1; // as the image file holds it
const Bytes IMAGE = id_image(40, FIRST_ID);
const std::string SCENARIO = "device 1 1\n" + std::string(OTHERS);

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

// A clean run of three devices, -f fw.hex `args`, id.bin of `size` bytes: what each device (a
// default Identity: left erased in its bootloader) and the file hold, what is printed and said.
void check_books(const char* name, std::vector<std::string> args, std::size_t size,
                 const std::vector<Identity>& devices, const Identity& file,
                 const std::vector<int>& next, const std::string& err) {
    SCOPED_TRACE(name);
    const bool kept = std::find(args.begin(), args.end(), "-e") != args.end();
    const Bytes image = id_image(size), record = kept ? image : Bytes(22, 0); // or no version
    args.insert(args.begin(), {"-f", "fw.hex"});
    RunRecord r = Station(image).run("run", SCENARIO, args);
    ASSERT_TRUE(r.played_out) << r.err;
    int programmed = 0, n = 0;
    for (const auto& [device, d] : r.devices) {
        const Identity& id = devices[n++];
        EXPECT_EQ(d.eeprom, id.hard < 0 ? Bytes(1024, 0xFF) : with_identity(record, id, true))
            << device << " holds " << d.id().text();
        EXPECT_EQ(d.flash_right() && d.started(), id.hard >= 0) << device;
        programmed += id.hard >= 0;
    }
    EXPECT_EQ(shown_count(r.out), programmed);
    EXPECT_EQ(r.id_file, kept ? with_identity(image, file) : image);
    EXPECT_EQ(printed(r.out, NEXT_ID), next);
    EXPECT_EQ(r.err, err);
}

} // namespace

TEST(FaultMatrix, EveryFaultAtEveryPointKeepsTheStationsPromises) {
    RunRecord idle = Station(id_image()).run("idle", "", options(1));
    RunRecord clean = Station(id_image()).run("clean", "device 1 1\n", options(1));
    const std::size_t requests = clean.devices["1-1"].requests();
    ASSERT_TRUE(idle.played_out && clean.played_out && idle.fds >= 3) << idle.err << clean.err;
    // A pass ends with the record write, the status request after it and the two to start.
    const std::string unconfirmed = std::to_string(requests - 3);
    std::vector<Case> cases = {
        {"no fault", "device 1 1\n", Outcome::Counted, ""},
        {"noopen", "device 1 1 fault=noopen\n", Outcome::Failed,
         "Cannot open the USB device on bus 1, device 1 (/dev/bus/usb/001/001): no access"},
        {"noerase, flash programmed before", "device 1 1 flash=old.bin fault=noerase\n",
         Outcome::Failed, "Abort"},
        {"noerase, flash erased", "device 1 1 fault=noerase\n", Outcome::Counted, ""},
        {"gone", "device 1 1 fault=gone\n", Outcome::Failed, "Device not found: bus 1, device 1"},
        {"noattr", "device 1 1 fault=noattr\n", Outcome::NoPass, ""},
        {"gone, arriving with another device", "device 1 1 fault=gone\ndevice 2 1\n",
         Outcome::Failed, "Device not found: bus 1, device 1"},
        {"noattr, arriving with another device", "device 1 1 fault=noattr\ndevice 2 1\n",
         Outcome::NoPass, ""},
        {"arriving with devices of other kinds",
         "other 2 1 03eb 2ff0\nother 2 2 1234 2fe4\ndevice 1 1\n", Outcome::Counted, ""},
        {"no answer to the status after the record write",
         "device 1 1 fault=timeout@" + unconfirmed + "\n", Outcome::FailedHoldingRecord,
         "EEPROM write error\n"},
    };
    const std::size_t stride = request_stride("KORVOFW_MATRIX_STRIDE");
    std::size_t offset = 0; // with a stride, each kind starts one index further on
    for (const char* kind : INDEXED_FAULTS)
        for (std::size_t k = offset++ % stride; k < requests; k += stride) {
            std::string fault = std::string(kind) + "@" + std::to_string(k);
            cases.push_back({fault, "device 1 1 fault=" + fault + "\n", Outcome::Any, ""});
        }
    std::vector<Checker> reports(cases.size());
    run_in_parallel(cases.size(),
                    [&](std::size_t i) { reports[i] = run_case(cases[i], idle.fds); });
    std::set<std::string> failing_kinds; // every kind must fail a pass somewhere, or it never hit
    for (std::size_t i = 0; i < cases.size(); ++i)
        if (!reports[i].flag)
            failing_kinds.insert(cases[i].name.substr(0, cases[i].name.find('@')));
    for (const char* kind : INDEXED_FAULTS)
        EXPECT_TRUE(failing_kinds.count(kind)) << kind << " never made a pass fail";
    std::cout << "fault matrix: " << cases.size() << " cases, " << report(reports)
              << " invariant checks (" << requests << " requests a pass, request index stride "
              << stride << ")" << std::endl;
}

TEST(FaultMatrix, CleanRunsKeepExactBooksForEveryWayOfGivingTheIdentity) {
    check_books("hard, soft ID and RXaddr given, the RXaddr counting within its high byte's bits",
                {"-e", "id.bin", "-I", "1", "-s", "5", "-r", "0x8106"}, 40,
                {{1, 5, 0x8106}, {2, 5, 0x8107}, {3, 5, 0x8100}}, {4, 5, 0x8100}, {2, 3, 4}, "");
    check_books("hard and soft ID 0, RXaddr 1, the smallest image kept",
                {"-e", "id.bin", "-I", "0", "-s", "0", "-r", "1"}, 32,
                {{0x10, 0x5A, 1}, {0x10, 0x5A, 1}, {0x10, 0x5A, 1}}, {0x10, 0x5A, 1}, {}, "");
    check_books("the last hard IDs, no RXaddr", {"-e", "id.bin", "-I", "1FFE"}, 32,
                {{0x1FFE, 0x5A, 0x1234}, {0x1FFF, 0x5A, 0x1234}, {}}, {0, 0x5A, 0x1234},
                {0x1FFF, 0x2000},
                "hard ID invalid : 0x2000 most be less than 0x1FFF\nAll hard IDs are used up; the "
                "device on bus 1, device 3 was not programmed. Stop the station: no hard ID is "
                "left to hand out. id.bin now holds hard ID 0: a station restarted from it would "
                "give devices no hard ID\n");
    check_books("no image file", {"-I", "1", "-r", "0x8700"}, 40,
                {{1, 0xFF, 0x8700}, {2, 0xFF, 0x8701}, {3, 0xFF, 0x8702}}, {}, {2, 3, 4}, "");
}

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
