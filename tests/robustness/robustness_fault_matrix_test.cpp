// Every fault the bench can inject, at every request of a programming pass and at each step of
// the wait loop, on the first of three devices plugged in one after another (options(1)). Each
// case runs the station on the faulty device alone and on all three. After every run:
//   (a) no hard ID is on two devices, and a record on a device is either untouched or the
//       image file's bytes with the device's identity put in;
//   (b) the count shown is the number of devices whose flash, record and status are right, and
//       a failed pass says so;
//   (c) a device that is not counted was not started: it is left in its bootloader (or left
//       the bus, for the faults that take it away);
//   (d) the image file is the original with the hard ID printed last as next, the soft ID and
//       the RXaddr of the last pass put in (untouched when no pass began), and a station
//       restarted from it hands out no ID that is on a device;
//   (e) the station holds as many descriptors as one that never saw a device;
//   (f) the devices after the faulty one are programmed, with the next unused hard IDs.
// Under the sanitizers each kind hits every second request index only, each kind from a
// different first index; KORVOFW_MATRIX_STRIDE=<n> sets the stride for any build.
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <set>

using namespace robustness;

namespace {

const char* const NAMES[] = {"1-1", "1-2", "1-3"};
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

struct Verdict {
    std::vector<bool> right; // per device, in name order: flash, record and status right
    std::set<int> ids;       // hard IDs on devices
};

// (a) to (e) for one run.
Verdict check_run(Checker& c, const RunRecord& r, int idle_fds) {
    Verdict v;
    c.check(r.played_out, "played out (status " + std::to_string(r.status) + ", signal " +
                              std::to_string(r.signal) + ")");
    c.check(r.fds == idle_fds, std::to_string(r.fds) + " descriptors held, " +
                                   std::to_string(idle_fds) + " when idle from the start");
    for (const auto& [name, d] : r.devices) {
        c.check(d.present, name + " has its files");
        bool whole = !d.record_untouched() && d.record_whole(id_image());
        if (d.present && !d.record_untouched())
            c.check(whole && v.ids.insert(d.id().hard).second,
                    name + " holds a whole record with an ID of its own: " + describe(d.id()));
        v.right.push_back(d.flash_right() && whole && d.record_write_confirmed());
        c.check(v.right.back() == d.start_sent(),
                name + (v.right.back() ? " was not started" : " was started"));
    }
    std::size_t counted = std::count(v.right.begin(), v.right.end(), true);
    std::size_t passes = count_of(r.out, "Loading Flash.");
    c.check(last_waiting_count(r.out) == int(counted) &&
                count_of(r.out, "Starting device.") == counted,
            "the station shows " + std::to_string(last_waiting_count(r.out)) + " devices, " +
                std::to_string(counted) + " are programmed right");
    bool failure_shown = !r.err.empty() || r.out.find("Abort") != std::string::npos;
    c.check(failure_shown == (passes > counted), "failures shown: " + r.err);
    std::vector<int> next = printed_hex(r.out, NEXT_ID);
    Bytes wanted = passes == 0
                       ? id_image()
                       : with_identity(id_image(), {next.empty() ? -1 : next.back(), SOFT_ID,
                                                    FIRST_RXADDR + int(passes) - 1});
    c.check(r.id_file == wanted, "id.bin holds " + describe(identity_of(r.id_file)) + ", not " +
                                     describe(identity_of(wanted)));
    c.check(v.ids.empty() || identity_of(r.id_file).hard > *v.ids.rbegin(),
            "id.bin names hard ID " + hex(identity_of(r.id_file).hard) + ", already given");
    return v;
}

struct CaseReport {
    std::vector<std::string> failures;
    std::size_t checks = 0;
    bool faulty_counted = false;
};

CaseReport run_case(const Case& k, int idle_fds) {
    Checker c;
    c.where = k.name + ", alone";
    check_run(c, Station(id_image()).run("alone", k.faulty, options(1)), idle_fds);
    c.where = k.name + ", with the others";
    RunRecord all = Station(id_image()).run("all", k.faulty + OTHERS, options(1));
    Verdict v = check_run(c, all, idle_fds);
    const Device& faulty = all.devices["1-1"];
    if (k.expected == Outcome::Counted)
        c.check(v.right[0], "the faulty device is programmed");
    if (k.expected == Outcome::Failed || k.expected == Outcome::FailedHoldingRecord)
        c.check(!v.right[0], "the faulty device fails its pass");
    if (k.expected == Outcome::FailedHoldingRecord)
        c.check(faulty.id().hard == 1, "the record reached the faulty device");
    if (k.expected == Outcome::NoPass)
        c.check(faulty.log.empty(), "the faulty device is never spoken to");
    if (!k.message.empty())
        c.check((all.out + all.err).find(k.message) != std::string::npos, "says " + k.message);
    // (f): an ID the faulty device may hold is skipped, the last gets the one printed last.
    std::vector<int> next = printed_hex(all.out, NEXT_ID);
    int before = v.ids.count(faulty.id().hard) ? faulty.id().hard : 0;
    int skipped = all.devices["1-2"].id().hard - before - 1;
    c.check(v.right[1] && v.right[2] && skipped >= 0 && skipped <= (v.right[0] ? 0 : 1),
            "the others are programmed, the first with hard ID " + hex(before + 1 + skipped));
    c.check(next.size() >= 2 && all.devices["1-3"].id().hard == next[next.size() - 2],
            "the last device gets the hard ID printed as next before it");
    return {std::move(c.failures), c.checks, v.right[0]};
}

} // namespace

