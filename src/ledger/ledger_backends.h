// What the two ledger back ends share: the SQL both dialects run, and the ledger's logic written
// once over the few primitives each back end provides.
#pragma once

#include "ledger.h"

#include <map>

namespace ledger {

std::unique_ptr<Ledger> make_sqlite_ledger(const std::string& path, const std::string& station,
                                           const std::string& pool);
std::unique_ptr<Ledger> make_pg_ledger(const std::string& uri, const std::string& station,
                                       const std::string& pool);
// Refuses a location that names no ledger file or server: SQLite's ":memory:" and "file:"
// URIs, libpq's key=value connection parameters, nothing at all. 0, or -1 with `error` set.
int location_refused(const std::string& location, std::string& error);

// Parameters are written $1, $2, ... as PostgreSQL takes them; the SQLite back end turns them
// into ?1, ?2, ... which mean the same there.
namespace sql {

inline constexpr char READ_VERSION[] = "SELECT value FROM meta WHERE key = 'schema_version'";
// The first version, the layout created below; UPGRADES make it the current one.
constexpr int FIRST_VERSION = 1;
inline constexpr char WRITE_FIRST_VERSION[] =
    "INSERT INTO meta (key, value) VALUES ('schema_version', '1')";
inline constexpr char SET_VERSION[] = "UPDATE meta SET value = $1 WHERE key = 'schema_version'";

// A ledger is created at the first version and brought up to date by the steps below, so that
// a new ledger and one upgraded in place have the same schema. Each step takes a ledger from
// the version before it to `to`; it runs in one transaction with the version it writes, under
// the schema's lock, by the first writer that finds the ledger older (init or a station:
// SqlLedger::upgrade()). A step only adds what programs of the release before can do without:
// a station of that release still running writes rows the new columns' defaults describe
// rightly, until it connects again and refuses the newer version.
constexpr int STEP_STATEMENTS = 4; // at most, per step; the unused ones null
struct Upgrade {
    int to;
    const char* statements[STEP_STATEMENTS];
};
inline constexpr Upgrade UPGRADES[] = {
    // The part programmed and the time of the chip erase. The rows written before were all of
    // the atxmega32a4u, the one part there was, and none erased: no erase time (NULL).
    {2,
     {"ALTER TABLE attempts ADD COLUMN part TEXT NOT NULL DEFAULT 'atxmega32a4u'",
      "ALTER TABLE attempts ADD COLUMN erase_ms BIGINT"}},
    // The test run after the pass (--after): its status as text, its time, and its results as
    // one JSON object in a text column, since each test names its own keys; the JSON text reads
    // the same on both back ends and stays one field in the export. Rows before: no test (NULL).
    {3,
     {"ALTER TABLE attempts ADD COLUMN test_status TEXT",
      "ALTER TABLE attempts ADD COLUMN test_ms BIGINT",
      "ALTER TABLE attempts ADD COLUMN test_results TEXT"}},
    // Today's counts per station (stations(), which the line's views read every second or two)
    // from the index alone: without the state and the test's status in it, each of the day's
    // rows was read from the table, 0.1 to 0.4 s a refresh on a million rows. It takes the place
    // of the index on (station, ended_ms), whose every use it serves.
    {4,
     {"CREATE INDEX IF NOT EXISTS attempts_station_today ON attempts "
      "(station, ended_ms, state, test_status)",
      "DROP INDEX IF EXISTS attempts_station_ended"}},
};
constexpr bool upgrades_in_order() {
    int version = FIRST_VERSION;
    for (const Upgrade& u : UPGRADES)
        if (u.to != ++version)
            return false;
    return version == SCHEMA_VERSION;
}
static_assert(upgrades_in_order(), "one step to each version after the first, up to the current");

// Uniqueness of (pool, hard ID) is the primary key. A released ID is deleted, so it is free.
// The check is HARD_ID_FIRST..HARD_ID_LAST.
// Each dialect may add to the end (SQLite: WITHOUT ROWID, so the key holds the state too).
inline constexpr char CREATE_HARD_IDS[] =
    "CREATE TABLE hard_ids (pool TEXT NOT NULL, "
    "hard_id INTEGER NOT NULL CHECK (hard_id BETWEEN 1 AND 8191), "
    "state TEXT NOT NULL CHECK (state IN ('reserved', 'used', 'uncertain')), "
    "station TEXT NOT NULL, row_id BIGINT NOT NULL REFERENCES attempts (row_id), "
    "PRIMARY KEY (pool, hard_id))";
// After attempts and hard_ids.
inline constexpr const char* CREATE_REST[] = {
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE INDEX attempts_station_state ON attempts (station, state)",
    "CREATE INDEX attempts_hard_id ON attempts (hard_id)",
    "CREATE INDEX attempts_uncertain ON attempts (row_id) WHERE id_state = 'uncertain'",
    "CREATE INDEX hard_ids_row ON hard_ids (row_id)",
    "CREATE INDEX hard_ids_station ON hard_ids (station, state)",
    // For stations(): each station's latest rows and the rows it ended since a moment.
    // Ledgers created before them do without (docs/ledger.md).
    "CREATE INDEX attempts_station_row ON attempts (station, row_id)",
    "CREATE INDEX attempts_station_ended ON attempts (station, ended_ms)",
    WRITE_FIRST_VERSION,
};

// The lowest free hard ID >= $2 in pool $1: $2 itself when free, else the first taken ID at or
// above it whose successor is free (8192 when that is the last one). The scan runs in key order
// and stops at the first gap.
inline constexpr char LOWEST_FREE[] =
    "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM hard_ids WHERE pool = $1 AND hard_id = $2) "
    "THEN CAST($2 AS INTEGER) ELSE (SELECT h.hard_id + 1 FROM hard_ids h "
    "WHERE h.pool = $1 AND h.hard_id >= $2 AND NOT EXISTS "
    "(SELECT 1 FROM hard_ids n WHERE n.pool = $1 AND n.hard_id = h.hard_id + 1) "
    "ORDER BY h.hard_id LIMIT 1) END";
// The same, with reserved IDs counted as free: the end of the run of used and uncertain IDs
// that starts at $2.
inline constexpr char LOWEST_NOT_FOR_GOOD[] =
    "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM hard_ids WHERE pool = $1 AND hard_id = $2 "
    "AND state <> 'reserved') THEN CAST($2 AS INTEGER) ELSE (SELECT h.hard_id + 1 "
    "FROM hard_ids h WHERE h.pool = $1 AND h.hard_id >= $2 AND h.state <> 'reserved' "
    "AND NOT EXISTS (SELECT 1 FROM hard_ids n WHERE n.pool = $1 AND n.hard_id = h.hard_id + 1 "
    "AND n.state <> 'reserved') ORDER BY h.hard_id LIMIT 1) END";
inline constexpr char TAKEN_FROM[] =
    "SELECT COUNT(*) FROM hard_ids WHERE pool = $1 AND hard_id >= $2";

// $1..$16: station, pool, arrived_ms, bus, devnum, port, flash_path, image_sha256,
// image_length, from_id, hard_id, id_state, soft_id, rxaddr, record_read, part.
inline constexpr char INSERT_ATTEMPT[] =
    "INSERT INTO attempts (station, pool, state, arrived_ms, bus, devnum, port, flash_path, "
    "image_sha256, image_length, from_id, hard_id, id_state, soft_id, rxaddr, record_read, "
    "part) VALUES ($1, $2, 'started', $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, "
    "$16) RETURNING row_id";
inline constexpr char RESERVE_ID[] = "INSERT INTO hard_ids (pool, hard_id, state, station, row_id) "
                                     "VALUES ($1, $2, 'reserved', $3, $4)";

// $1 row_id, $2 station, $3 state, $4 ended_ms, $5 record_read, $6 record_written, $7 result,
// $8 message, $9 flash_ms, $10 eeprom_ms, $11 the ID's fate (used or released), $12 erase_ms.
// It returns the row it completed, none when the row is not this station's.
inline constexpr char FINISH_ATTEMPT[] =
    "UPDATE attempts SET state = $3, ended_ms = $4, record_read = $5, record_written = $6, "
    "result = $7, message = $8, flash_ms = $9, eeprom_ms = $10, erase_ms = $12, "
    "id_state = CASE WHEN id_state = 'reserved' THEN $11 ELSE id_state END "
    "WHERE row_id = $1 AND station = $2 RETURNING row_id";
// $1 row_id, $2 station, $3 test_status, $4 test_ms, $5 test_results; returns the row it wrote,
// none when the row is not this station's or not finished.
inline constexpr char RECORD_TEST[] =
    "UPDATE attempts SET test_status = $3, test_ms = $4, test_results = $5 "
    "WHERE row_id = $1 AND station = $2 AND state IN ('ok', 'failed') RETURNING row_id";
inline constexpr char USE_ID[] =
    "UPDATE hard_ids SET state = 'used' WHERE row_id = $1 AND state = 'reserved'";
inline constexpr char RELEASE_ID[] =
    "DELETE FROM hard_ids WHERE row_id = $1 AND state = 'reserved'";

// At a station's start: what it left in flight when it last stopped. $1 station.
inline constexpr char MARK_UNCERTAIN[] =
    "UPDATE hard_ids SET state = 'uncertain' WHERE station = $1 AND state = 'reserved'";
inline constexpr char MARK_INTERRUPTED[] =
    "UPDATE attempts SET state = 'interrupted', "
    "id_state = CASE WHEN id_state = 'reserved' THEN 'uncertain' ELSE id_state END "
    "WHERE station = $1 AND state = 'started'";

// Read back in this order by both back ends (see RowColumn).
inline constexpr char ROW_COLUMNS[] =
    "row_id, station, pool, state, arrived_ms, ended_ms, bus, devnum, port, "
    "flash_path, image_sha256, image_length, from_id, hard_id, id_state, soft_id, rxaddr, "
    "record_read, record_written, result, message, flash_ms, eeprom_ms, part, erase_ms, "
    "test_status, test_ms, test_results";
enum RowColumn {
    C_ROW_ID,
    C_STATION,
    C_POOL,
    C_STATE,
    C_ARRIVED,
    C_ENDED,
    C_BUS,
    C_DEVNUM,
    C_PORT,
    C_FLASH_PATH,
    C_SHA256,
    C_LENGTH,
    C_FROM_ID,
    C_HARD_ID,
    C_ID_STATE,
    C_SOFT_ID,
    C_RXADDR,
    C_RECORD_READ,
    C_RECORD_WRITTEN,
    C_RESULT,
    C_MESSAGE,
    C_FLASH_MS,
    C_EEPROM_MS,
    C_PART,
    C_ERASE_MS,
    C_TEST_STATUS,
    C_TEST_MS,
    C_TEST_RESULTS,
    C_ROW_END // the columns a query adds after a row's
};

// Each station's latest row and latest row that is not 'started' (one or two rows per station,
// in station and row order), each followed by the station's rows ended ok and failed at or
// after $1, the row_id of its latest row, and its rows ended at or after $1 that were tested
// and that failed their test. The station names are walked one index seek at a
// time, so it reads a few rows per station and the rows they ended since $1. A station's rows
// are picked by a range of one name, not by '=': given '=', a planner that expects a station's
// rows everywhere walks the whole primary key backwards instead, for a station that stopped
// long ago all of it.
inline constexpr char STATIONS_WITH[] =
    "WITH RECURSIVE names(name) AS (SELECT MIN(station) FROM attempts UNION ALL "
    "SELECT (SELECT MIN(station) FROM attempts WHERE station > names.name) FROM names "
    "WHERE names.name IS NOT NULL), "
    "picked(name, latest, done, ok, failed, tested, test_failed) AS (SELECT name, "
    "(SELECT row_id FROM attempts WHERE station BETWEEN names.name AND names.name "
    "ORDER BY station DESC, row_id DESC LIMIT 1), "
    "(SELECT row_id FROM attempts WHERE station BETWEEN names.name AND names.name "
    "AND state <> 'started' ORDER BY station DESC, row_id DESC LIMIT 1), "
    "(SELECT COUNT(*) FROM attempts WHERE station = names.name AND ended_ms >= $1 "
    "AND state = 'ok'), "
    "(SELECT COUNT(*) FROM attempts WHERE station = names.name AND ended_ms >= $1 "
    "AND state = 'failed'), "
    "(SELECT COUNT(*) FROM attempts WHERE station = names.name AND ended_ms >= $1 "
    "AND test_status IS NOT NULL), "
    "(SELECT COUNT(*) FROM attempts WHERE station = names.name AND ended_ms >= $1 "
    "AND test_status <> 'passed') FROM names WHERE name IS NOT NULL) ";
inline constexpr char STATIONS_TAIL[] =
    ", picked.ok, picked.failed, picked.latest, picked.tested, picked.test_failed FROM attempts "
    "JOIN picked ON row_id IN (picked.latest, picked.done) ORDER BY station, row_id";

// After "SELECT ROW_COLUMNS": the rows after $1, the rows of the list of ids that follows, and
// the latest $1 rows; by the primary key.
inline constexpr char ROWS_AFTER[] = " FROM attempts WHERE row_id > $1 ORDER BY row_id";
inline constexpr char ROWS_WITH_IDS[] = " FROM attempts WHERE row_id IN ";
inline constexpr char LATEST_ROWS[] = " FROM attempts ORDER BY row_id DESC LIMIT $1";

// Every row in one statement, so in one snapshot, in one scan: per pool, station and state
// the rows that are not 'started', and each 'started' row and each of the latest $1 rows in a
// group of its own; the rows that ended at or after $2 by period of $3 ms from $2, and failed
// ones by message too; then the `from` of the group's latest row that asked for hard IDs.
// Bound $N adds column wN (TALLY_WITHIN) between TALLY_HEAD and TALLY_TAIL.
enum TallyColumn {
    T_POOL,
    T_STATION,
    T_STATE,
    T_PERIOD,
    T_MESSAGE,
    T_ROWS,
    T_LAST_ROW,
    T_DURATION,
    T_LAST_ENDED,
    T_ASKED,
    T_WITHIN
};
inline constexpr char TALLY_HEAD[] =
    "SELECT g.*, l.from_id FROM (SELECT pool, station, state, "
    "CASE WHEN ended_ms >= $2 THEN (ended_ms - $2) / $3 END AS period, "
    "CASE WHEN ended_ms >= $2 AND state = 'failed' THEN message END AS message, "
    "COUNT(*) AS n, MAX(row_id) AS last_row, SUM(ended_ms - arrived_ms) AS duration, "
    "MAX(ended_ms) AS last_ended, MAX(CASE WHEN from_id > 0 THEN row_id END) AS asked";
inline constexpr char TALLY_WITHIN[] =
    ", SUM(CASE WHEN ended_ms - arrived_ms <= $%d THEN 1 ELSE 0 END) AS w%d";
inline constexpr char TALLY_TAIL[] =
    " FROM attempts GROUP BY 1, 2, 3, 4, 5, CASE WHEN state = 'started' "
    "OR row_id > (SELECT MAX(row_id) FROM attempts) - $1 THEN row_id ELSE 0 END) g "
    "LEFT JOIN attempts l ON l.row_id = g.asked";

// Per pool, station and part; the `from` of the latest attempt that asked for a hard ID.
inline constexpr char COUNTS[] =
    "SELECT g.pool, g.station, g.part, g.ok, g.failed, g.interrupted, g.started, l.from_id, "
    "g.tested, g.test_failed FROM "
    "(SELECT pool, station, part, SUM(CASE WHEN state = 'ok' THEN 1 ELSE 0 END) AS ok, "
    "SUM(CASE WHEN state = 'failed' THEN 1 ELSE 0 END) AS failed, "
    "SUM(CASE WHEN state = 'interrupted' THEN 1 ELSE 0 END) AS interrupted, "
    "SUM(CASE WHEN state = 'started' THEN 1 ELSE 0 END) AS started, "
    "SUM(CASE WHEN test_status IS NOT NULL THEN 1 ELSE 0 END) AS tested, "
    "SUM(CASE WHEN test_status <> 'passed' THEN 1 ELSE 0 END) AS test_failed, "
    "MAX(CASE WHEN from_id > 0 THEN row_id END) AS latest FROM attempts "
    "GROUP BY pool, station, part) g LEFT JOIN attempts l ON l.row_id = g.latest "
    "ORDER BY g.pool, g.station, g.part";

} // namespace sql

// What a station knows for good about its pool: every ID in [from, floor) is used or
// uncertain, and no ID ever leaves those states, so a search for a free ID may start at the
// floor. It keeps the search short however full the pool: it covers the IDs taken since the
// station last looked, not every one from `from` on.
struct IdFloor {
    int from = 0, floor = 0;
    int start(int f) const { return f == from && floor > f ? floor : f; }
    void learn(int f, int found) {
        from = f;
        floor = found;
    }
};

// A statement's parameter: a number, text, raw bytes, or NULL.
struct Param {
    enum Kind { NONE, NUMBER, TEXT, BYTES };
    Kind kind = NONE;
    int64_t number = 0;
    std::string text; // TEXT's and BYTES' value, and a NUMBER in decimal
};
Param number(int64_t value);
Param text(const std::string& value);
Param bytes(const std::vector<uint8_t>& value);
// An identity value or `from`: 0 or below is none (it goes into no record), stored as NULL.
Param id(int value);
// A phase's time: below 0 the phase did not run, stored as NULL.
Param duration(int64_t ms);

// One row of a result, as a back end reads it; a NULL reads as 0, empty text or no bytes.
class Row {
  public:
    virtual bool null(int col) const = 0;
    virtual int64_t number(int col) const = 0;
    virtual std::string text(int col) const = 0;
    virtual std::vector<uint8_t> bytes(int col) const = 0;
    // An identity value: -1 when NULL.
    int id(int col) const { return null(col) ? -1 : static_cast<int>(number(col)); }

