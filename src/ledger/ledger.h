// The device ledger: one row per device attempt, and the hard IDs that stations share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ledger {

constexpr int HARD_ID_FIRST = 1;     // 0 is never put into a record
constexpr int HARD_ID_LAST = 0x1FFF; // hard IDs are 13 bits
constexpr int NO_ID_LEFT = 1;        // begin(): no free hard ID in the pool at or above `from`
constexpr int ROW_LOST = 2;          // finish(): the row begin() wrote is not in the ledger
constexpr int SCHEMA_VERSION = 4;    // the layout this program writes and reads
enum IdFate { ID_USED, ID_RELEASED };

// One device attempt: one row, written 'started' before the pass and completed after it.
// begin() writes the identity values and what is known at arrival; finish() writes the rest.
struct Attempt {
    int64_t row_id = 0;                   // set by begin()
    int64_t arrived_ms = 0, ended_ms = 0; // UTC, milliseconds since the epoch
    int bus = 0, devnum = 0;
    std::string port; // udev's name for the device, such as 1-1.4
    std::string part; // the part the station programs, such as atxmega32a4u
    std::string flash_path;
    std::string image_sha256; // 64 lower-case hex digits
    int64_t image_length = 0;
    int hard_id = -1, soft_id = -1, rxaddr = -1; // as put into the record; 0 or below: none
    std::vector<uint8_t> record_read, record_written;
    int result = 0;                      // the pass's result code (0 ok, negative failure)
    std::string message;                 // the pass's message
    int64_t flash_ms = 0, eeprom_ms = 0; // time spent in the flash and EEPROM phases
    int64_t erase_ms = -1;               // time spent in the chip erase; -1: the pass erased none
    // The test run after a pass that returned 0 (korvofw --after); written by record_test().
    std::string test_status;  // passed, exit status N, signal N, time limit of S s; empty: none
    int64_t test_ms = -1;     // how long it ran
    std::string test_results; // its key=value results as a JSON object, in the order printed
};

// An attempt as the ledger holds it.
struct AttemptRow : Attempt {
    std::string station, pool;
    std::string state;    // started, ok, failed, interrupted
    std::string id_state; // of its hard ID: reserved, used, released, uncertain; empty: none
    int from_id = 0;      // the lowest hard ID the station asked for; 0: none asked
    bool finished() const { return state == "ok" || state == "failed"; }
    bool tested() const { return !test_status.empty(); }
    bool test_failed() const { return tested() && test_status != "passed"; }
};

// Devices per pool, station and part, for the summary.
struct StationCounts {
    std::string pool, station, part;
    int64_t ok = 0, failed = 0, interrupted = 0, started = 0;
    int64_t tested = 0, test_failed = 0;
    int from_id = 0; // the `from` of its latest attempt that asked for hard IDs; 0: none
};

// A station as the line's view shows it: its latest rows and its devices since a moment.
struct StationNow {
    std::string station;
    bool running = false;                // a station of this name holds the name now
    AttemptRow latest;                   // its latest row
    AttemptRow last_done;                // its latest row that is not 'started'; row_id 0: none
    int64_t ok = 0, failed = 0;          // rows that ended ok or failed at or after `since`
    int64_t tested = 0, test_failed = 0; // of those, the ones tested, and failed their test
};

// Rows of one pool, station and state, counted at once (tally()).
struct StateTally {
    std::string pool, station, state;
    int64_t period = -1; // of rows that ended since tally()'s since_ms: their period; else -1
    std::string message; // of failed rows in a period: their message
    int64_t rows = 0;
    int64_t last_row_id = 0; // the highest row_id among them
    // Of the rows that ended ok or failed: ended_ms - arrived_ms summed, the latest ended_ms,
    // and for each of tally()'s bounds how many took at most that long.
    int64_t duration_ms = 0, last_ended_ms = 0;
    std::vector<int64_t> within;
    int64_t asked_row_id = 0; // the latest of them that asked for hard IDs; 0: none did
    int asked_from = 0;       // that row's `from`
};

enum RowSet { ALL_ROWS, ROWS_OF_HARD_ID, UNCERTAIN_ROWS };
using RowSink = std::function<void(const AttemptRow&)>;

