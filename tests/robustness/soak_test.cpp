// Thousands of devices, healthy and faulty, on the bench in simulated time: descriptors and
// memory stay flat; the count, hard IDs and image file are right at the end.
// KORVOFW_SOAK_DEVICES sets the length (scripts/soak.sh runs 10,000 and prints the figures).
#include "robustness_support.h"

#include <numeric>

using namespace robustness;

namespace {

constexpr int LAST_HARD_ID = 0x1FFF;
constexpr int RXADDR_GROUP = 8;                 // 0x8700 counts round through 0x8707
constexpr int DEVICES_PER_SECOND_AT_WORST = 10; // a sanitized build on a loaded machine
// Allocator noise, more under AddressSanitizer; a buffer leaked a device exceeds it.
constexpr long RSS_SLACK_KB = SANITIZED ? 5120 : 1024;
const char* const FAULTS[] = {"stall@20",    "timeout@40", "short@70",  "statuslen@1",
                              "badstatus@3", "stuck",      "noopen",    "unplug@50",
                              "gone",        "noattr",     "timeout@0", "stall@80"};

// On 127 addresses of bus 1, every seventh device with a fault.
std::string scenario(int devices) {
    std::string text;
    for (int n = 0; n < devices; ++n)
        text += "device 1 " + std::to_string(n % 127 + 1) +
                (n % 7 == 6 ? std::string(" fault=") + FAULTS[(n / 7) % std::size(FAULTS)] : "") +
                "\nwait\n";
    return text;
}

} // namespace

TEST(Soak, ManyDevicesKeepResourcesFlatAndIdsRight) {
    const int devices = env_number("KORVOFW_SOAK_DEVICES", 1500);
    // Two stations, each sampled once it has played its devices out and stands idle: one after
    // a third of the devices, one after all. Freed memory is reused at once under ASan.
    const int lengths[] = {devices / 3, devices};
    RunRecord runs[2];
    run_in_parallel(2, [&](std::size_t i) {
        runs[i] = Station(id_image())
                      .run("soak", scenario(lengths[i]),
                           {"-f", "fw.hex", "-e", "id.bin", "-I", "1", "-r", "0x8700"},
                           {"ASAN_OPTIONS=quarantine_size_mb=0"},
                           std::chrono::seconds(30 + lengths[i] / DEVICES_PER_SECOND_AT_WORST));
    });
    const RunRecord &early = runs[0], &r = runs[1];
    ASSERT_TRUE(early.played_out && r.played_out) << early.err << r.err;

    // Every pass that reached its start was counted, and nothing else; every pass that reached
    // the record took the next hard ID, none given twice, none skipped, up to the last one.
    const std::size_t started = count_of(r.out, "Starting device.\n");
    EXPECT_EQ(shown_count(r.out), int(started));
    std::vector<int> given = printed(r.out, " -> Setting Hard ID to: 0x"), wanted(given.size());
    std::iota(wanted.begin(), wanted.end(), 1);
    EXPECT_TRUE(given == wanted) << "hard IDs not given one after another";
    EXPECT_EQ(given.size(), started + count_of(r.err, "EEPROM write error\n"));
    EXPECT_EQ(has(r.err, "All hard IDs are used up"), given.size() == LAST_HARD_ID);
    // The file names the next hard ID (0x2000 shows as 0) and the RXaddr of the last pass.
    const int passes = static_cast<int>(count_of(r.out, "Loading Flash."));
    EXPECT_EQ(r.id_file, with_identity(id_image(), {int(given.size() + 1) & LAST_HARD_ID, -1,
                                                    FIRST_RXADDR + (passes - 1) % RXADDR_GROUP}));

    EXPECT_EQ(r.fds, early.fds);
    EXPECT_LE(r.rss_kb, early.rss_kb + RSS_SLACK_KB);
    std::cout << "soak: " << devices << " devices, " << started
              << " started and counted; idle after " << lengths[0] << " and after all, descriptors "
              << early.fds << " -> " << r.fds << ", RSS " << early.rss_kb << " kB -> " << r.rss_kb
              << " kB" << std::endl;
}
