// The line as the browser and Prometheus see it: read from the ledger, kept as ready texts.
#pragma once

#include "ledger.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace web {

struct LineTexts {
    std::string line_json;    // served at /api/line (docs/line-view.md)
    std::string metrics_text; // served at /metrics, Prometheus' text format
    int64_t read_ms = 0;      // when it was read, UTC milliseconds
};

struct LineFacts; // what one read gathers beside the counts (line_data.cpp)

// Reads the line through one reader connection (opened with open_read()).
class LineReader {
  public:
    explicit LineReader(ledger::Ledger& led) : led_(led) {}
    // Fills `out` as the ledger stands at now_ms. 0, or -1 with `error` set and `out` unchanged.
    int read(int64_t now_ms, LineTexts& out, std::string& error);

  private:
    // The passes of one station that ended ok or failed: how many, their time summed, how
    // many took at most each of the histogram's bounds, and when the latest ended.
    struct Passes {
        std::vector<int64_t> within;
        int64_t count = 0, sum_ms = 0, last_ended_ms = 0;
    };

    // Brings the counts up to date: every row once, from the ledger's tally at the first read,
    // then only the rows after the latest seen and the rows that were still 'started'. The
    // rows that ended at or after since_ms (at the first read) are counted by hour too.
    int count_rows(int64_t since_ms, std::string& error);
    void forget_before(int64_t since_ms);
    int64_t hour_of(int64_t ms) const;
    void take(const ledger::StateTally& t);
    void see(const ledger::AttemptRow& row);
    void count(const ledger::AttemptRow& row);
    int read_facts(int64_t now_ms, LineFacts& facts, std::string& error);
    std::string metrics_text(const LineFacts& facts) const;

    ledger::Ledger& led_;
    bool counted_ = false;
    int64_t last_row_id_ = 0;
    std::set<int64_t> started_; // seen 'started', counted when they end
    std::set<int64_t> recent_;  // the rows seen among the latest RECOUNT_WINDOW row_ids
    // Rows that are no longer 'started', by pool and station, then by state.
    std::map<std::pair<std::string, std::string>, std::map<std::string, int64_t>> results_;
    std::map<std::string, Passes> passes_; // by station
    // By pool: its latest row that asked for hard IDs, and that row's `from`.
    std::map<std::string, std::pair<int64_t, int>> asked_;
    // The rows that ended ok, by station, and failed, by station and message, then by hour
    // from hours_from_ms_ (a local hour's start) on: today's failures and the hourly chart.
    int64_t hours_from_ms_ = 0;
    std::map<std::string, std::map<int64_t, int64_t>> ok_by_hour_;
    std::map<std::pair<std::string, std::string>, std::map<int64_t, int64_t>> failed_by_hour_;
};

} // namespace web