  protected:
    ~Row() = default;
};
using RowFn = std::function<void(const Row&)>;

// What a transaction is for. Each back end's transaction scheme (see begin_transaction() in
// each) makes concurrent ones of every kind safe.
enum Txn { READ, SCHEMA, ALLOCATION, WRITE, OUTCOME };

// Who connects: a report reads, a station writes under its name, init creates the ledger.
enum Access { REPORT, STATION, CREATOR };

// The ledger's logic, written once for both back ends: what each call reads and writes, in what
// order, what the states mean, and its messages. A back end provides the primitives below.
class SqlLedger : public Ledger {
  public:
    SqlLedger(const std::string& location, const std::string& station, const std::string& pool)
        : location_(location), station_(station), pool_(pool) {}

    int init(std::string& said, std::string& error) override;
    int open(std::string& error) override;
    int open_read(std::string& error) override;
    int begin(Attempt& a, int from, std::string& error) override;
    int finish(const Attempt& a, IdFate fate, std::string& error) override;
    int record_test(const Attempt& a, std::string& error) override;
    int peek(int from, int& next, int& left, std::string& error) override;
    int peek_pool(const std::string& pool, int from, int& next, int& left,
                  std::string& error) override;
    int counts(std::vector<StationCounts>& out, std::string& error) override;
    int rows(RowSet set, int hard_id, const RowSink& sink, std::string& error) override;
    int stations(int64_t since_ms, std::vector<StationNow>& out, std::string& error) override;
    int latest_rows(int count, const RowSink& sink, std::string& error) override;
    int rows_after(int64_t row_id, const RowSink& sink, std::string& error) override;
    int rows_with_ids(const std::vector<int64_t>& row_ids, const RowSink& sink,
                      std::string& error) override;
    int tally(const std::vector<int64_t>& bounds_ms, int64_t alone, int64_t since_ms,
              int64_t span_ms, std::vector<StateTally>& out, std::string& error) override;
    std::string upgraded() const override;