class Ledger {
  public:
    virtual ~Ledger() = default;
    // Creates the ledger: the SQLite file or the schema in an existing PostgreSQL database.
    // On a ledger that exists it changes nothing but an older schema, which it upgrades.
    // `said`: what it made, upgraded or found, for the operator. Takes no station name. 0, or
    // -1 with `error` set.
    virtual int init(std::string& said, std::string& error) = 0;
    // Connects, checks the schema (with its version; an older one it upgrades, see
    // upgraded()) and creates nothing (a ledger is made by init() alone), takes this station's
    // name (refuses when a station of that name runs), then marks this station's reserved hard
    // IDs 'uncertain' and its 'started' rows 'interrupted'. 0, or -1 with `error` set.
    virtual int open(std::string& error) = 0;
    // For reports: connects and checks the schema, creates nothing, takes no station name
    // and marks nothing; refuses an older schema, which only a writer upgrades. Only the read
    // calls below may follow. 0, or -1 with `error` set.
    virtual int open_read(std::string& error) = 0;
    // What the last open() or init() upgraded, for the operator; empty when it upgraded nothing.
    virtual std::string upgraded() const = 0;
    // One transaction: when from > 0, reserves the lowest hard ID of the pool that is >= from,
    // <= HARD_ID_LAST and neither used, reserved nor uncertain, for this station and this
    // attempt, and puts it in a.hard_id; writes the 'started' row and sets a.row_id.
    // 0; NO_ID_LEFT (nothing written); -1 with `error` set.
    virtual int begin(Attempt& a, int from, std::string& error) = 0;
    // One transaction: completes the row a.row_id (state 'ok' when a.result == 0, else
    // 'failed') and marks the hard ID its begin() reserved used or releases it (a released ID
    // is free again). Calling it again with the same values changes nothing more. 0; ROW_LOST
    // (with `error` set) when the row is not there: the ledger lost rows this station wrote;
    // -1 with `error` set.
    virtual int finish(const Attempt& a, IdFate fate, std::string& error) = 0;
    // Writes the test's status, time and results (a.test_*) into the finished row a.row_id;
    // the hard ID is the pass's alone, the test changes nothing of it. Calling it again with
    // the same values changes nothing more. 0; ROW_LOST as for finish(); -1 with `error` set.
    virtual int record_test(const Attempt& a, std::string& error) = 0;
    // The hard ID begin(from) would hand out now (HARD_ID_LAST + 1 when none) and how many
    // are left in [from, HARD_ID_LAST]; -1 with `error` set.
    virtual int peek(int from, int& next, int& left, std::string& error) = 0;
    // The same for another pool, for reports.
    virtual int peek_pool(const std::string& pool, int from, int& next, int& left,
                          std::string& error) = 0;
    // Counts per pool, station and part, in that order.
    virtual int counts(std::vector<StationCounts>& out, std::string& error) = 0;
    // The rows of a set in row order; hard_id selects ROWS_OF_HARD_ID's rows (any pool).
    virtual int rows(RowSet set, int hard_id, const RowSink& sink, std::string& error) = 0;
    // Every station of the ledger, ordered by name: its latest rows, its devices that ended
    // at or after since_ms, and whether it runs now. Reads a few rows per station and the
    // rows that ended since since_ms, not every row.
    virtual int stations(int64_t since_ms, std::vector<StationNow>& out, std::string& error) = 0;

    // For the line's page and metrics (korvofw-ledger serve): the rows asked for, by the
    // primary key; and tally(), which reads every row once.
    // The latest `count` rows, newest first.
    virtual int latest_rows(int count, const RowSink& sink, std::string& error) = 0;
    // The rows after row_id, in row order.
    virtual int rows_after(int64_t row_id, const RowSink& sink, std::string& error) = 0;
    // The rows of these row_ids that the ledger holds, in row order.
    virtual int rows_with_ids(const std::vector<int64_t>& row_ids, const RowSink& sink,
                              std::string& error) = 0;
    // Every row counted in one snapshot: one tally per pool, station and state of the rows no
    // longer 'started', and one of each 'started' row and each of the latest `alone` rows
    // (rows 1, last_row_id its row_id), so that a count kept up to date by rows_after() and
    // rows_with_ids() knows which rows it counted. Rows that ended at or after since_ms are
    // tallied by period of span_ms from since_ms too, and failed ones by message.
    // bounds_ms: ascending durations, one per StateTally::within. Reads every row: once, not at
    // each refresh.
    virtual int tally(const std::vector<int64_t>& bounds_ms, int64_t alone, int64_t since_ms,
                      int64_t span_ms, std::vector<StateTally>& out, std::string& error) = 0;
};

// Every call that fails after open() leaves the ledger to reconnect at the next call: it
// connects again and takes the station's name again, without marking anything. A call whose
// first statement finds the connection broken (PostgreSQL: the server restarted since the last
// call) does so at once and is tried once more: nothing of it had reached the ledger.

// "postgresql://..." or "postgres://..." (libpq URIs) give PostgreSQL; anything else is an
// SQLite file path. What is neither (see location_refused()) is refused when it is opened.
std::unique_ptr<Ledger> make_ledger(const std::string& location, const std::string& station,
                                    const std::string& pool);
// The location as it may be shown: a URI's password (user:PASSWORD@ or password=...) removed.
std::string shown_location(const std::string& location);
// Text with every occurrence of the location's password replaced, for messages from a server
// or library that might echo it.
std::string without_password(const std::string& text, const std::string& location);
// Text from the ledger as a terminal may show it: a control character (an escape sequence in a
// station's name, a newline) becomes '?'.
std::string printable(const std::string& text);
std::string sha256_hex(const uint8_t* data, size_t length);
// Milliseconds since the epoch, UTC.
int64_t now_ms();
// 2024-05-01T12:00:00.123Z
std::string utc_text(int64_t ms);
// One CSV text field as RFC 4180 wants it: quoted when it holds a comma, quote, CR or LF.
// Text that begins with '=', '+', '-', '@', a tab or a CR gets a leading "'", so that a
// spreadsheet takes it for text, not for a formula.
std::string csv_field(const std::string& text);
// The export's header line and one row's line, each ending in CRLF. An outcome field of a row
// that never finished, and the erase time of a pass that erased nothing, are empty.
std::string csv_header();
std::string csv_line(const AttemptRow& row);
std::string hex_bytes(const std::vector<uint8_t>& bytes);
// An identity value as reports and messages show it: 0x1FFE, at least four upper-case digits.
std::string hex4(int value);
// The fix for a ledger that does not exist: the command that creates it.
std::string fix_init(const std::string& location);
// The message a failed ledger call gives: the ledger, what failed, the cause and the fix.
std::string failure(const std::string& location, const std::string& what, const std::string& cause,
                    const std::string& fix);

} // namespace ledger
