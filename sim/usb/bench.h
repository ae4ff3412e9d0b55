// The bench's USB side (sim/usb/): the USB devices plugged into this process's libusb
// stand-ins; the libudev stand-ins' arrival events are in udev_bench.h, the clock in sim_clock.h.
//
// Request log, one line per usb_control_msg call on a device (<bus>-<devnum>.log):
//
//   <n> type=<tt> req=<r> value=<vvvv> index=<iiii> len=<l> out=<hex> in=<hex> rc=<rc>
//
//   n      position of the request in the device's log, from 0 (restarts on plug)
//   tt     bmRequestType, 2 hex digits
//   r      bRequest, decimal
//   vvvv   wValue, 4 hex digits
//   iiii   wIndex, 4 hex digits
//   l      wLength (the size argument), decimal
//   out    bytes sent host to device, lowercase hex without separators, "-" if none
//   in     bytes returned device to host, same notation
//   rc     what usb_control_msg returned: bytes transferred, or -19 (no device),
//          -32 (stall), -110 (time-out), -22 (invalid arguments)
//
//   e.g. "0 type=21 req=1 value=0000 index=0000 len=6 out=060300000000 in=- rc=6"
//
// A request the device's part is busy with (page writes, a chip erase, EEPROM writes) advances
// the simulated clock by the part's time for it (device/flip_timing.h) before it returns.
//
// The stand-ins hold the program to interface 0's claim: a control request on a handle that
// has not claimed it, or a close with the claim still held, is a misuse that aborts. Only one
// handle at a time holds a device's claim; another gets -EBUSY, as from the kernel.
//
// Faults (see device/fault.h for their text form). A request-indexed fault fires once,
// on the first matching request whose index is at least k (k = 0 when omitted):
//   unplug     any request: the device leaves the bus first; that request and
//              all later ones return -ENODEV
//   stall      any request: -EPIPE, not carried out, device in dfuERROR/errSTALLEDPKT
//   timeout    any request: -ETIMEDOUT, not carried out, the simulated clock
//              advances by the request's time-out
//   short      DFU_UPLOAD: carried out but only half of the bytes are delivered
//   statuslen  DFU_GETSTATUS: only the first 3 bytes of the reply are delivered
//   badstatus  any request at or after k, or the first DFU_DNLOAD when k is
//              omitted: acknowledged, not carried out, device in dfuERROR/errTARGET
//   stuck      from request k on (all requests when omitted), flash writes are
//              acknowledged but do not take
//   noerase    programming only clears bits and nothing is erased, by a chip erase either
//   noopen     usb_open returns NULL
//   busy       usb_claim_interface returns -EBUSY: another program holds the interface
//   sigterm    any request: the program's process gets SIGTERM first (sigint: SIGINT), as
//              from an operator stopping the station in the middle of a pass
//   gone, noattr  stored only, for the arrival-event layer
#pragma once

#include "device/fault.h"
#include "device/flip_device.h"

#include <usb.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct LogEntry {
    std::size_t n = 0;
    int request_type = 0;
    int request = 0;
    int value = 0;
    int index = 0;
    int length = 0;
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> in;
    int result = 0;
    // How long the part was busy carrying the request out (Reply::busy_us); not in the line.
    std::uint64_t busy_us = 0;
};

std::string format_log_line(const LogEntry& entry);

class SimDevice {
  public:
    // An empty port stands for the default, name(). With a part, the device is that part's
    // bootloader.
    SimDevice(int bus, int devnum, std::uint16_t vendor, std::uint16_t product,
              std::string port = {}, const parts::Part* part = nullptr);

    int bus() const { return bus_; }
    int devnum() const { return devnum_; }
    std::uint16_t vendor() const { return vendor_; }
    std::uint16_t product() const { return product_; }
    bool on_bus() const { return on_bus_; }
    // "<bus>-<devnum>", the stem of the device's files.
    std::string name() const;
    // The USB port the device is on, as udev names it (its sysname, e.g. "1-1.4").
    const std::string& port() const { return port_; }

    // The bootloader model; null for devices that are no part's bootloader.
    FlipDevice* flip() { return flip_.get(); }
    const FlipDevice* flip() const { return flip_.get(); }

    void add_fault(const Fault& fault);
    bool has_fault(FaultKind kind) const;
    const std::vector<Fault>& faults() const { return faults_; }

    const std::vector<LogEntry>& log() const { return log_; }

  private:
    friend class Bench;

    // Claims the first unfired fault of this kind that is due at this request.
    bool take_fault(FaultKind kind, std::size_t request_index);

    int bus_;
    int devnum_;
    std::uint16_t vendor_;
    std::uint16_t product_;
    std::string port_;
    bool on_bus_ = true;
    std::unique_ptr<FlipDevice> flip_;
    std::vector<Fault> faults_;
    std::vector<bool> fired_;
    std::vector<LogEntry> log_;
};

