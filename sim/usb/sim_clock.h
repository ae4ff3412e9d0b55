// Simulated time. Bench builds replace usleep at link time: a sleep of the program's
// own code advances the installed bench's clock and returns at once, so a station's
// seconds of waiting cost none; a shared library's sleep (SQLite's) takes real time.
// KORVOFW_SIM_REALTIME=1 makes it sleep for real as well (for watching a run); with
// no bench installed it only sleeps for real.
#pragma once

#include <cstdint>

namespace sim {

constexpr char kRealtimeVariable[] = "KORVOFW_SIM_REALTIME";

// Told of every sleep of the program, after the clock has advanced.
class SleepObserver {
  public:
    virtual ~SleepObserver() = default;
    virtual void slept(std::uint64_t microseconds) = 0;
};

// One observer at a time; null removes it. It must outlive its registration.
void set_sleep_observer(SleepObserver* observer);

// What the usleep stand-in does for the program's own code.
void simulated_sleep(std::uint64_t microseconds);

} // namespace sim
