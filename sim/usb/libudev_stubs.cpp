// Link-time stand-ins for libudev: the program under test watches the simulated
// bench's arrival events through exactly the calls it makes on a real line.
#include "udev_bench.h"

#include <libudev.h>

#include <cstdio>
#include <cstdlib>

namespace {

sim::UdevBench& udev_bench() {
    sim::UdevBench* bench = sim::UdevBench::current();
    if (!bench) {
        std::fprintf(stderr,
                     "korvofw sim: libudev stand-in called with no simulated bench installed\n");
        std::abort();
    }
    return *bench;
}

} // namespace

extern "C" {

struct udev* udev_new(void) {
    return udev_bench().new_context();
}

struct udev* udev_ref(struct udev* udev) {
    return udev_bench().ref(udev);
}

struct udev* udev_unref(struct udev* udev) {
    return udev_bench().unref(udev);
}

struct udev_monitor* udev_monitor_new_from_netlink(struct udev* udev, const char* name) {
    return udev_bench().new_monitor(udev, name);
}

struct udev_monitor* udev_monitor_ref(struct udev_monitor* udev_monitor) {
    return udev_bench().ref(udev_monitor);
}

struct udev_monitor* udev_monitor_unref(struct udev_monitor* udev_monitor) {
    return udev_bench().unref(udev_monitor);
}

int udev_monitor_filter_add_match_subsystem_devtype(struct udev_monitor* udev_monitor,
                                                    const char* subsystem, const char* devtype) {
    return udev_bench().add_filter(udev_monitor, subsystem, devtype);
}

int udev_monitor_enable_receiving(struct udev_monitor* udev_monitor) {
    return udev_bench().enable_receiving(udev_monitor);
}

int udev_monitor_get_fd(struct udev_monitor* udev_monitor) {
    return udev_bench().fd_of(udev_monitor);
}

struct udev_device* udev_monitor_receive_device(struct udev_monitor* udev_monitor) {
    return udev_bench().receive(udev_monitor);
}

struct udev_device* udev_device_ref(struct udev_device* udev_device) {
    return udev_bench().ref(udev_device);
}

struct udev_device* udev_device_unref(struct udev_device* udev_device) {
    return udev_bench().unref(udev_device);
}

const char* udev_device_get_sysattr_value(struct udev_device* udev_device, const char* sysattr) {
    return udev_bench().attribute(udev_device, sysattr);
}

const char* udev_device_get_action(struct udev_device* udev_device) {
    return udev_bench().action(udev_device);
}

const char* udev_device_get_subsystem(struct udev_device* udev_device) {
    return udev_bench().subsystem(udev_device);
}

const char* udev_device_get_devtype(struct udev_device* udev_device) {
    return udev_bench().devtype(udev_device);
}

const char* udev_device_get_sysname(struct udev_device* udev_device) {
    return udev_bench().sysname(udev_device);
}

} // extern "C"
