// The station on the bench (sim/station/): scenario files (scenario.h), this driver, kill
// points (kill_points.h) and korvofw-sim's environment (sim_environment.cpp).
//
// Plays a scenario on the bench as the program under test runs, and keeps the
// devices' memories and request logs in an output directory.
//
// Batches arrive at the station's idle step (its usleep(250000), reached only
// between passes) once every event published so far has been taken: the first
// batch at the first idle step, the next once the program has taken every
// event the previous one caused. A device still on the bus where a new one is
// to be plugged is pulled first. A scenario's SIGTERM is sent at the idle step where the
// next batch would come, and takes that step's place. When nothing is left to deliver and
// every event is taken, the next idle step creates <dir>/done.
//
// Files, rewritten as things happen: <bus>-<devnum>.flash, .eeprom and .log
// (see write_device_files) when a device is plugged, when it is closed and
// when it leaves the bus.
#pragma once

#include "scenario.h"
#include "usb/sim_clock.h"
#include "usb/udev_bench.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

constexpr std::uint64_t kIdleSleepUs = 250000;
constexpr char kDoneFileName[] = "done";

class ScenarioDriver : public BenchObserver, public SleepObserver {
  public:
    // Registers itself with the bench and the clock, until destroyed (which must
    // happen while the bench is installed); the directory must exist.
    ScenarioDriver(UdevBench& udev, Scenario scenario, std::string out_dir);
    ~ScenarioDriver() override;
    ScenarioDriver(const ScenarioDriver&) = delete;
    ScenarioDriver& operator=(const ScenarioDriver&) = delete;

    bool played_out() const { return done_; }

    void slept(std::uint64_t microseconds) override;
    void device_left(SimDevice& device) override;
    void device_closed(SimDevice& device) override;

  private:
    void plug_batch(const Batch& batch);
    void plug(const DevicePlan& plan);
    void finish();
    // Files that cannot be written end the run: nothing could be checked.
    void save(const SimDevice& device);

    UdevBench& udev_;
    Scenario scenario_;
    std::string out_dir_;
    std::size_t next_batch_ = 0;
    bool done_ = false;
};

} // namespace sim