// Told about bench events; the arrival-event layer and the scenario driver hook
// in here. A departure is told after the request that ran into it is logged.
// Observers must not reset or uninstall the bench while being told.
class BenchObserver {
  public:
    virtual ~BenchObserver() = default;
    virtual void device_plugged(SimDevice&) {}
    virtual void device_left(SimDevice&) {}
    virtual void device_closed(SimDevice&) {}
};

class Bench {
  public:
    // Installs a fresh bench for the process, replacing any previous one.
    static Bench& install();
    // Removes the bench; the libusb stand-ins then abort when called.
    static void uninstall();
    // The installed bench, or null.
    static Bench* current();

    Bench();
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Forgets devices, handles, bus lists, observers and the clock.
    void reset();

    // Throws std::invalid_argument for an address out of range or in use. An empty port
    // gives the device the default port name, "<bus>-<devnum>". Atmel's vendor ID with a
    // part's product ID plugs that part's bootloader (the first part of the table with it).
    SimDevice& plug(int bus, int devnum, std::uint16_t vendor = kAtmelVendorId,
                    std::uint16_t product = kFlipProductId, const std::string& port = {});
    // Plugs the part's bootloader, with the part's product ID.
    SimDevice& plug(int bus, int devnum, const parts::Part& part, const std::string& port = {});
    // The same by the part's name; an unknown one throws std::invalid_argument naming the known.
    SimDevice& plug(int bus, int devnum, const std::string& part, const std::string& port = {});
    // Takes the device off the bus; open handles then fail with -ENODEV.
    void unplug(SimDevice& device);
    // The device on the bus at that address, else the last one plugged there, else null.
    SimDevice* find(int bus, int devnum);
    const std::vector<std::unique_ptr<SimDevice>>& devices() const { return devices_; }

    // The simulated clock: sleeps, time-outs and the parts' busy time advance it.
    std::uint64_t now_us() const { return now_us_; }
    void advance_us(std::uint64_t microseconds) { now_us_ += microseconds; }

    // Observers are not owned and must outlive their registration.
    void add_observer(BenchObserver* observer);
    void remove_observer(BenchObserver* observer);

    // The libusb stand-ins' implementation; the return values are libusb's.
    // find_busses lists every bus a device was ever plugged into (buses stay
    // until reset) and returns how many it added; find_devices lists the devices
    // on the listed buses and returns how many it added or removed.
    int find_busses();
    int find_devices();
    usb_bus* busses() { return bus_list_; }
    usb_dev_handle* open(struct usb_device* node);
    int close(usb_dev_handle* handle);
    int control(usb_dev_handle* handle, int request_type, int request, int value, int index,
                char* bytes, int size, int timeout_ms);
    // -ENODEV when the handle's device has left the bus, else 0.
    int check_present(usb_dev_handle* handle);
    // Interface 0 is the device's only one: -EINVAL for another, -ENODEV once the device has
    // left the bus, -EBUSY while another handle holds it or with the busy fault.
    int claim(usb_dev_handle* handle, int interface);
    // -EINVAL when the handle does not hold the claim; a device that left is released too.
    int release(usb_dev_handle* handle, int interface);

  private:
    struct BusNode {
        std::unique_ptr<usb_bus> bus;
        std::vector<std::pair<SimDevice*, std::unique_ptr<struct usb_device>>> devices;
    };

    SimDevice& plug_device(int bus, int devnum, std::uint16_t vendor, std::uint16_t product,
                           const std::string& port, const parts::Part* part);
    SimDevice& device_of(usb_dev_handle* handle);
    int carry_out(SimDevice& device, LogEntry& request, std::vector<std::uint8_t>& in,
                  int timeout_ms);
    int deliver(SimDevice& device, LogEntry& request, std::vector<std::uint8_t>& in);
    int sync_bus_devices(int bus_number, BusNode& node);
    void link_bus_devices(BusNode& node);
    void forget_departed(int bus, int devnum);
    void link_busses();
    template <typename Event> void notify(Event event, SimDevice& device);

    std::vector<std::unique_ptr<SimDevice>> devices_;
    std::vector<std::unique_ptr<usb_dev_handle>> handles_;
    std::map<int, BusNode> bus_nodes_;
    usb_bus* bus_list_ = nullptr;
    std::vector<BenchObserver*> observers_;
    std::uint64_t now_us_ = 0;
};

// The two moments of a control request at which the kill points (kill_points.h) look in:
// before it is carried out, and once it is answered and logged, before the caller sees it.
enum class RequestStage { Before, Answered };
// Bench::control tells the hook, when one is set (null for none), of every request.
void set_request_hook(void (*hook)(RequestStage stage));

// Writes <dir>/<bus>-<devnum>.flash and .eeprom (bootloader devices only) and
// <dir>/<bus>-<devnum>.log. Throws std::runtime_error naming the file that failed.
void write_device_files(const SimDevice& device, const std::string& dir);

} // namespace sim
