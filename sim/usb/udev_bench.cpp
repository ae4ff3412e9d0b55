#include "udev_bench.h"

#include <array>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

// libudev declares these only; the arrival-event layer owns every one it hands out.
struct udev {
    int refs = 1;
};

struct udev_monitor {
    struct Filter {
        std::string subsystem;
        std::string devtype; // empty: any
    };

    int refs = 1;
    int fd = -1;
    bool receiving = false;
    std::vector<Filter> filters;
    std::deque<sim::UdevEvent> queue;
};

struct udev_device {
    int refs = 1;
    sim::UdevEvent event;
};

namespace sim {
namespace {

constexpr char kSubsystemUsb[] = "usb";
constexpr char kDevtypeDevice[] = "usb_device";
constexpr char kDevtypeInterface[] = "usb_interface";
constexpr char kActionAdd[] = "add";
constexpr char kActionBind[] = "bind";
constexpr char kActionUnbind[] = "unbind";
constexpr char kActionRemove[] = "remove";
constexpr char kUdevStream[] = "udev";
constexpr char kKernelStream[] = "kernel";
constexpr std::uint64_t kOneEvent = 1;

std::unique_ptr<UdevBench> g_udev;
void (*g_installer)() = nullptr;
bool g_installer_ran = false;

[[noreturn]] void misuse(const char* what) {
    std::fprintf(stderr, "korvofw sim: %s\n", what);
    std::abort();
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

bool matches(const udev_monitor& monitor, const UdevEvent& event) {
    if (monitor.filters.empty())
        return true;
    return std::any_of(monitor.filters.begin(), monitor.filters.end(), [&](const auto& filter) {
        return filter.subsystem == event.subsystem &&
               (filter.devtype.empty() || filter.devtype == event.devtype);
    });
}

UdevEvent device_event(SimDevice& device, const char* action, const char* devtype) {
    UdevEvent event;
    event.action = action;
    event.subsystem = kSubsystemUsb;
    event.devtype = devtype;
    event.sysname = device.port();
    event.device = &device;
    return event;
}

// The order in which `noattr@k` counts a device's attributes.
const std::array<const char*, 4> kAttributeOrder = {"busnum", "devnum", "idVendor", "idProduct"};

// What sysfs shows for a whole device while it is there.
std::map<std::string, std::string> device_attributes(const SimDevice& device) {
    return {{"busnum", std::to_string(device.bus())},
            {"devnum", std::to_string(device.devnum())},
            {"idVendor", hex4(device.vendor())},
            {"idProduct", hex4(device.product())}};
}

template <typename Object>
Object& checked_in(const std::map<Object*, std::unique_ptr<Object>>& owned, Object* object,
                   const char* what) {
    if (owned.find(object) == owned.end())
        misuse(what);
    return *object;
}

} // namespace

// ---- installation

UdevBench& UdevBench::install() {
    g_udev.reset();
    g_udev.reset(new UdevBench(Bench::install()));
    return *g_udev;
}

void UdevBench::uninstall() {
    g_udev.reset();
    Bench::uninstall();
}

UdevBench* UdevBench::current() {
    if (!g_udev && g_installer && !g_installer_ran) {
        g_installer_ran = true;
        g_installer();
    }
    // A Bench installed or removed behind this layer's back leaves it stale.
    if (g_udev && &g_udev->bench_ != Bench::current())
        return nullptr;
    return g_udev.get();
}

void UdevBench::set_installer(void (*installer)()) {
    g_installer = installer;
}

UdevBench::UdevBench(Bench& bench) : bench_(bench) {
    bench_.add_observer(this);
}

// The Bench goes with this layer, so there is no observer to remove.
UdevBench::~UdevBench() {
    for (const auto& [pointer, monitor] : monitors_)
        ::close(monitor->fd);
}

// ---- events

bool UdevBench::all_events_taken() const {
    return std::all_of(monitors_.begin(), monitors_.end(), [](const auto& entry) {
        return !entry.second->receiving || entry.second->queue.empty();
    });
}

// The kernel binds the device to its generic driver once the device and its interfaces are
// added, and unbinds it once the interfaces are gone.
void UdevBench::device_plugged(SimDevice& device) {
    publish(device_event(device, kActionAdd, kDevtypeDevice));
    publish(device_event(device, kActionAdd, kDevtypeInterface));
    publish(device_event(device, kActionBind, kDevtypeDevice));
}

void UdevBench::device_left(SimDevice& device) {
    publish(device_event(device, kActionRemove, kDevtypeInterface));
    publish(device_event(device, kActionUnbind, kDevtypeDevice));
    publish(device_event(device, kActionRemove, kDevtypeDevice));
}

void UdevBench::publish(const UdevEvent& event) {
    stream_.push_back(event);
    // Only the recent past is kept, so a run of thousands of devices stays small.
    if (stream_.size() > 2 * kStreamHistory)
        stream_.erase(stream_.begin(), stream_.end() - kStreamHistory);
    for (auto& [pointer, monitor] : monitors_) {
        if (!monitor->receiving || !matches(*monitor, event))
            continue;
        monitor->queue.push_back(event);
        if (::write(monitor->fd, &kOneEvent, sizeof kOneEvent) != sizeof kOneEvent)
            misuse("cannot signal a monitor's event fd");
    }
}

// ---- contexts

udev* UdevBench::new_context() {
    if (udev_new_fails_) {
        errno = ENOMEM;
        return nullptr;
    }
    auto context = std::make_unique<udev>();
    udev* pointer = context.get();
    contexts_.emplace(pointer, std::move(context));
    return pointer;
}

udev& UdevBench::checked(udev* context) {
    return checked_in(contexts_, context, "libudev stand-in called with a udev that is not live");
}

udev* UdevBench::ref(udev* context) {
    if (context)
        ++checked(context).refs;
    return context;
}

udev* UdevBench::unref(udev* context) {
    if (context && --checked(context).refs == 0)
        contexts_.erase(context);
    return nullptr;
}

// ---- monitors

udev_monitor* UdevBench::new_monitor(udev* context, const char* name) {
    checked(context);
    if (!name || (std::strcmp(name, kUdevStream) != 0 && std::strcmp(name, kKernelStream) != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    auto monitor = std::make_unique<udev_monitor>();
    // Semaphore mode: each read takes one event's worth, so readability tracks the queue.
    monitor->fd = ::eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    if (monitor->fd < 0)
        return nullptr;
    udev_monitor* pointer = monitor.get();
    monitors_.emplace(pointer, std::move(monitor));
    return pointer;
}

udev_monitor& UdevBench::checked(udev_monitor* monitor) {
    return checked_in(monitors_, monitor,
                      "libudev stand-in called with a monitor that is not live");
}

udev_monitor* UdevBench::ref(udev_monitor* monitor) {
    if (monitor)
        ++checked(monitor).refs;
    return monitor;
}

udev_monitor* UdevBench::unref(udev_monitor* monitor) {
    if (monitor && --checked(monitor).refs == 0) {
        ::close(monitor->fd);
        monitors_.erase(monitor);
    }
    return nullptr;
}

int UdevBench::add_filter(udev_monitor* monitor, const char* subsystem, const char* devtype) {
    if (!monitor || !subsystem)
        return -EINVAL;
    checked(monitor).filters.push_back({subsystem, devtype ? devtype : ""});
    return 0;
}

int UdevBench::enable_receiving(udev_monitor* monitor) {
    if (!monitor)
        return -EINVAL;
    checked(monitor).receiving = true;
    return 0;
}

int UdevBench::fd_of(udev_monitor* monitor) {
    if (!monitor)
        return -EINVAL;
    return checked(monitor).fd;
}

udev_device* UdevBench::receive(udev_monitor* monitor) {
    if (!monitor) {
        errno = EINVAL;
        return nullptr;
    }
    udev_monitor& source = checked(monitor);
    if (source.queue.empty()) {
        errno = EAGAIN;
        return nullptr;
    }
    std::uint64_t taken = 0;
    if (::read(source.fd, &taken, sizeof taken) != sizeof taken)
        misuse("a monitor's event fd is out of step with its queue");

    auto record = std::make_unique<udev_device>();
    record->event = source.queue.front();
    source.queue.pop_front();
    read_attributes(record->event);
    apply_faults(record->event);
    udev_device* pointer = record.get();
    records_.emplace(pointer, std::move(record));
    return pointer;
}

// The event's own device when it is still there, else whichever device is on its port now. The
// event's device is not looked into: a departed one may have been forgotten since.
void UdevBench::read_attributes(UdevEvent& taken) const {
    if (taken.devtype != kDevtypeDevice)
        return;
    const SimDevice* there = nullptr;
    for (const auto& device : bench_.devices()) {
        if (device->on_bus() && device->port() == taken.sysname &&
            (there == nullptr || device.get() == taken.device))
            there = device.get();
    }
    if (there != nullptr)
        taken.attributes = device_attributes(*there);
}

void UdevBench::apply_faults(UdevEvent& taken) {
    if (taken.action != kActionAdd || taken.devtype != kDevtypeDevice)
        return;
    SimDevice& device = *taken.device;
    for (const Fault& fault : device.faults()) {
        if (fault.kind != FaultKind::NoAttr)
            continue;
        if (!fault.at) {
            taken.attributes.clear();
        } else if (*fault.at < kAttributeOrder.size()) {
            taken.attributes.erase(kAttributeOrder[*fault.at]);
        }
    }
    if (device.has_fault(FaultKind::Gone) && device.on_bus())
        bench_.unplug(device);
}

// ---- records

udev_device& UdevBench::checked(udev_device* record) {
    return checked_in(records_, record,
                      "libudev stand-in called with a device record that is not live");
}

udev_device* UdevBench::ref(udev_device* record) {
    if (record)
        ++checked(record).refs;
    return record;
}

udev_device* UdevBench::unref(udev_device* record) {
    if (record && --checked(record).refs == 0)
        records_.erase(record);
    return nullptr;
}

const char* UdevBench::attribute(udev_device* record, const char* name) {
    if (!record || !name) {
        errno = EINVAL;
        return nullptr;
    }
    const auto& attributes = checked(record).event.attributes;
    const auto found = attributes.find(name);
    if (found == attributes.end()) {
        errno = ENOENT;
        return nullptr;
    }
    return found->second.c_str();
}

const char* UdevBench::action(udev_device* record) {
    return record ? checked(record).event.action.c_str() : nullptr;
}

const char* UdevBench::subsystem(udev_device* record) {
    return record ? checked(record).event.subsystem.c_str() : nullptr;
}

const char* UdevBench::devtype(udev_device* record) {
    return record ? checked(record).event.devtype.c_str() : nullptr;
}

const char* UdevBench::sysname(udev_device* record) {
    return record ? checked(record).event.sysname.c_str() : nullptr;
}

} // namespace sim
