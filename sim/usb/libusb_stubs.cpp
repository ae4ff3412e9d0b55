// Link-time stand-ins for libusb 0.1: the program under test talks to the
// simulated bench through exactly the calls it makes on a real line.
#include "bench.h"

#include <usb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kErrorTextSize = 128;
char g_error_text[kErrorTextSize] = "no error";

sim::Bench& bench() {
    sim::Bench* bench = sim::Bench::current();
    if (!bench) {
        std::fprintf(stderr,
                     "korvofw sim: libusb stand-in called with no simulated bench installed\n");
        std::abort();
    }
    return *bench;
}

// libusb 0.1 keeps the text of the last failure for usb_strerror.
int remember(int result) {
    if (result < 0)
        std::snprintf(g_error_text, sizeof g_error_text, "simulated: %s", std::strerror(-result));
    return result;
}

} // namespace

extern "C" {

void usb_init(void) {
    bench();
}

int usb_find_busses(void) {
    return bench().find_busses();
}

int usb_find_devices(void) {
    return bench().find_devices();
}

struct usb_bus* usb_get_busses(void) {
    return bench().busses();
}

usb_dev_handle* usb_open(struct usb_device* dev) {
    return bench().open(dev);
}

int usb_close(usb_dev_handle* dev) {
    return bench().close(dev);
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout) {
    return remember(bench().control(dev, requesttype, request, value, index, bytes, size, timeout));
}

// Configuration calls have no effect on the simulated device but fail like the real ones
// once it has left the bus.
int usb_set_configuration(usb_dev_handle* dev, int) {
    return remember(bench().check_present(dev));
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
    return remember(bench().claim(dev, interface));
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
    return remember(bench().release(dev, interface));
}

int usb_set_altinterface(usb_dev_handle* dev, int) {
    return remember(bench().check_present(dev));
}

char* usb_strerror(void) {
    bench();
    return g_error_text;
}

} // extern "C"
