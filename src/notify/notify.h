// What the station tells systemd (a unit of Type=notify): that it is ready, how it stands after
// every device, and that its loop still runs. Outside systemd (no NOTIFY_SOCKET) it says nothing.
#pragma once

#include <string>

namespace notify {

// READY=1 with the first status line: the station waits for devices.
void ready(const std::string& status);
// STATUS=<text>, such as "Waiting (3 devices); last: 0x0123 ok".
void status(const std::string& text);
// WATCHDOG=1, when systemd asked for it (WatchdogSec=), at most twice per watchdog period.
void watchdog();
// STOPPING=1: the station is stopping of its own accord or on a signal.
void stopping();

} // namespace notify
