// A long run of the station on the bench: thousands of devices, healthy and faulty, in
// simulated time. Descriptors and memory must stay flat, and the count, the hard IDs and
// the EEPROM image file must be right at the end. KORVOFW_SOAK_DEVICES sets the length
// (scripts/soak.sh runs 10,000 and prints the figures).
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

namespace {

constexpr int DEFAULT_DEVICES = 1500;
constexpr int FIRST_SAMPLE_AT = 1000;
constexpr int ADDRESSES = 127;
constexpr int FAULTY_EVERY = 7;
constexpr int FIRST_HARD_ID = 1;
constexpr int LAST_HARD_ID = 0x1FFF;
// Allocator noise; a leak of one buffer per device would exceed it within a thousand.
constexpr long RSS_SLACK_KB = 1024;
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator keeps its own books; freed memory is reused at once.
constexpr long SANITIZER_SLACK_KB = 4096;
const char CHILD_ASAN_OPTIONS[] = "ASAN_OPTIONS=quarantine_size_mb=0";
#else
constexpr long SANITIZER_SLACK_KB = 0;
const char CHILD_ASAN_OPTIONS[] = "";
#endif

const char* const FAULTS[] = {"stall@20",    "timeout@40", "short@70",  "statuslen@1",
                              "badstatus@3", "stuck",      "noopen",    "unplug@50",
                              "gone",        "noattr",     "timeout@0", "stall@80"};

struct Resources {
    int fds = -1;
    long rss_kb = -1;
};

Resources sample(int pid) {
    Resources r;
    std::string proc = "/proc/" + std::to_string(pid);
    r.fds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        (void)entry;
        ++r.fds;
    }
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            r.rss_kb = std::atol(line.c_str() + 6);
    return r;
}

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

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Soak, ManyDevicesKeepResourcesFlatAndIdsRight) {
    const int devices = soak_devices();
    ScratchDir dir(true);
    const std::string work = dir.dir;
    write_text(work + "/soak.scenario", scenario(devices));
    write_bytes(work + "/fw.hex", read_bytes(data_path("avr/blink.hex")));
    write_bytes(work + "/id.bin", Bytes(40, 0x00));

    int pid = 0;
    Resources early, late;
    size_t scanned = 0;
    const std::string first_mark = "\rWaiting (" + std::to_string(FIRST_SAMPLE_AT) + " devices) ";
    const std::string done = work + "/out/done";
    ProcessOptions po;
    po.cwd = work;
    po.timeout_ms = 20 * 60 * 1000;
    po.env = {"KORVOFW_SIM=" + work + "/soak.scenario", "KORVOFW_SIM_OUT=" + work + "/out"};
    if (*CHILD_ASAN_OPTIONS != '\0')
        po.env.push_back(CHILD_ASAN_OPTIONS);
    po.on_start = [&](int child) { pid = child; };
    po.stop_when = [&](const std::string& out) {
        if (early.fds < 0 && out.find(first_mark, scanned) != std::string::npos)
            early = sample(pid);
        scanned = out.size() > first_mark.size() ? out.size() - first_mark.size() : 0;
        if (!std::filesystem::exists(done))
            return false;
        late = sample(pid);
        return true;
    };
    ProcessResult r = run_process({KORVOFW_SIM_BIN, "-f", "fw.hex", "-e", "id.bin", "-I",
                                   std::to_string(FIRST_HARD_ID), "-r", "0x8700"},
                                  po);
    ASSERT_TRUE(r.stopped) << r.err.substr(0, 500);

    // Every pass that reached its start was counted, and nothing else.
    size_t started = count(r.out, "Starting device.\n");
    size_t counted = std::min<size_t>(started, LAST_HARD_ID - FIRST_HARD_ID + 1);
    EXPECT_NE(r.out.find("\rWaiting (" + std::to_string(started) + " devices) "),
              std::string::npos);
    EXPECT_EQ(r.out.find("\rWaiting (" + std::to_string(started + 1) + " devices) "),
              std::string::npos);

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
    Bytes id_file = read_bytes(work + "/id.bin");
    ASSERT_EQ(id_file.size(), 40u);
    int next = ((id_file[23] << 8) | id_file[24]) >> 3;
    EXPECT_EQ(next, (FIRST_HARD_ID + static_cast<int>(counted)) & LAST_HARD_ID);

    ASSERT_GE(early.fds, 0) << "the run never reached " << FIRST_SAMPLE_AT << " devices";
    EXPECT_EQ(late.fds, early.fds);
    EXPECT_LE(late.rss_kb, early.rss_kb + RSS_SLACK_KB + SANITIZER_SLACK_KB);
    std::cout << "soak: " << devices << " devices, " << started << " started, " << counted
              << " counted; descriptors " << early.fds << " -> " << late.fds << ", RSS "
              << early.rss_kb << " kB -> " << late.rss_kb << " kB (at " << FIRST_SAMPLE_AT
              << " devices and at the end)" << std::endl;
}
