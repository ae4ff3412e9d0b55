// Every fault the bench can inject, at every request of a programming pass and at each step of
// the wait loop, on the middle one of three devices plugged in one after another
// (-f fw.hex -e id.bin -I 10 -r 0x8700). Each case runs the station three times: up to the
// faulty device, over all three devices, and once more restarted from the EEPROM image file
// with one more device. What an operator relies on is checked after every run:
//   (a) no hard ID is on two devices, not even across the restart, and a record on a device is
//       either untouched or whole;
//   (b) the count shown is the number of devices whose flash, record and status are right, and
//       a failed pass says so;
//   (c) a device that is not counted was not started: it is left in its bootloader (or left
//       the bus, for the faults that take it away);
//   (d) the EEPROM image file holds what the station printed last: the next hard ID and the
//       RXaddr last set, all its other bytes unchanged;
//   (e) the device after the faulty one is programmed normally, with the next unused hard ID.
//
// The cases run on several threads at once. Under the sanitizers each kind of fault hits
// every SANITIZED_STRIDE-th request index only (see robustness_support.h), each kind from a
// different first index; KORVOFW_MATRIX_STRIDE=<n> sets the stride for any build.
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>

using namespace robustness;

namespace {

constexpr int FIRST_ID = 0x10;
constexpr int FIRST_RXADDR = 0x8700;
constexpr std::size_t ID_FILE_SIZE = 40;
constexpr std::size_t CLEARED_OFFSET = 22;
constexpr std::size_t IDENTITY_END = 28; // bytes 22-27 are the station's to change

const char FIRST_DEVICE[] = "device 1 1\nwait\n";
const char LAST_DEVICE[] = "device 1 3\nwait\n";
const char RESTART_DEVICE[] = "device 3 1\n";
const char MIDDLE[] = "1-2";
const char LAST[] = "1-3";
const char NEXT_ID_LABEL[] = "next unique ID (";
const char RXADDR_LABEL[] = " -> Setting RXaddr to: 0x";
const char PASS_BEGINS[] = "Loading Flash.";
const char PASS_STARTS_DEVICE[] = "Starting device.";
const char VERIFY_FAILED[] = "Abort";
const char RECORD_WRITE_COMMAND[] = "01000000004f"; // program EEPROM 0x00-0x4F

// Faults that hit one request of the pass, "kind@k".
const char* const INDEXED_FAULTS[] = {"unplug",    "stall",     "timeout", "short",
                                      "statuslen", "badstatus", "stuck"};

// What a case's fault must do to the middle device, when that is known whatever the index.
enum class Outcome { Any, Counted, Failed, NoPass };

struct Case {
    std::string name;
    std::string middle; // the scenario lines of the middle batch
    Outcome expected = Outcome::Any;
    std::string message; // a failure the station must report, on stdout or stderr
};

std::vector<std::string> station_options(int first_id) {
    return {"-f", "fw.hex", "-e", "id.bin", "-I", hex(first_id), "-r", "0x8700"};
}

// The RXaddr the station gave its last pass: the one printed, or for a pass that ended before
// printing it, the one after the previous pass's (every pass uses one up).
int last_pass_rxaddr(const std::string& out) {
    int rxaddr = FIRST_RXADDR - 1;
    for (size_t at = out.find(PASS_BEGINS); at != std::string::npos;) {
        size_t next = out.find(PASS_BEGINS, at + 1);
        int printed = last_printed_hex(out.substr(at, next - at), RXADDR_LABEL);
        rxaddr = printed >= 0 ? printed : rxaddr + 1;
        at = next;
    }
    return rxaddr;
}

// One run of the station, read back.
struct RunRecord {
    RunResult result;
    std::vector<std::string> names;
    std::vector<DeviceState> devices;
    Bytes id_file;

