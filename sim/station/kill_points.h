// Kill points of the simulated bench: the process ends with SIGKILL at a chosen point of a
// run, as a crash or a power cut of the host would end it.
//
//   KORVOFW_SIM_KILL=<point>:<n>
//
//   request   before the n-th control request of the run is carried out (counted across
//             all devices from 0); the request is not logged
//   answered  after the n-th control request was carried out and logged, before the
//             program sees its result
//   write     at the n-th write(2) to a file: half of its bytes (rounded down) reach the
//             file, then the kill
//   fsync     before the n-th fsync(2)
//   rename    before the n-th rename(2)
//
// Only writes to the program's regular files count: not those to descriptors 0-2, to the
// bench's own files in KORVOFW_SIM_OUT or to anything but a regular file. Device memory outlives
// the host, so before the kill every device's files are written to KORVOFW_SIM_OUT (see
// write_device_files), past the counting.
//
// write, fsync and rename are replaced at link time in every executable linking the bench;
// without KORVOFW_SIM_KILL they only pass the call on. A malformed value ends the process
// at start, with status 2 and a message on standard error.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace sim {

constexpr char kKillVariable[] = "KORVOFW_SIM_KILL";

enum class KillPoint { Request, Answered, Write, Fsync, Rename };

struct KillPlan {
    KillPoint point;
    std::size_t n;
};

// Parses "<point>:<n>"; nothing when malformed.
std::optional<KillPlan> parse_kill_plan(std::string_view text);

// Counts one more event of this kind; at the one KORVOFW_SIM_KILL names, saves the devices'
// files and kills the process.
void reach_kill_point(KillPoint point);

} // namespace sim