  private:
    // In a transaction of `kind`, runs the statement that updates this station's row row_id:
    // 0 with the transaction open, -1, or ROW_LOST (rolled back, `error` saying the row is not
    // in the ledger, `unless` after it) when it touched no row.
    int update_own_row(Txn kind, const char* statement, const std::vector<Param>& params,
                       int64_t row_id, const char* unless, const char* what, std::string& error);

  protected:
    // Connects afresh and checks the schema (check_schema(), which creates it for CREATOR);
    // for a STATION it also holds the station's name, kept or taken again, so that connecting
    // again after a failure marks nothing. 0, or -1 with `error` set.
    virtual int connect(Access access, std::string& error) = 0;
    virtual bool connected() const = 0;
    // Drops the connection; an open transaction is undone.
    virtual void disconnect() = 0;
    virtual int begin_transaction(Txn kind, const char* what, std::string& error) = 0;
    // Inside check_schema()'s transaction: refuses (refuse()) what holds no ledger, creates the
    // schema (create_schema()) where there is none and `may_create`.
    virtual int prepare_schema(bool may_create, const char* what, std::string& error) = 0;
    // One statement with parameters $1, $2, ...; `each` (when set) is given every row it
    // returns. On failure: `error` names `what` and the cause, the transaction is undone and a
    // connection that may be broken is dropped, so the next call connects again.
    virtual int run(const std::string& query, const std::vector<Param>& params, const RowFn& each,
                    const char* what, std::string& error) = 0;
    // Whether a station of this name runs now: holds the name's lock (see connect()).
    virtual int name_held(const std::string& station, bool& held, std::string& error) = 0;
    // What init() made, once it has created the schema: for the operator.
    virtual std::string made() const = 0;
    // Inside upgrade()'s transaction: refuses (refuse()) an upgrade this connection may not
    // make, with what to run instead. `what`: the upgrade, for the message.
    virtual int upgrade_refused(const std::string& what, std::string& error) = 0;

