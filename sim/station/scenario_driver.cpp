#include "scenario_driver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace sim {
namespace {

constexpr int kRunFailed = 2;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "korvofw-sim: %s\n", what.c_str());
    std::exit(kRunFailed);
}

} // namespace

ScenarioDriver::ScenarioDriver(UdevBench& udev, Scenario scenario, std::string out_dir)
    : udev_(udev), scenario_(std::move(scenario)), out_dir_(std::move(out_dir)) {
    udev_.set_udev_new_fails(scenario_.udev_new_fails);
    udev_.bench().add_observer(this);
    set_sleep_observer(this);
}

ScenarioDriver::~ScenarioDriver() {
    set_sleep_observer(nullptr);
    udev_.bench().remove_observer(this);
}

void ScenarioDriver::slept(std::uint64_t microseconds) {
    if (microseconds != kIdleSleepUs || done_ || !udev_.all_events_taken())
        return;
    if (scenario_.sigterm_after == next_batch_) {
        scenario_.sigterm_after.reset();
        std::raise(SIGTERM);
    } else if (scenario_.rotate_after == next_batch_) {
        scenario_.rotate_after.reset();
        if (std::rename(scenario_.rotate_file.c_str(), scenario_.rotate_to.c_str()) != 0)
            fail("cannot rename " + scenario_.rotate_file);
        std::raise(SIGHUP);
    } else if (next_batch_ < scenario_.batches.size())
        plug_batch(scenario_.batches[next_batch_++]);
    else
        finish();
}

void ScenarioDriver::device_left(SimDevice& device) {
    save(device);
}

void ScenarioDriver::device_closed(SimDevice& device) {
    save(device);
}

void ScenarioDriver::plug_batch(const Batch& batch) {
    for (const DevicePlan& plan : batch)
        plug(plan);
}

void ScenarioDriver::plug(const DevicePlan& plan) {
    for (const auto& [path, bytes] : plan.copies) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (!file.write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size())))
            fail("cannot write " + path);
    }
    Bench& bench = udev_.bench();
    if (SimDevice* previous = bench.find(plan.bus, plan.devnum); previous && previous->on_bus())
        bench.unplug(*previous);
    SimDevice& device =
        plan.part ? bench.plug(plan.bus, plan.devnum, *plan.part, plan.port)
                  : bench.plug(plan.bus, plan.devnum, plan.vendor, plan.product, plan.port);
    for (const Fault& fault : plan.faults)
        device.add_fault(fault);
    if (FlipDevice* flip = device.flip()) {
        if (plan.locked)
            flip->set_locked(*plan.locked);
        if (plan.flash)
            flip->load(MemoryUnit::Flash, 0, *plan.flash);
        if (plan.eeprom)
            flip->load(MemoryUnit::Eeprom, 0, *plan.eeprom);
    }
    save(device);
}

void ScenarioDriver::finish() {
    const std::string path = out_dir_ + "/" + kDoneFileName;
    if (!std::ofstream(path))
        fail("cannot create " + path);
    done_ = true;
}

void ScenarioDriver::save(const SimDevice& device) {
    try {
        write_device_files(device, out_dir_);
    } catch (const std::runtime_error& error) {
        fail(error.what());
    }
}

} // namespace sim
