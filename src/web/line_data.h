// The line as the browser and Prometheus see it: read from the ledger, kept as ready texts.
#pragma once

#include "ledger.h"

#include <cstdint>
#include <string>

namespace web {

struct LineTexts {
    std::string line_json;    // served at /api/line (docs/line-view.md)
    std::string metrics_text; // served at /metrics, Prometheus' text format
    int64_t read_ms = 0;      // when it was read, UTC milliseconds
};

// Reads the line through one reader connection (opened with open_read()).
class LineReader {
  public:
    explicit LineReader(ledger::Ledger& led) : led_(led) {}
    // Fills `out` as the ledger stands at now_ms. 0, or -1 with `error` set and `out` unchanged.
    int read(int64_t now_ms, LineTexts& out, std::string& error);

  private:
    ledger::Ledger& led_;
};

} // namespace web