    // Checks the schema and its version in one transaction: creates it for CREATOR, upgrades
    // an older one for a writer (upgrade()), refuses an older one for a REPORT.
    int check_schema(Access access, std::string& error);
    int create_schema(const char* create_attempts, const char* hard_ids_tail, std::string& error);
    // The first column of the one row a query returns.
    int one_number(const std::string& query, const std::vector<Param>& params, int64_t& value,
                   const char* what, std::string& error);
    // A refusal: the connection goes (with a name lock it holds) and the message is ours.
    int refuse(const char* what, const std::string& cause, const std::string& fix,
               std::string& error);

    const std::string location_, station_, pool_;
    // The statements a call has run since ready() began it; none outside a call. A back end
    // whose connection breaks at a call's first statement, before it returned anything, may
    // connect again and run it once more: nothing of the call had reached the ledger.
    int call_statements_ = 1;

  private:
    int upgrade(std::string& error);
    int run_upgrades(int from, const char* what, std::string& error);
    // The version meta holds; 0 when none or no number.
    int read_version(int& version, const char* what, std::string& error);
    int version_refused(int version, bool upgrading, const char* what, std::string& error);
    int ready(std::string& error);
    int connect_afresh(Access access, std::string& error);
    int commit(const char* what, std::string& error);
    void rollback();

    bool read_only_ = false;
    bool opened_ = false;
    bool created_ = false;  // create_schema() created the schema
    int upgraded_from_ = 0; // the version upgrade() found, for upgraded(); 0: it upgraded none
    IdFloor floor_;
    std::map<std::string, IdFloor> other_floors_; // of the pools peek_pool() read, for reports
};

// Bytes from lower- or upper-case hex text; false when it is not hex.
bool bytes_from_hex(const std::string& hex, std::vector<uint8_t>& bytes);

} // namespace ledger
