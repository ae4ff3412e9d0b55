#include "notify.h"

#include <systemd/sd-daemon.h>

#include <time.h>

#include <cstdint>

namespace notify {

namespace {

constexpr uint64_t USEC_PER_SEC = 1000000;
constexpr uint64_t NSEC_PER_USEC = 1000;
// systemd's advice: notify at half the period, so that one late ping does not kill the station.
constexpr uint64_t PINGS_PER_PERIOD = 2;

uint64_t monotonic_usec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * USEC_PER_SEC +
           static_cast<uint64_t>(now.tv_nsec) / NSEC_PER_USEC;
}

} // namespace

void ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void status(const std::string& text) {
    sd_notifyf(0, "STATUS=%s", text.c_str());
}

void watchdog() {
    // The period is read every time, as systemd may change it (sd_notify WATCHDOG_USEC=).
    uint64_t period = 0;
    if (sd_watchdog_enabled(0, &period) <= 0)
        return;
    static uint64_t last = 0;
    uint64_t now = monotonic_usec();
    if (last != 0 && now - last < period / PINGS_PER_PERIOD)
        return;
    last = now;
    sd_notify(0, "WATCHDOG=1");
}

void stopping() {
    sd_notify(0, "STOPPING=1");
}

} // namespace notify