TEST(FaultMatrix, EveryFaultAtEveryPointKeepsTheStationsPromises) {
    RunRecord idle = Station(id_image()).run("idle", "", options(1));
    RunRecord clean = Station(id_image()).run("clean", "device 1 1\n", options(1));
    const std::size_t pass_requests = clean.devices["1-1"].log.size();
    ASSERT_TRUE(idle.played_out && idle.fds >= 3 && pass_requests > 0) << idle.err;
    const std::string unconfirmed = std::to_string(clean.devices["1-1"].record_write_index() + 1);
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
        {"no answer to the status after the record write",
         "device 1 1 fault=timeout@" + unconfirmed + "\n", Outcome::FailedHoldingRecord,
         "EEPROM write error\n"},
    };
    const std::size_t stride = request_stride("KORVOFW_MATRIX_STRIDE");
    std::size_t offset = 0; // with a stride, each kind starts one index further on
    for (const char* kind : INDEXED_FAULTS)
        for (std::size_t k = offset++ % stride; k < pass_requests; k += stride) {
            std::string fault = std::string(kind) + "@" + std::to_string(k);
            cases.push_back({fault, "device 1 1 fault=" + fault + "\n", Outcome::Any, ""});
        }
    std::vector<CaseReport> reports(cases.size());
    run_in_parallel(cases.size(),
                    [&](std::size_t i) { reports[i] = run_case(cases[i], idle.fds); });

    std::size_t checks = 0;
    std::set<std::string> failing_kinds; // every kind must fail a pass somewhere, or it never hit
    for (std::size_t i = 0; i < cases.size(); ++i) {
        checks += reports[i].checks;
        for (const std::string& failure : reports[i].failures)
            ADD_FAILURE() << failure;
        if (!reports[i].faulty_counted)
            failing_kinds.insert(cases[i].name.substr(0, cases[i].name.find('@')));
    }
    for (const char* kind : INDEXED_FAULTS)
        EXPECT_TRUE(failing_kinds.count(kind)) << kind << " never made a pass fail";
    std::cout << "fault matrix: " << cases.size() << " cases, " << checks << " invariant checks ("
              << pass_requests << " requests a pass, request index stride " << stride << ")"
              << std::endl;
}

// Clean runs of three devices, one row per way of giving the identity: exactly what each
// device and the image file end up holding, what is printed as next and what is said.
TEST(FaultMatrix, CleanRunsKeepExactBooksForEveryWayOfGivingTheIdentity) {
    const Identity untouched; // the device is left erased in its bootloader
    struct Row {
        std::string name;
        std::vector<std::string> options; // after -f fw.hex -e id.bin
        std::size_t image_size;
        Identity devices[3], file;
        std::vector<int> next;
        std::string err;
    };
    const Row rows[] = {
        {"hard, soft ID and RXaddr given",
         {"-I", "1", "-s", "5", "-r", "0x8700"},
         40,
         {{1, 5, 0x8700}, {2, 5, 0x8701}, {3, 5, 0x8702}},
         {4, 5, 0x8702},
         {2, 3, 4},
         ""},
        {"hard and soft ID 0, RXaddr 1, the smallest image kept",
         {"-I", "0", "-s", "0", "-r", "1"},
         32,
         {{0x10, 0x5A, 1}, {0x10, 0x5A, 1}, {0x10, 0x5A, 1}},
         {0x10, 0x5A, 1},
         {},
         ""},
        {"the last hard IDs, no RXaddr",
         {"-I", "1FFE"},
         40,
         {{0x1FFE, 0x5A, 0x1234}, {0x1FFF, 0x5A, 0x1234}, untouched},
         {0, 0x5A, 0x1234},
         {0x1FFF, 0x2000},
         "hard ID invalid : 0x2000 most be less than 0x1FFF\nAll hard IDs are used up; the device "
         "on bus 1, device 3 was not programmed. Stop the station: no hard ID is left to hand "
         "out. id.bin now holds hard ID 0: a station restarted from it would give devices no "
         "hard ID\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes image = id_image(row.image_size);
        std::vector<std::string> args = {"-f", "fw.hex", "-e", "id.bin"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        RunRecord r = Station(image).run("run", std::string("device 1 1\n") + OTHERS, args);
        ASSERT_TRUE(r.played_out) << r.err;
        int programmed = 0;
        for (std::size_t n = 0; n < 3; ++n) {
            const Device& d = r.devices[NAMES[n]];
            bool expected = !(row.devices[n] == untouched);
            programmed += expected;
            EXPECT_EQ(d.eeprom,
                      expected ? eeprom_with(image, row.devices[n]) : Bytes(EEPROM_SIZE, 0xFF))
                << NAMES[n] << " holds " << describe(d.id());
            EXPECT_EQ(d.flash_right() && d.started(), expected) << NAMES[n];
        }
        EXPECT_EQ(last_waiting_count(r.out), programmed);
        EXPECT_EQ(r.id_file, with_identity(image, row.file)) << describe(identity_of(r.id_file));
        EXPECT_EQ(printed_hex(r.out, NEXT_ID), row.next);
        EXPECT_EQ(r.err, row.err);
    }
}
