// The station's events: what it tells the event stream at start, for every device and every
// phase of its pass, and when it stops.
#pragma once

#include "korvodfu.h"
#include "korvofw.h"

#include <string>

struct UdevWrapper;

// What became of one device, for its device.ended event.
struct DeviceOutcome {
    bool pass_ran = false; // result holds the pass's PassResult
    int result = 0;
    std::string message; // as the operator saw it: the pass's result, or why none ran
    ByteBuffer record_read;
    ByteBuffer record_written;
    int64_t erase_ms = -1;
    int64_t flash_ms = -1;
    int64_t eeprom_ms = -1;
    // The device's ledger row, once the ledger took the device (even while its outcome is
    // still pending); 0: none.
    int64_t row = 0;

    // The pass's result and what the loader kept of it.
    void take(const KorvoDfu& loader, int rval);
};

// Tells the event stream of every phase of a pass, and keeps the service manager's watchdog
// fed while a pass takes long.
struct PassWatch : PassObserver {
    RunConfig& cfg;
    const UdevWrapper& device;
    PassWatch(RunConfig& run, const UdevWrapper& dev) : cfg(run), device(dev) {}
    void phase(const PassPhase& phase) override;
};

void station_started(RunConfig& cfg);
void device_arrived(RunConfig& cfg, const UdevWrapper& device);
// counted: the device counts in "Waiting (N devices)".
void device_ended(RunConfig& cfg, const UdevWrapper& device, const DeviceOutcome& outcome,
                  bool counted);
void station_stopping(RunConfig& cfg, const char* reason, int status);
