// A long run of the station on the bench: thousands of devices, healthy and faulty, in
// simulated time. Descriptors and memory must stay flat, and the count, the hard IDs and
// the EEPROM image file must be right at the end. KORVOFW_SOAK_DEVICES sets the length
// (scripts/soak.sh runs 10,000 and prints the figures).
#include "robustness_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <set>

using namespace robustness;

namespace {

constexpr int DEFAULT_DEVICES = 1500;
constexpr int EARLY_PART = 3; // the early run plays the first third of the devices
constexpr int ADDRESSES = 127;
constexpr int FAULTY_EVERY = 7;
constexpr int FIRST_HARD_ID = 1;
constexpr int LAST_HARD_ID = 0x1FFF;
constexpr int DEVICES_PER_SECOND_AT_WORST = 50; // a sanitized build on a loaded machine
// Allocator noise; a leak of one buffer per device would exceed it within a thousand.
constexpr long RSS_SLACK_KB = 1024;
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator keeps its own books; freed memory is reused at once.
constexpr long SANITIZER_SLACK_KB = 4096;
const std::vector<std::string> CHILD_ENV = {"ASAN_OPTIONS=quarantine_size_mb=0"};
#else
constexpr long SANITIZER_SLACK_KB = 0;
const std::vector<std::string> CHILD_ENV;
#endif

const char* const FAULTS[] = {"stall@20",    "timeout@40", "short@70",  "statuslen@1",
                              "badstatus@3", "stuck",      "noopen",    "unplug@50",
                              "gone",        "noattr",     "timeout@0", "stall@80"};

int soak_devices() {
    const char* text = std::getenv("KORVOFW_SOAK_DEVICES");
    return text != nullptr ? std::atoi(text) : DEFAULT_DEVICES;
}

std::string scenario(int devices) {
    std::string text;
    for (int n = 0; n < devices; ++n) {
        text += "device 1 " + std::to_string(n % ADDRESSES + 1);
        if (n % FAULTY_EVERY == FAULTY_EVERY - 1)
            text += std::string(" fault=") + FAULTS[(n / FAULTY_EVERY) % std::size(FAULTS)];
        text += "\nwait\n";
    }
    return text;
}

} // namespace

TEST(Soak, ManyDevicesKeepResourcesFlatAndIdsRight) {
    const int devices = soak_devices();
    ScratchDir dir(true);
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_bytes(dir.path("id.bin"), Bytes(40, 0x00));
    write_bytes(dir.path("early.bin"), Bytes(40, 0x00));
    // Two stations, each sampled once it has played its devices out and stands idle: one
    // after the first third of the devices, one after all of them.
    auto plan = [&](const char* name, int count, const char* id_file) {
        RunPlan p{
            dir.dir,
            name,
            scenario(count),
            {"-f", "fw.hex", "-e", id_file, "-I", std::to_string(FIRST_HARD_ID), "-r", "0x8700"},
            CHILD_ENV};
        p.time_limit = std::chrono::seconds(20 + count / DEVICES_PER_SECOND_AT_WORST);
        return p;
    };
    const RunPlan plans[] = {plan("early", devices / EARLY_PART, "early.bin"),
                             plan("late", devices, "id.bin")};
    RunResult runs[2];
    run_in_parallel(2, [&](std::size_t i) { runs[i] = run_station(plans[i]); });
    const RunResult &early = runs[0], &r = runs[1];
    ASSERT_TRUE(early.played_out && r.played_out)
        << early.err.substr(0, 500) << r.err.substr(0, 500);

    // Every pass that reached its start was counted, and nothing else.
    size_t started = count_of(r.out, "Starting device.\n");
    size_t counted = std::min<size_t>(started, LAST_HARD_ID - FIRST_HARD_ID + 1);
    EXPECT_EQ(last_waiting_count(r.out), static_cast<int>(started));

    // Each started device carried a hard ID never given before, counting up without a gap.
    std::set<int> ids;
    int expected_id = FIRST_HARD_ID;
    const std::string written = "\nWriting EEPROM.\n";
    for (size_t at = r.out.find(written); at != std::string::npos;
         at = r.out.find(written, at + 1)) {
        size_t field = r.out.find(" Hard ID:   0x", at);
        size_t end = r.out.find('\n', field);
        size_t start = r.out.find("Starting device.\n", end);
        size_t next = r.out.find("Loading Flash.", end);
        if (start == std::string::npos || (next != std::string::npos && next < start))
            continue; // this device's pass failed after its record went out
        int id = std::stoi(r.out.substr(field + 14, end - field - 14), nullptr, 16);
        EXPECT_TRUE(ids.insert(id).second) << "hard ID given twice: " << id;
        EXPECT_EQ(id, expected_id);
        expected_id = id + 1;
    }
    EXPECT_EQ(ids.size(), counted);

    // Past the last hard ID devices are refused, and the file names the next one.
    if (started > counted) {
        EXPECT_NE(r.err.find("hard ID invalid : 0x2000"), std::string::npos);
    }
    Bytes id_file = read_bytes(dir.path("id.bin"));
    ASSERT_EQ(id_file.size(), 40u);
    EXPECT_EQ(hard_id_of(id_file), (FIRST_HARD_ID + static_cast<int>(counted)) & LAST_HARD_ID);

    EXPECT_EQ(r.fds, early.fds);
    EXPECT_LE(r.rss_kb, early.rss_kb + RSS_SLACK_KB + SANITIZER_SLACK_KB);
    std::cout << "soak: " << devices << " devices, " << started << " started, " << counted
              << " counted; descriptors " << early.fds << " -> " << r.fds << ", RSS "
              << early.rss_kb << " kB -> " << r.rss_kb << " kB (idle after " << devices / EARLY_PART
              << " devices and after all)" << std::endl;
}
