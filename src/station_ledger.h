// The station's side of the device ledger: each device's row and hard ID drawn before its
// pass, its outcome written after it, and no device programmed while the ledger is out of reach.
#pragma once

#include "events.h"
#include "korvofw.h"
#include "ledger.h"

#include <memory>
#include <string>

struct KorvoDfu;
struct UdevWrapper;

struct StationLedger {
    std::unique_ptr<ledger::Ledger> db;
    int from = -1; // the lowest hard ID handed out (-I); 0 or below: none
    // The outcome of the last pass, until the ledger has taken it.
    bool pending = false;
    bool test_pending = false; // the test of the last device (--after), until the ledger has it
    ledger::Attempt attempt;
    ledger::IdFate fate = ledger::ID_RELEASED;
    int left = -1; // hard IDs left after the last device; -1: not known
    // Told of every ledger failure (ledger.failed), with the location as it may be shown.
    events::EventStream* events = nullptr;
    std::string shown;
};

// A pass's result as the ledger keeps it and the operator reads it: "programmed", or the fault.
const char* pass_message(int rval);

// Hard IDs left from which every device says how many remain.
constexpr int FEW_IDS_LEFT = 100;
// The ledger lost rows this station wrote: its hard IDs could repeat, so the station stops.
constexpr int STOP_STATION = -2;

// Opens the ledger the options name: 0, or -1 after saying why.
int open_station_ledger(const RunConfig& cfg, StationLedger& sl);
// Before a pass: writes a pending outcome, then the device's row and, when hard IDs are
// handed out, reserves the next one into cfg.hard_id_set. 0 when the device may be
// programmed, ledger::NO_ID_LEFT, -1 after saying why it may not, or STOP_STATION after
// saying why the station must stop.
int begin_device(StationLedger& sl, RunConfig& cfg, const UdevWrapper& device);
// After the pass: completes the row, uses up or releases its hard ID, and puts the ID the
// ledger hands out next into cfg.hard_id_set. A failure keeps the outcome pending. 0, or
// STOP_STATION after saying why the station must stop.
int end_device(StationLedger& sl, RunConfig& cfg, const KorvoDfu& loader, int rval,
               int hard_id_before);
// After the device's test (attempt.test_* set): writes it into the device's row; a failure
// keeps it pending, like an outcome. 0, or STOP_STATION after saying why the station must stop.
int end_test(StationLedger& sl);
// From FEW_IDS_LEFT on, how many hard IDs the pool has left.
void report_ids_left(const StationLedger& sl, const RunConfig& cfg);
// While the station waits: writes a pending outcome as soon as the ledger takes it, so
// that a station stopped before the next device leaves no device without its outcome. 0, or
// STOP_STATION after saying why the station must stop.
int retry_pending(StationLedger& sl);
