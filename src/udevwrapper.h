// Watches udev for whole USB devices arriving, without ever blocking.
#pragma once

#include <libudev.h>
#include <sys/select.h>
#include <sys/time.h>

#include <string>

struct UdevWrapper {
    struct udev* udev;
    struct udev_monitor* mon;
    struct udev_device* dev;
    int fd;
    fd_set fds;
    timeval tv;
    int ret;
    int bus_num;
    int dev_num;
    int vend_num;
    int prod_num;
    std::string port; // udev's name for the device, such as 1-1.4

    // Ends the program with status 1 when udev cannot be initialised.
    UdevWrapper();
    ~UdevWrapper();
    UdevWrapper(const UdevWrapper&) = delete;
    UdevWrapper& operator=(const UdevWrapper&) = delete;

    // Takes pending events up to the next arrival ("add"), passing over a device's other
    // events (bind, unbind, remove); true when that arrival names a device whose attributes
    // could be read, which the four numbers then describe. ret > 0 after false: an event was
    // taken that gave no device.
    bool poll(int delay_usec);

  private:
    bool is_arrival() const;
    bool read_attributes();
    void release_device();
};
