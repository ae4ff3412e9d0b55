// The station's side of the command run after each programmed device (--after): what it tells
// the command, what it shows the operator, and the test's status, time and results it keeps.
#pragma once

#include "korvofw.h"

struct KorvoDfu;
struct StationLedger;
struct UdevWrapper;

// Runs the command for the device the pass just programmed (it runs its application now) and
// writes the test into the device's ledger row when there is a ledger. `passed`: the device
// passed its test. Tells the event stream (test.ended). 0, or STOP_STATION after saying why
// the station must stop.
int test_device(RunConfig& cfg, const UdevWrapper& device, const KorvoDfu& loader,
                StationLedger* sl, bool& passed);