    const DeviceState& device(const std::string& name) const {
        return devices[std::find(names.begin(), names.end(), name) - names.begin()];
    }
};

// A station directory of its own: the firmware, a zeroed EEPROM image file, the old firmware
// for devices whose flash starts programmed.
std::string make_station_dir(const std::string& dir) {
    std::filesystem::create_directories(dir);
    write_bytes(dir + "/fw.hex", read_bytes(data_path("avr/blink.hex")));
    write_bytes(dir + "/id.bin", Bytes(ID_FILE_SIZE, 0x00));
    write_bytes(dir + "/old.bin", read_bytes(data_path("avr/uart_echo.bin")));
    return dir;
}

RunRecord run(const std::string& dir, const std::string& name, const std::string& scenario,
              int first_id) {
    RunRecord r;
    r.result = run_station({dir, name, scenario, station_options(first_id), {}});
    r.names = scenario_devices(scenario);
    for (const std::string& device : r.names)
        r.devices.push_back(read_device(dir + "/" + name, device));
    r.id_file = read_file(dir + "/id.bin").value_or(Bytes());
    return r;
}

struct Verdict {
    std::vector<bool> right; // per device: flash, record and status right
    std::size_t counted = 0;
    std::set<int> ids; // hard IDs on devices
};

// (a) to (d) for one run.
Verdict check_run(Checker& c, const RunRecord& r, const Bytes& image) {
    Verdict v;
    c.check(r.result.played_out, "the scenario is played out (status " +
                                     std::to_string(r.result.status) + ", signal " +
                                     std::to_string(r.result.signal) + ")");
    const Bytes id_image(ID_FILE_SIZE, 0x00);
    for (std::size_t i = 0; i < r.devices.size(); ++i) {
        const DeviceState& d = r.devices[i];
        const std::string name = "device " + r.names[i];
        c.check(d.present, name + " has its files");
        // (a) a record is untouched or whole, and its hard ID is on no other device.
        bool has_record = !d.record_untouched();
        if (has_record) {
            c.check(d.record_whole(id_image), name + " holds a whole record");
            c.check(v.ids.insert(d.hard_id()).second,
                    name + " holds hard ID " + hex(d.hard_id()) + ", already on another device");
        }
        bool right = d.flash_holds(image) && has_record && d.record_whole(id_image) &&
                     d.record_write_confirmed();
        v.right.push_back(right);
        v.counted += right ? 1 : 0;
        // (c) only a counted device is started.
        c.check(right == d.start_sent(),
                name + (right ? " is programmed but was not started"
                              : " is not programmed right but was started"));
    }
    // (b) the count shown, and failures that say so.
    const std::string& out = r.result.out;
    c.check(last_waiting_count(out) == static_cast<int>(v.counted),
            "the station shows " + std::to_string(last_waiting_count(out)) + " devices, " +
                std::to_string(v.counted) + " are programmed right");
    c.check(count_of(out, PASS_STARTS_DEVICE) == v.counted,
            "\"Starting device.\" once for every device programmed right");
    std::size_t passes = count_of(out, PASS_BEGINS);
    bool failure_shown = !r.result.err.empty() || out.find(VERIFY_FAILED) != std::string::npos;
    c.check(failure_shown == (passes > v.counted),
            passes > v.counted
                ? "a failed pass went unreported"
                : "a failure is reported though every pass succeeded: " + r.result.err);
    // (d) the EEPROM image file after the last device.
    const Bytes& file = r.id_file;
    c.check(file.size() == ID_FILE_SIZE, "id.bin keeps its size");
    if (file.size() == ID_FILE_SIZE) {
        bool others_kept = true;
        for (std::size_t i = 0; i < ID_FILE_SIZE; ++i)
            others_kept &= (i >= CLEARED_OFFSET && i < IDENTITY_END) || file[i] == id_image[i];
        c.check(others_kept, "id.bin keeps its bytes outside 22-27");
        c.check(file[CLEARED_OFFSET] == 0, "id.bin has byte 22 cleared");
    }
    c.check(hard_id_of(file) == last_printed_hex(out, NEXT_ID_LABEL),
            "id.bin names hard ID " + hex(hard_id_of(file)) + ", the station printed " +
                hex(last_printed_hex(out, NEXT_ID_LABEL)));
    c.check(rxaddr_of(file) == last_pass_rxaddr(out),
            "id.bin holds RXaddr " + hex(rxaddr_of(file)) + ", the station last set " +
                hex(last_pass_rxaddr(out)));
    return v;
}

// What the case's fault must do to the middle device.
void check_expected(Checker& c, const Case& k, const RunRecord& r, const Verdict& v) {
    std::size_t middle = std::find(r.names.begin(), r.names.end(), MIDDLE) - r.names.begin();
    switch (k.expected) {
    case Outcome::Any:
        break;
    case Outcome::Counted:
        c.check(v.right[middle], "the middle device is programmed");
        break;
    case Outcome::Failed:
        c.check(!v.right[middle], "the middle device fails its pass");
        break;
    case Outcome::NoPass:
        c.check(r.devices[middle].log.empty(), "the middle device is never spoken to");
        break;
    }
    if (!k.message.empty())
        c.check((r.result.out + r.result.err).find(k.message) != std::string::npos,
                "the station says \"" + k.message + "\"");
}

struct CaseReport {
    std::vector<std::string> failures;
    std::size_t checks = 0;
    bool middle_counted = false;
};

CaseReport run_case(const Case& k, const Bytes& image) {
    Checker c;
    c.where = k.name;
    ScratchDir root(true);
    const std::string prefix_dir = make_station_dir(root.path("prefix"));
    const std::string full_dir = make_station_dir(root.path("full"));

    // Up to the faulty device: the file must hold what was printed after it.
    RunRecord upto = run(prefix_dir, "run", FIRST_DEVICE + k.middle, FIRST_ID);
    c.where = k.name + ", up to the middle device";
    check_run(c, upto, image);

    // All three: the one after the faulty device is programmed with the next unused ID.
    RunRecord all =
        run(full_dir, "run", FIRST_DEVICE + k.middle + "wait\n" + LAST_DEVICE, FIRST_ID);
    c.where = k.name + ", all devices";
    Verdict v = check_run(c, all, image);
    check_expected(c, k, all, v);
    const DeviceState& last = all.device(LAST);
    c.check(v.right.back(), "the device after the faulty one is programmed");
    std::set<int> earlier = v.ids;
    earlier.erase(last.hard_id());
    int highest_earlier = earlier.empty() ? FIRST_ID - 1 : *earlier.rbegin();
    std::size_t middle = std::find(all.names.begin(), all.names.end(), MIDDLE) - all.names.begin();
    bool middle_failed = !v.right[middle];
    int skipped = last.hard_id() - highest_earlier - 1;
    c.check(skipped >= 0 && skipped <= (middle_failed ? 1 : 0),
            "the last device gets hard ID " + hex(last.hard_id()) + " after " +
                hex(highest_earlier));
    const std::string before_last = all.result.out.substr(0, all.result.out.rfind(PASS_BEGINS));
    c.check(last.hard_id() == last_printed_hex(before_last, NEXT_ID_LABEL),
            "the last device gets the hard ID printed as next before it");

    // Restarted from the file, as an operator would: the next device's ID is new.
    int next = hard_id_of(all.id_file);
    RunRecord again = run(full_dir, "restart", RESTART_DEVICE, next);
    c.where = k.name + ", restarted with -I " + hex(next);
    Verdict restarted = check_run(c, again, image);
    const DeviceState& added = again.devices.front();
    c.check(restarted.right.front() && added.hard_id() == next,
            "the device after the restart is programmed with hard ID " + hex(next));
    c.check(v.ids.count(added.hard_id()) == 0,
            "hard ID " + hex(added.hard_id()) + " handed out again after the restart");

    CaseReport report;
    report.failures = std::move(c.failures);
    report.checks = c.checks;
    report.middle_counted = !middle_failed;
    return report;
}

std::size_t stride() {
    return request_stride("KORVOFW_MATRIX_STRIDE");
}

std::vector<Case> wait_loop_cases() {
    return {
        {"noopen", "device 1 2 fault=noopen\n", Outcome::Failed,
         "Cannot open the USB device on bus 1, device 2"},
        {"noerase, flash programmed before", "device 1 2 flash=old.bin fault=noerase\n",
         Outcome::Failed, VERIFY_FAILED},
        {"noerase, flash erased", "device 1 2 fault=noerase\n", Outcome::Counted, ""},
        {"gone", "device 1 2 fault=gone\n", Outcome::Failed, "Device not found: bus 1, device 2"},
        {"noattr", "device 1 2 fault=noattr\n", Outcome::NoPass, ""},
        {"gone, arriving with another device", "device 1 2 fault=gone\ndevice 2 1\n",
         Outcome::Failed, "Device not found: bus 1, device 2"},
        {"noattr, arriving with another device", "device 1 2 fault=noattr\ndevice 2 1\n",
         Outcome::NoPass, ""},
    };
}

} // namespace

