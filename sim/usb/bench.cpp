#include "bench.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

// libusb 0.1 only declares the handle; the bench owns every handle it hands out.
struct usb_dev_handle {
    sim::SimDevice* device;
    bool claimed;
};

namespace sim {
namespace {

constexpr int kMinBusNumber = 1;
constexpr int kMaxBusNumber = 999; // bus directory names have three digits
constexpr int kMinDevnum = 1;
constexpr int kMaxDevnum = 127; // USB addresses
constexpr int kMaxSetupByte = 0xFF;
constexpr int kMaxSetupWord = 0xFFFF;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::size_t kShortStatusLength = 3;
constexpr std::uint64_t kMicrosecondsPerMillisecond = 1000;

constexpr std::uint8_t kDeviceDescriptorLength = 18;
constexpr std::uint8_t kDeviceDescriptorType = 1;
constexpr std::uint16_t kUsb2 = 0x0200;
// Devices without a bootloader model present the full-speed maximum.
constexpr std::uint8_t kOtherControlPacketSize = 64;

// The faults that stop the program with a signal, and the signal each sends.
constexpr std::pair<FaultKind, int> kSignalFaults[] = {{FaultKind::SigTerm, SIGTERM},
                                                       {FaultKind::SigInt, SIGINT}};

std::unique_ptr<Bench> g_bench;
void (*g_request_hook)(RequestStage) = nullptr;

void tell_request_hook(RequestStage stage) {
    if (g_request_hook)
        g_request_hook(stage);
}

bool is_request(const LogEntry& entry, std::uint8_t type, std::uint8_t request) {
    return entry.request_type == type && entry.request == request;
}

bool matches(FaultKind kind, const LogEntry& entry) {
    switch (kind) {
    case FaultKind::Short:
        return is_request(entry, kDfuRequestTypeIn, kDfuUpload);
    case FaultKind::StatusLen:
        return is_request(entry, kDfuRequestTypeIn, kDfuGetStatus);
    default:
        return true;
    }
}

bool valid_arguments(const LogEntry& request, const char* bytes) {
    const auto in_range = [](int value, int max) { return value >= 0 && value <= max; };
    return in_range(request.request_type, kMaxSetupByte) &&
           in_range(request.request, kMaxSetupByte) && in_range(request.value, kMaxSetupWord) &&
           in_range(request.index, kMaxSetupWord) && in_range(request.length, kMaxSetupWord) &&
           (request.length == 0 || bytes != nullptr);
}

bool is_device_to_host(const LogEntry& request) {
    return (request.request_type & kDirectionIn) != 0;
}

Setup setup_of(const LogEntry& request) {
    Setup setup;
    setup.request_type = static_cast<std::uint8_t>(request.request_type);
    setup.request = static_cast<std::uint8_t>(request.request);
    setup.value = static_cast<std::uint16_t>(request.value);
    setup.index = static_cast<std::uint16_t>(request.index);
    setup.length = static_cast<std::uint16_t>(request.length);
    return setup;
}

std::string three_digits(int number) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", number);
    return text;
}

std::string hex_or_dash(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty())
        return "-";
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

[[noreturn]] void misuse(const char* what) {
    std::fprintf(stderr, "korvofw sim: %s\n", what);
    std::abort();
}

void write_file(const std::string& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (file)
        file.close();
    if (!file)
        throw std::runtime_error("sim: cannot write " + path + ": " + std::strerror(errno));
}

std::string as_string(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

std::string format_log_line(const LogEntry& entry) {
    char setup[128];
    std::snprintf(setup, sizeof setup, "%zu type=%02x req=%d value=%04x index=%04x len=%d", entry.n,
                  static_cast<unsigned>(entry.request_type), entry.request,
                  static_cast<unsigned>(entry.value), static_cast<unsigned>(entry.index),
                  entry.length);
    return std::string(setup) + " out=" + hex_or_dash(entry.out) + " in=" + hex_or_dash(entry.in) +
           " rc=" + std::to_string(entry.result);
}

// ---- SimDevice

SimDevice::SimDevice(int bus, int devnum, std::uint16_t vendor, std::uint16_t product,
                     std::string port, const parts::Part* part)
    : bus_(bus), devnum_(devnum), vendor_(vendor), product_(product),
      port_(port.empty() ? name() : std::move(port)) {
    if (part)
        flip_ = std::make_unique<FlipDevice>(*part);
}

std::string SimDevice::name() const {
    return std::to_string(bus_) + "-" + std::to_string(devnum_);
}

void SimDevice::add_fault(const Fault& fault) {
    faults_.push_back(fault);
    fired_.push_back(false);
    if (!flip_)
        return;
    if (fault.kind == FaultKind::NoErase)
        flip_->set_no_erase(true);
    if (fault.kind == FaultKind::Stuck)
        flip_->set_stuck_from(fault.at.value_or(0));
}

bool SimDevice::has_fault(FaultKind kind) const {
    return std::any_of(faults_.begin(), faults_.end(),
                       [kind](const Fault& fault) { return fault.kind == kind; });
}

bool SimDevice::take_fault(FaultKind kind, std::size_t request_index) {
    const LogEntry& request = log_[request_index];
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const Fault& fault = faults_[i];
        if (fired_[i] || fault.kind != kind || request_index < fault.at.value_or(0))
            continue;
        const bool first_download_only = kind == FaultKind::BadStatus && !fault.at;
        if (first_download_only && !is_request(request, kDfuRequestTypeOut, kDfuDnload))
            continue;
        if (!matches(kind, request))
            continue;
        fired_[i] = true;
        return true;
    }
    return false;
}

// ---- Bench: installation and devices

Bench& Bench::install() {
    g_bench = std::make_unique<Bench>();
    return *g_bench;
}

void Bench::uninstall() {
    g_bench.reset();
}

Bench* Bench::current() {
    return g_bench.get();
}

Bench::Bench() = default;
Bench::~Bench() = default;

void Bench::reset() {
    handles_.clear();
    bus_nodes_.clear();
    bus_list_ = nullptr;
    devices_.clear();
    observers_.clear();
    now_us_ = 0;
}

SimDevice& Bench::plug(int bus, int devnum, std::uint16_t vendor, std::uint16_t product,
                       const std::string& port) {
    const parts::Part* part = vendor == kAtmelVendorId ? part_with_product(product) : nullptr;
    return plug_device(bus, devnum, vendor, product, port, part);
}

SimDevice& Bench::plug(int bus, int devnum, const parts::Part& part, const std::string& port) {
    return plug_device(bus, devnum, kAtmelVendorId, part.product, port, &part);
}

SimDevice& Bench::plug(int bus, int devnum, const std::string& part, const std::string& port) {
    return plug(bus, devnum, part_named(part), port);
}

SimDevice& Bench::plug_device(int bus, int devnum, std::uint16_t vendor, std::uint16_t product,
                              const std::string& port, const parts::Part* part) {
    if (bus < kMinBusNumber || bus > kMaxBusNumber)
        throw std::invalid_argument("sim: bus number out of range: " + std::to_string(bus));
    if (devnum < kMinDevnum || devnum > kMaxDevnum)
        throw std::invalid_argument("sim: device number out of range: " + std::to_string(devnum));
    const SimDevice* present = find(bus, devnum);
    if (present && present->on_bus())
        throw std::invalid_argument("sim: address in use: " + present->name());
    forget_departed(bus, devnum);
    devices_.push_back(std::make_unique<SimDevice>(bus, devnum, vendor, product, port, part));
    SimDevice& device = *devices_.back();
    notify(&BenchObserver::device_plugged, device);
    return device;
}

// A long run plugs thousands of devices at a handful of addresses; the ones that left and
// that no handle still names are done with (their files were written when they left).
void Bench::forget_departed(int bus, int devnum) {
    auto done_with = [&](const std::unique_ptr<SimDevice>& device) {
        if (device->bus() != bus || device->devnum() != devnum || device->on_bus())
            return false;
        return std::none_of(handles_.begin(), handles_.end(),
                            [&](const auto& handle) { return handle->device == device.get(); });
    };
    for (const auto& device : devices_) {
        if (!done_with(device))
            continue;
        auto node = bus_nodes_.find(bus);
        if (node == bus_nodes_.end())
            continue;
        auto& entries = node->second.devices;
        entries.erase(
            std::remove_if(entries.begin(), entries.end(),
                           [&](const auto& entry) { return entry.first == device.get(); }),
            entries.end());
        link_bus_devices(node->second);
    }
    devices_.erase(std::remove_if(devices_.begin(), devices_.end(), done_with), devices_.end());
}

void Bench::unplug(SimDevice& device) {
    if (!device.on_bus_)
        return;
    device.on_bus_ = false;
    notify(&BenchObserver::device_left, device);
}

SimDevice* Bench::find(int bus, int devnum) {
    SimDevice* last = nullptr;
    for (const auto& device : devices_) {
        if (device->bus() != bus || device->devnum() != devnum)
            continue;
        if (device->on_bus())
            return device.get();
        last = device.get();
    }
    return last;
}

void Bench::add_observer(BenchObserver* observer) {
    observers_.push_back(observer);
}

void Bench::remove_observer(BenchObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

template <typename Event> void Bench::notify(Event event, SimDevice& device) {
    // An observer may add or remove observers while being told.
    const auto observers = observers_;
    for (BenchObserver* observer : observers)
        (observer->*event)(device);
}

// ---- Bench: bus lists

int Bench::find_busses() {
    int added = 0;
    for (const auto& device : devices_) {
        BusNode& node = bus_nodes_[device->bus()];
        if (node.bus)
            continue;
        node.bus = std::make_unique<usb_bus>();
        const std::string dirname = three_digits(device->bus());
        std::snprintf(node.bus->dirname, sizeof node.bus->dirname, "%s", dirname.c_str());
        ++added;
    }
    link_busses();
    return added;
}

void Bench::link_busses() {
    usb_bus* previous = nullptr;
    bus_list_ = nullptr;
    for (auto& [number, node] : bus_nodes_) {
        node.bus->prev = previous;
        node.bus->next = nullptr;
        if (previous)
            previous->next = node.bus.get();
        else
            bus_list_ = node.bus.get();
        previous = node.bus.get();
    }
}

int Bench::find_devices() {
    int changes = 0;
    for (auto& [number, node] : bus_nodes_)
        changes += sync_bus_devices(number, node);
    return changes;
}

// Keeps the nodes of devices still on the bus, as libusb does, so a client's
// usb_device pointers stay valid across rescans while their device is present.
int Bench::sync_bus_devices(int bus_number, BusNode& node) {
    std::vector<SimDevice*> present;
    for (const auto& device : devices_) {
        if (device->bus() == bus_number && device->on_bus())
            present.push_back(device.get());
    }
    std::sort(present.begin(), present.end(),
              [](const SimDevice* a, const SimDevice* b) { return a->devnum() < b->devnum(); });

    int changes = 0;
    decltype(node.devices) kept;
    for (SimDevice* device : present) {
        auto old = std::find_if(node.devices.begin(), node.devices.end(),
                                [device](const auto& entry) { return entry.first == device; });
        if (old != node.devices.end()) {
            kept.push_back(std::move(*old));
            continue;
        }
        auto dev = std::make_unique<struct usb_device>();
        std::snprintf(dev->filename, sizeof dev->filename, "%s",
                      three_digits(device->devnum()).c_str());
        dev->bus = node.bus.get();
        dev->devnum = static_cast<std::uint8_t>(device->devnum());
        dev->descriptor.bLength = kDeviceDescriptorLength;
        dev->descriptor.bDescriptorType = kDeviceDescriptorType;
        dev->descriptor.bcdUSB = kUsb2;
        dev->descriptor.bMaxPacketSize0 = static_cast<std::uint8_t>(
            device->flip() ? device->flip()->control_packet_size() : kOtherControlPacketSize);
        dev->descriptor.idVendor = device->vendor();
        dev->descriptor.idProduct = device->product();
        kept.emplace_back(device, std::move(dev));
        ++changes;
    }
    for (const auto& entry : node.devices)
        changes += entry.second ? 1 : 0; // the ones not moved into `kept` have left
    node.devices = std::move(kept);
    link_bus_devices(node);
    return changes;
}

void Bench::link_bus_devices(BusNode& node) {
    struct usb_device* previous = nullptr;
    node.bus->devices = nullptr;
    for (auto& entry : node.devices) {
        struct usb_device* dev = entry.second.get();
        dev->prev = previous;
        dev->next = nullptr;
        if (previous)
            previous->next = dev;
        else
            node.bus->devices = dev;
        previous = dev;
    }
}

// ---- Bench: handles and transfers

usb_dev_handle* Bench::open(struct usb_device* node) {
    for (auto& [number, bus] : bus_nodes_) {
        for (auto& [device, dev] : bus.devices) {
            if (dev.get() != node)
                continue;
            if (!device->on_bus() || device->has_fault(FaultKind::NoOpen))
                return nullptr;
            handles_.push_back(std::make_unique<usb_dev_handle>(usb_dev_handle{device, false}));
            return handles_.back().get();
        }
    }
    misuse("usb_open called with a device that is not in the current bus list");
}

SimDevice& Bench::device_of(usb_dev_handle* handle) {
    const bool known = std::any_of(handles_.begin(), handles_.end(),
                                   [handle](const auto& owned) { return owned.get() == handle; });
    if (!known)
        misuse("libusb stand-in called with a handle that is not open");
    return *handle->device;
}

int Bench::close(usb_dev_handle* handle) {
    SimDevice& device = device_of(handle);
    if (handle->claimed)
        misuse("usb_close with interface 0 still claimed");
    handles_.erase(std::find_if(handles_.begin(), handles_.end(),
                                [handle](const auto& owned) { return owned.get() == handle; }));
    notify(&BenchObserver::device_closed, device);
    return 0;
}

int Bench::check_present(usb_dev_handle* handle) {
    return device_of(handle).on_bus() ? 0 : -ENODEV;
}

int Bench::claim(usb_dev_handle* handle, int interface) {
    SimDevice& device = device_of(handle);
    if (interface != 0)
        return -EINVAL;
    if (!device.on_bus())
        return -ENODEV;
    const bool held_elsewhere = std::any_of(handles_.begin(), handles_.end(), [&](const auto& h) {
        return h.get() != handle && h->device == &device && h->claimed;
    });
    if (held_elsewhere || device.has_fault(FaultKind::Busy))
        return -EBUSY;
    handle->claimed = true;
    return 0;
}

int Bench::release(usb_dev_handle* handle, int interface) {
    SimDevice& device = device_of(handle);
    if (interface != 0 || !handle->claimed)
        return -EINVAL;
    handle->claimed = false;
    return device.on_bus() ? 0 : -ENODEV;
}

int Bench::control(usb_dev_handle* handle, int request_type, int request, int value, int index,
                   char* bytes, int size, int timeout_ms) {
    SimDevice& device = device_of(handle);
    if (!handle->claimed)
        misuse("usb_control_msg on a handle that has not claimed interface 0");
    tell_request_hook(RequestStage::Before);
    const bool was_on_bus = device.on_bus();
    LogEntry entry;
    entry.n = device.log_.size();
    entry.request_type = request_type;
    entry.request = request;
    entry.value = value;
    entry.index = index;
    entry.length = size;
    const bool arguments_ok = valid_arguments(entry, bytes);
    if (arguments_ok && !is_device_to_host(entry) && size > 0)
        entry.out.assign(bytes, bytes + size);
    device.log_.push_back(entry);
    for (const auto& [kind, signal] : kSignalFaults) {
        if (device.take_fault(kind, entry.n))
            std::raise(signal);
    }

    std::vector<std::uint8_t> in;
    const int result = arguments_ok ? carry_out(device, entry, in, timeout_ms) : -EINVAL;
    if (in.size() > static_cast<std::size_t>(std::max(size, 0)))
        misuse("device model replied with more bytes than the host asked for");
    if (result >= 0 && !in.empty())
        std::memcpy(bytes, in.data(), in.size());
    LogEntry& logged = device.log_.back();
    logged.in = std::move(in);
    logged.result = result;
    logged.busy_us = entry.busy_us;

    // Observers hear of a departure only once the request that saw it is logged.
    if (device.flip() && device.flip()->left_bus())
        device.on_bus_ = false;
    if (was_on_bus && !device.on_bus())
        notify(&BenchObserver::device_left, device);
    tell_request_hook(RequestStage::Answered);
    return result;
}

int Bench::carry_out(SimDevice& device, LogEntry& request, std::vector<std::uint8_t>& in,
                     int timeout_ms) {
    const std::size_t n = request.n;
    if (device.on_bus() && device.take_fault(FaultKind::Unplug, n))
        device.on_bus_ = false;
    if (!device.on_bus())
        return -ENODEV;
    if (device.take_fault(FaultKind::Timeout, n)) {
        advance_us(static_cast<std::uint64_t>(std::max(timeout_ms, 0)) *
                   kMicrosecondsPerMillisecond);
        return -ETIMEDOUT;
    }
    FlipDevice* flip = device.flip();
    if (!flip)
        return -EPIPE;
    if (device.take_fault(FaultKind::Stall, n)) {
        flip->fail(DfuStatus::ErrStalledPkt);
        return -EPIPE;
    }
    if (device.take_fault(FaultKind::BadStatus, n))
        flip->set_bad_status_at(n);
    return deliver(device, request, in);
}

// The part's busy time passes before the request returns, as the real part holds back the
// request's status stage (or its GETSTATUS) until it is done.
int Bench::deliver(SimDevice& device, LogEntry& request, std::vector<std::uint8_t>& in) {
    const std::size_t request_index = request.n;
    const Reply reply = device.flip()->handle(request_index, setup_of(request), request.out);
    request.busy_us = reply.busy_us;
    advance_us(reply.busy_us);
    switch (reply.outcome) {
    case Reply::Outcome::Gone:
        return -ENODEV;
    case Reply::Outcome::Stall:
        return -EPIPE;
    case Reply::Outcome::Ack:
        break;
    }
    if (!is_device_to_host(request))
        return request.length;
    in = reply.data;
    if (device.take_fault(FaultKind::Short, request_index))
        in.resize(in.size() / 2);
    if (device.take_fault(FaultKind::StatusLen, request_index))
        in.resize(std::min(in.size(), kShortStatusLength));
    return static_cast<int>(in.size());
}

void set_request_hook(void (*hook)(RequestStage stage)) {
    g_request_hook = hook;
}

// ---- Files

void write_device_files(const SimDevice& device, const std::string& dir) {
    const std::string stem = dir + "/" + device.name();
    if (const FlipDevice* flip = device.flip()) {
        write_file(stem + ".flash", as_string(flip->flash()));
        write_file(stem + ".eeprom", as_string(flip->eeprom()));
    }
    std::string log;
    for (const LogEntry& entry : device.log())
        log += format_log_line(entry) + "\n";
    write_file(stem + ".log", log);
}

} // namespace sim
