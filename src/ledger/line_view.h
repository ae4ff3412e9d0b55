// The view of the line that korvofw-ledger watch shows: one line per station, read from the
// ledger only.
#pragma once

#include "ledger.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ledger {

// One station's line: what stations() read, and the next hard ID of its pool from the `from`
// of its latest row (from_id 0: it asked for none, and next and left mean nothing).
struct ViewLine {
    StationNow now;
    int next = 0, left = 0;
};

// The local midnight that began the day of `now_ms` (milliseconds since the epoch, UTC).
int64_t local_midnight_ms(int64_t now_ms);

// Every station with its devices since local midnight, and its pool's next hard ID.
// 0, or -1 with `error` set.
int read_view(Ledger& led, int64_t now_ms, std::vector<ViewLine>& out, std::string& error);

// The view's text: a header and one line per station, each ending in '\n'. A station whose
// last device failed stands out: in red with `colour` (ANSI escapes, reset at the line's end),
// else with a leading '!'. Times are local; a day other than today's shows its date.
std::string render_view(const std::vector<ViewLine>& lines, int64_t now_ms, bool colour);

} // namespace ledger