TEST(FaultMatrix, EveryFaultAtEveryPointKeepsTheStationsPromises) {
    const Bytes image = read_bytes(data_path("avr/blink.bin"));

    // A clean run first: it must program all three, one after another, and its first device's
    // log tells how many requests a pass makes.
    Case clean{"no fault", "device 1 2\n", Outcome::Counted, ""};
    CaseReport baseline = run_case(clean, image);
    for (const std::string& failure : baseline.failures)
        ADD_FAILURE() << failure;
    ScratchDir scratch(true);
    const std::string dir = make_station_dir(scratch.path("clean"));
    RunRecord all =
        run(dir, "run", std::string(FIRST_DEVICE) + "device 1 2\nwait\n" + LAST_DEVICE, FIRST_ID);
    ASSERT_TRUE(all.result.played_out) << all.result.err;
    const std::size_t pass_requests = all.devices.front().log.size();
    ASSERT_GT(pass_requests, 0u);
    for (int n = 0; n < 3; ++n) {
        EXPECT_TRUE(all.devices[n].started()) << all.names[n];
        EXPECT_EQ(all.devices[n].hard_id(), FIRST_ID + n) << all.names[n];
        EXPECT_EQ(all.devices[n].rxaddr(), FIRST_RXADDR + n) << all.names[n];
        EXPECT_EQ(all.devices[n].log.size(), pass_requests) << all.names[n];
    }
    EXPECT_EQ(hard_id_of(all.id_file), FIRST_ID + 3);
    // After the first device alone, too, the file holds what the station printed.
    Checker first;
    first.where = "no fault, first device only";
    check_run(first, run(make_station_dir(scratch.path("first")), "run", FIRST_DEVICE, FIRST_ID),
              image);
    for (const std::string& failure : first.failures)
        ADD_FAILURE() << failure;

    std::vector<Case> cases;
    // With a stride, each kind starts one index further on, so that every index is hit by
    // some kind.
    std::size_t offset = 0;
    for (const char* kind : INDEXED_FAULTS) {
        for (std::size_t k = offset++ % stride(); k < pass_requests; k += stride()) {
            std::string fault = std::string(kind) + "@" + std::to_string(k);
            cases.push_back({fault, "device 1 2 fault=" + fault + "\n", Outcome::Any, ""});
        }
    }
    for (const Case& k : wait_loop_cases())
        cases.push_back(k);

    std::vector<CaseReport> reports(cases.size());
    run_in_parallel(cases.size(), [&](std::size_t i) { reports[i] = run_case(cases[i], image); });

    std::size_t checks = baseline.checks + first.checks;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        checks += reports[i].checks;
        for (const std::string& failure : reports[i].failures)
            ADD_FAILURE() << failure;
    }
    // Every kind of fault must make a pass fail somewhere, or it was never injected.
    for (const char* kind : INDEXED_FAULTS) {
        bool some_failed = false;
        for (std::size_t i = 0; i < cases.size(); ++i)
            some_failed |=
                cases[i].name.rfind(std::string(kind) + "@", 0) == 0 && !reports[i].middle_counted;
        EXPECT_TRUE(some_failed) << kind << " never made a pass fail";
        ++checks;
    }
    std::cout << "fault matrix: " << cases.size() + 1 << " cases, " << checks
              << " invariant checks (" << pass_requests << " requests a pass, request index stride "
              << stride() << ")" << std::endl;
}

