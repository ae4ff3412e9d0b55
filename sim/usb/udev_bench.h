// Arrival events of the simulated bench, as libudev shows them to a monitor.
//
// Every device plugged into the bench publishes, as a real kernel does, "add" for the device
// (subsystem "usb", devtype "usb_device"), "add" for its interface (devtype
// "usb_interface") and "bind" for the device; leaving the bus publishes "remove" for the
// interface, then "unbind" and "remove" for the device. An event reaches each monitor that is
// receiving at the time and whose filters match; a monitor's fd is readable exactly while it
// holds an event.
//
// Attributes of a device event: busnum and devnum in decimal ("1"), idVendor
// and idProduct as 4 lower-case hex digits ("03eb"). As libudev reads them from sysfs under
// the event's device path, they are read when the event is taken, from the device then on the
// event's port: its own, another one plugged into that port since, or none (reading gives
// NULL, as for a device that vanished). A record keeps what it read.
// Every event of a device carries its port name as the
// sysname (udev_device_get_sysname): by default "<bus>-<devnum>", or the name
// the scenario gave (port=).
// The faults of the arrival layer are looked at when an event is taken, so
// they may be added to a device right after plugging it: the add event of a
// `noattr` device comes without attributes (`noattr@k` without the k-th of busnum, devnum,
// idVendor and idProduct), and a `gone` device leaves the bus
// as soon as its add event is taken, so the program sees the event but finds
// no device.
//
// Install and uninstall through UdevBench, which brings its own Bench and lives
// exactly as long as it; do not reset that Bench while records or events are about.
#pragma once

#include "bench.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;
struct udev_device;

namespace sim {

struct UdevEvent {
    std::string action; // "add", "bind", "unbind" or "remove"
    std::string subsystem;
    std::string devtype;
    std::string sysname;
    std::map<std::string, std::string> attributes;
    SimDevice* device = nullptr; // owned by the Bench
};

class UdevBench : public BenchObserver {
  public:
    // Installs a fresh Bench with arrival events on top, replacing any previous one.
    static UdevBench& install();
    // Removes both; the stand-ins then abort when called.
    static void uninstall();
    // The installed arrival-event layer, or null. The first call with none
    // installed runs the installer, if one was set.
    static UdevBench* current();
    // The executable that plays scenarios sets how it installs its bench.
    static void set_installer(void (*installer)());

    ~UdevBench() override;
    UdevBench(const UdevBench&) = delete;
    UdevBench& operator=(const UdevBench&) = delete;

    Bench& bench() { return bench_; }

    void set_udev_new_fails(bool fails) { udev_new_fails_ = fails; }
    // Events published, filtered or not, oldest first: at least the last kStreamHistory.
    static constexpr std::size_t kStreamHistory = 1024;
    const std::vector<UdevEvent>& stream() const { return stream_; }
    // Whether no receiving monitor holds an event.
    bool all_events_taken() const;

    // Objects handed out and not yet released to a reference count of 0.
    std::size_t live_contexts() const { return contexts_.size(); }
    std::size_t live_monitors() const { return monitors_.size(); }
    std::size_t live_records() const { return records_.size(); }

    void device_plugged(SimDevice& device) override;
    void device_left(SimDevice& device) override;

    // The libudev stand-ins' implementation; results and errors are libudev's.
    udev* new_context();
    udev* ref(udev* context);
    udev* unref(udev* context);
    udev_monitor* new_monitor(udev* context, const char* name);
    udev_monitor* ref(udev_monitor* monitor);
    udev_monitor* unref(udev_monitor* monitor);
    int add_filter(udev_monitor* monitor, const char* subsystem, const char* devtype);
    int enable_receiving(udev_monitor* monitor);
    int fd_of(udev_monitor* monitor);
    udev_device* receive(udev_monitor* monitor);
    udev_device* ref(udev_device* record);
    udev_device* unref(udev_device* record);
    const char* attribute(udev_device* record, const char* name);
    const char* action(udev_device* record);
    const char* subsystem(udev_device* record);
    const char* devtype(udev_device* record);
    const char* sysname(udev_device* record);

  private:
    // Made only by install(), and destroyed only along with its Bench.
    explicit UdevBench(Bench& bench);

    void publish(const UdevEvent& event);
    // What sysfs shows under the taken event's port.
    void read_attributes(UdevEvent& taken) const;
    // Carries out the arrival-layer faults of the device whose event was just taken.
    void apply_faults(UdevEvent& taken);
    udev& checked(udev* context);
    udev_monitor& checked(udev_monitor* monitor);
    udev_device& checked(udev_device* record);

    Bench& bench_;
    bool udev_new_fails_ = false;
    std::vector<UdevEvent> stream_;
    std::map<udev*, std::unique_ptr<udev>> contexts_;
    std::map<udev_monitor*, std::unique_ptr<udev_monitor>> monitors_;
    std::map<udev_device*, std::unique_ptr<udev_device>> records_;
};

} // namespace sim
