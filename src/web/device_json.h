// One device's history as /api/device/ID gives it: every attempt that involved the hard ID,
// its identity records decoded into their fields.
#pragma once

#include "ledger.h"

#include <string>
#include <vector>

namespace web {

// A hard ID as a page address names it: 0x and hex digits (either case), or decimal digits;
// from 0x1 to 0x1FFF. False for anything else.
bool parse_device_id(const std::string& text, int& hard_id);
// {"v":1,"hard_id":"0x01A2","attempts":[...]}, the rows in their order.
std::string device_json(int hard_id, const std::vector<ledger::AttemptRow>& rows);
// {"v":1,"error":"..."}
std::string error_json(const std::string& message);

} // namespace web