// A device that took its record but whose status request after the write got no answer may
// well hold the hard ID: the station must not give that ID to the next device.
TEST(FaultMatrix, AnUnconfirmedRecordWriteUsesUpItsHardId) {
    ScratchDir scratch(true);
    // Where the status request after the record write falls in a pass, from a clean one.
    RunRecord clean = run(make_station_dir(scratch.path("clean")), "run", FIRST_DEVICE, FIRST_ID);
    const std::vector<Request>& log = clean.devices.front().log;
    auto write = std::find_if(log.begin(), log.end(), [](const Request& r) {
        return r.out.rfind(RECORD_WRITE_COMMAND, 0) == 0;
    });
    ASSERT_NE(write, log.end());
    const std::string status_after_write = std::to_string(write - log.begin() + 1);

    const std::string dir = make_station_dir(scratch.path("station"));
    RunRecord r =
        run(dir, "run", "device 1 1 fault=timeout@" + status_after_write + "\nwait\n" + LAST_DEVICE,
            FIRST_ID);
    ASSERT_TRUE(r.result.played_out);
    EXPECT_EQ(r.result.err, "EEPROM write error\n");
    EXPECT_FALSE(r.devices[0].start_sent());
    EXPECT_EQ(r.devices[0].hard_id(), FIRST_ID); // the record reached it
    EXPECT_TRUE(r.devices[1].started());
    EXPECT_EQ(r.devices[1].hard_id(), FIRST_ID + 1);
    EXPECT_EQ(last_waiting_count(r.result.out), 1);
    // What the station says after the failed device, and what its file holds.
    EXPECT_NE(r.result.out.find("EEPROM.\n Tag:       0000\n Version:   "
                                "0000000000000000000000000000000000000000\n Hard ID:   0x0010\n"),
              std::string::npos);
    const std::string& out = r.result.out;
    const std::string after_failure =
        out.substr(0, out.find(PASS_BEGINS, out.find(PASS_BEGINS) + 1));
    EXPECT_EQ(last_printed_hex(after_failure, NEXT_ID_LABEL), FIRST_ID + 1);
    EXPECT_EQ(hard_id_of(r.id_file), FIRST_ID + 2);

    // Restarted from the file, the station hands out neither.
    RunRecord again = run(dir, "restart", RESTART_DEVICE, hard_id_of(r.id_file));
    ASSERT_TRUE(again.result.played_out);
    EXPECT_EQ(again.devices[0].hard_id(), FIRST_ID + 2);
}
