#include "udevwrapper.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {
constexpr int DECIMAL = 10;
constexpr int HEXADECIMAL = 16;
constexpr int UDEV_INIT_FAILED = 1;
const char ARRIVAL[] = "add";
} // namespace

UdevWrapper::UdevWrapper()
    : udev(nullptr), mon(nullptr), dev(nullptr), fd(-1), fds(), tv(), ret(), bus_num(), dev_num(),
      vend_num(), prod_num() {
    udev = udev_new();
    if (udev == nullptr) {
        std::cerr << "error: udev init" << std::endl;
        std::exit(UDEV_INIT_FAILED);
    }
    // udev's own stream delivers events once udev has set up the device node.
    mon = udev_monitor_new_from_netlink(udev, "udev");
    udev_monitor_filter_add_match_subsystem_devtype(mon, "usb", "usb_device");
    udev_monitor_enable_receiving(mon);
    fd = udev_monitor_get_fd(mon);
}

UdevWrapper::~UdevWrapper() {
    release_device();
    udev_monitor_unref(mon);
    udev_unref(udev);
}

void UdevWrapper::release_device() {
    if (dev != nullptr)
        udev_device_unref(dev);
    dev = nullptr;
}

// A device sends "bind" after "add", and "unbind" and "remove" when it leaves; these later
// events name its port, where by the time they are taken another device may sit.
bool UdevWrapper::is_arrival() const {
    const char* action = udev_device_get_action(dev);
    return action != nullptr && std::strcmp(action, ARRIVAL) == 0;
}

bool UdevWrapper::read_attributes() {
    const char* busnum = udev_device_get_sysattr_value(dev, "busnum");
    const char* devnum = udev_device_get_sysattr_value(dev, "devnum");
    const char* vendor = udev_device_get_sysattr_value(dev, "idVendor");
    const char* product = udev_device_get_sysattr_value(dev, "idProduct");
    if (busnum == nullptr || devnum == nullptr || vendor == nullptr || product == nullptr)
        return false;
    bus_num = std::strtol(busnum, nullptr, DECIMAL);
    dev_num = std::strtol(devnum, nullptr, DECIMAL);
    vend_num = std::strtol(vendor, nullptr, HEXADECIMAL);
    prod_num = std::strtol(product, nullptr, HEXADECIMAL);
    const char* sysname = udev_device_get_sysname(dev);
    port = sysname != nullptr ? sysname : "";
    return true;
}

bool UdevWrapper::poll(int /*delay_usec*/) {
    release_device();
    if (fd < 0)
        return false;
    for (;;) {
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        tv.tv_sec = 0;
        tv.tv_usec = 0;
        ret = select(fd + 1, &fds, nullptr, nullptr, &tv);
        if (ret > 0 && FD_ISSET(fd, &fds))
            dev = udev_monitor_receive_device(mon);
        if (dev == nullptr || is_arrival())
            break;
        release_device(); // only an arrival starts a pass
    }
    if (dev != nullptr && !read_attributes()) {
        bus_num = dev_num = vend_num = prod_num = 0;
        port.clear();
        release_device();
    }
    return dev != nullptr;
}
