// The ledger's logic over the back ends' primitives: the same statements in the same order on
// SQLite and on PostgreSQL.
#include "ledger_backends.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace ledger {
namespace {

// The query of a row set; ROWS_OF_HARD_ID's takes the hard ID as $1.
std::string rows_query(RowSet set) {
    std::string query = std::string("SELECT ") + sql::ROW_COLUMNS + " FROM attempts ";
    if (set == ROWS_OF_HARD_ID)
        return query + "WHERE hard_id = $1 ORDER BY row_id";
    if (set == UNCERTAIN_ROWS)
        return query + "WHERE id_state = 'uncertain' ORDER BY row_id";
    return query + "ORDER BY row_id";
}

// The row state a pass's result gives, and the ID state a fate gives.
const char* state_of(int result) {
    return result == 0 ? "ok" : "failed";
}
const char* fate_name(IdFate fate) {
    return fate == ID_USED ? "used" : "released";
}

AttemptRow row_from(const Row& r) {
    using namespace sql;
    AttemptRow a;
    a.row_id = r.number(C_ROW_ID);
    a.station = r.text(C_STATION);
    a.pool = r.text(C_POOL);
    a.state = r.text(C_STATE);
    a.arrived_ms = r.number(C_ARRIVED);
    a.ended_ms = r.number(C_ENDED);
    a.bus = static_cast<int>(r.number(C_BUS));
    a.devnum = static_cast<int>(r.number(C_DEVNUM));
    a.port = r.text(C_PORT);
    a.flash_path = r.text(C_FLASH_PATH);
    a.image_sha256 = r.text(C_SHA256);
    a.image_length = r.number(C_LENGTH);
    a.from_id = static_cast<int>(r.number(C_FROM_ID));
    a.hard_id = r.id(C_HARD_ID);
    a.id_state = r.text(C_ID_STATE);
    a.soft_id = r.id(C_SOFT_ID);
    a.rxaddr = r.id(C_RXADDR);
    a.record_read = r.bytes(C_RECORD_READ);
    a.record_written = r.bytes(C_RECORD_WRITTEN);
    a.result = static_cast<int>(r.number(C_RESULT));
    a.message = r.text(C_MESSAGE);
    a.flash_ms = r.number(C_FLASH_MS);
    a.eeprom_ms = r.number(C_EEPROM_MS);
    a.part = r.text(C_PART);
    a.erase_ms = r.null(C_ERASE_MS) ? -1 : r.number(C_ERASE_MS);
    a.test_status = r.text(C_TEST_STATUS);
    a.test_ms = r.null(C_TEST_MS) ? -1 : r.number(C_TEST_MS);
    a.test_results = r.text(C_TEST_RESULTS);
    return a;
}

} // namespace

Param number(int64_t value) {
    return {Param::NUMBER, value, std::to_string(value)};
}
Param text(const std::string& value) {
    return {Param::TEXT, 0, value};
}
Param bytes(const std::vector<uint8_t>& value) {
    return {Param::BYTES, 0, std::string(value.begin(), value.end())};
}
Param id(int value) {
    return value <= 0 ? Param{} : number(value);
}
Param duration(int64_t ms) {
    return ms < 0 ? Param{} : number(ms);
}

int SqlLedger::init(std::string& said, std::string& error) {
    created_ = false;
    upgraded_from_ = 0;
    if (location_refused(location_, error) != 0 || connect_afresh(CREATOR, error) != 0)
        return -1;
    disconnect();
    said = created_ ? made()
           : upgraded_from_ != 0
               ? upgraded()
               : "ledger " + shown_location(location_) + " exists already (schema version " +
                     std::to_string(SCHEMA_VERSION) + "): nothing changed";
    return 0;
}

int SqlLedger::open(std::string& error) {
    const char* what = "marking what the station left in flight";
    upgraded_from_ = 0;
    if (location_refused(location_, error) != 0 || connect_afresh(STATION, error) != 0 ||
        begin_transaction(WRITE, what, error) != 0 ||
        run(sql::MARK_UNCERTAIN, {text(station_)}, nullptr, what, error) != 0 ||
        run(sql::MARK_INTERRUPTED, {text(station_)}, nullptr, what, error) != 0 ||
        commit(what, error) != 0)
        return -1;
    opened_ = true;
    return 0;
}

int SqlLedger::open_read(std::string& error) {
    read_only_ = true;
    if (location_refused(location_, error) != 0 || connect_afresh(REPORT, error) != 0)
        return -1;
    opened_ = true;
    return 0;
}

int SqlLedger::begin(Attempt& a, int from, std::string& error) {
    const char* what = "writing the device's row";
    if (ready(error) != 0 || begin_transaction(from > 0 ? ALLOCATION : WRITE, what, error) != 0)
        return -1;
    int hard_id = a.hard_id;
    int64_t good_end = 0;
    if (from > 0) {
        const char* finding = "finding a free hard ID";
        std::vector<Param> at = {text(pool_), number(floor_.start(from))};
        int64_t free_id = 0;
        if (one_number(sql::LOWEST_FREE, at, free_id, finding, error) != 0)
            return -1;
        if (from > HARD_ID_LAST || free_id > HARD_ID_LAST) {
            rollback();
            return NO_ID_LEFT;
        }
        if (one_number(sql::LOWEST_NOT_FOR_GOOD, at, good_end, finding, error) != 0)
            return -1;
        hard_id = static_cast<int>(free_id);
    }
    std::vector<Param> row = {
        text(station_),     text(pool_),          number(a.arrived_ms),
        number(a.bus),      number(a.devnum),     text(a.port),
        text(a.flash_path), text(a.image_sha256), number(a.image_length),
        id(from),           id(hard_id),          from > 0 ? text("reserved") : Param{},
        id(a.soft_id),      id(a.rxaddr),         bytes(a.record_read),
        text(a.part)};
    int64_t row_id = 0;
    if (one_number(sql::INSERT_ATTEMPT, row, row_id, what, error) != 0)
        return -1;
    if (from > 0 &&
        run(sql::RESERVE_ID, {text(pool_), number(hard_id), text(station_), number(row_id)},
            nullptr, "reserving the hard ID", error) != 0)
        return -1;
    if (commit(what, error) != 0)
        return -1;
    a.row_id = row_id;
    a.hard_id = hard_id;
    if (from > 0)
        floor_.learn(from, static_cast<int>(good_end));
    return 0;
}

int SqlLedger::finish(const Attempt& a, IdFate fate, std::string& error) {
    const char* what = "writing the device's outcome";
    std::vector<Param> outcome = {
        number(a.row_id),    text(station_),        text(state_of(a.result)),
        number(a.ended_ms),  bytes(a.record_read),  bytes(a.record_written),
        number(a.result),    text(a.message),       number(a.flash_ms),
        number(a.eeprom_ms), text(fate_name(fate)), duration(a.erase_ms)};
    int rval = update_own_row(OUTCOME, sql::FINISH_ATTEMPT, outcome, a.row_id, "", what, error);
    if (rval != 0)
        return rval;
    if (run(fate == ID_USED ? sql::USE_ID : sql::RELEASE_ID, {number(a.row_id)}, nullptr,
            "marking the hard ID", error) != 0)
        return -1;
    return commit(what, error);
}

int SqlLedger::update_own_row(Txn kind, const char* statement, const std::vector<Param>& params,
                              int64_t row_id, const char* unless, const char* what,
                              std::string& error) {
    int updated = 0;
    if (ready(error) != 0 || begin_transaction(kind, what, error) != 0 ||
        run(
            statement, params, [&](const Row&) { ++updated; }, what, error) != 0)
        return -1;
    if (updated != 0)
        return 0;
    rollback();
    error = failure(location_, what,
                    "row " + std::to_string(row_id) + " of station " + station_ +
                        " is not in the ledger" + unless,
                    "find out which copy of the ledger is current (a restored backup or a "
                    "failed-over server may lack the latest rows)");
    return ROW_LOST;
}

int SqlLedger::record_test(const Attempt& a, std::string& error) {
    const char* what = "writing the device's test";
    std::vector<Param> test = {number(a.row_id), text(station_),
                               a.test_status.empty() ? Param{} : text(a.test_status),
                               duration(a.test_ms), text(a.test_results)};
    int rval =
        update_own_row(WRITE, sql::RECORD_TEST, test, a.row_id, ", or has no outcome", what, error);
    return rval != 0 ? rval : commit(what, error);
}

int SqlLedger::peek(int from, int& next, int& left, std::string& error) {
    return peek_pool(pool_, from, next, left, error);
}

int SqlLedger::peek_pool(const std::string& pool, int from, int& next, int& left,
                         std::string& error) {
    next = HARD_ID_LAST + 1;
    left = 0;
    if (from > HARD_ID_LAST)
        return 0;
    from = from < HARD_ID_FIRST ? HARD_ID_FIRST : from;
    // A view that peeks every second or two learns, as a station does, where the IDs used for
    // good end, so that each look walks only the IDs taken since the one before.
    IdFloor& floor = pool == pool_ ? floor_ : other_floors_[pool];
    int start = floor.start(from);
    // One statement, so the answers come from one snapshot.
    static const std::string all = std::string("SELECT (") + sql::LOWEST_FREE + "), (" +
                                   sql::TAKEN_FROM + "), (" + sql::LOWEST_NOT_FOR_GOOD + ")";
    int64_t free_id = 0, taken = 0, good_end = 0;
    auto read = [&](const Row& r) {
        free_id = r.number(0);
        taken = r.number(1);
        good_end = r.number(2);
    };
    if (ready(error) != 0 ||
        run(all, {text(pool), number(start)}, read, "reading the free hard IDs", error) != 0)
        return -1;
    floor.learn(from, static_cast<int>(good_end));
    next = static_cast<int>(free_id);
    left = HARD_ID_LAST + 1 - start - static_cast<int>(taken);
    return 0;
}

int SqlLedger::counts(std::vector<StationCounts>& out, std::string& error) {
    out.clear();
    auto read = [&](const Row& r) {
        StationCounts c;
        c.pool = r.text(0);
        c.station = r.text(1);
        c.part = r.text(2);
        c.ok = r.number(3);
        c.failed = r.number(4);
        c.interrupted = r.number(5);
        c.started = r.number(6);
        c.from_id = static_cast<int>(r.number(7));
        c.tested = r.number(8);
        c.test_failed = r.number(9);
        out.push_back(c);
    };
    if (ready(error) != 0 || run(sql::COUNTS, {}, read, "counting the devices", error) != 0)
        return -1;
    return 0;
}

int SqlLedger::rows(RowSet set, int hard_id, const RowSink& sink, std::string& error) {
    std::vector<Param> params;
    if (set == ROWS_OF_HARD_ID)
        params.push_back(number(hard_id));
    auto read = [&](const Row& r) { sink(row_from(r)); };
    if (ready(error) != 0 || run(rows_query(set), params, read, "reading the rows", error) != 0)
        return -1;
    return 0;
}

int SqlLedger::stations(int64_t since_ms, std::vector<StationNow>& out, std::string& error) {
    out.clear();
    static const std::string query =
        std::string(sql::STATIONS_WITH) + "SELECT " + sql::ROW_COLUMNS + sql::STATIONS_TAIL;
    auto read = [&](const Row& r) {
        AttemptRow row = row_from(r);
        if (out.empty() || out.back().station != row.station) {
            out.emplace_back();
            out.back().station = row.station;
            out.back().ok = r.number(sql::C_ROW_END);
            out.back().failed = r.number(sql::C_ROW_END + 1);
            out.back().tested = r.number(sql::C_ROW_END + 3);
            out.back().test_failed = r.number(sql::C_ROW_END + 4);
        }
        StationNow& s = out.back();
        if (row.state != "started")
            s.last_done = row;
        if (row.row_id == r.number(sql::C_ROW_END + 2))
            s.latest = std::move(row);
    };
    if (ready(error) != 0 ||
        run(query, {number(since_ms)}, read, "reading the stations", error) != 0)
        return -1;
    for (StationNow& s : out)
        if (name_held(s.station, s.running, error) != 0)
            return -1;
    return 0;
}

int SqlLedger::latest_rows(int count, const RowSink& sink, std::string& error) {
    static const std::string query = std::string("SELECT ") + sql::ROW_COLUMNS + sql::LATEST_ROWS;
    auto read = [&](const Row& r) { sink(row_from(r)); };
    if (ready(error) != 0 ||
        run(query, {number(count)}, read, "reading the latest rows", error) != 0)
        return -1;
    return 0;
}

int SqlLedger::rows_after(int64_t row_id, const RowSink& sink, std::string& error) {
    static const std::string query = std::string("SELECT ") + sql::ROW_COLUMNS + sql::ROWS_AFTER;
    auto read = [&](const Row& r) { sink(row_from(r)); };
    if (ready(error) != 0 || run(query, {number(row_id)}, read, "reading the new rows", error) != 0)
        return -1;
    return 0;
}

// A statement per ROWS_AT_ONCE ids keeps its parameters far below either back end's limit.
int SqlLedger::rows_with_ids(const std::vector<int64_t>& row_ids, const RowSink& sink,
                             std::string& error) {
    constexpr size_t ROWS_AT_ONCE = 100;
    auto read = [&](const Row& r) { sink(row_from(r)); };
    for (size_t at = 0; at < row_ids.size(); at += ROWS_AT_ONCE) {
        std::string query = std::string("SELECT ") + sql::ROW_COLUMNS + sql::ROWS_WITH_IDS + "(";
        std::vector<Param> ids;
        for (size_t i = at; i < row_ids.size() && i < at + ROWS_AT_ONCE; ++i) {
            ids.push_back(number(row_ids[i]));
            query += (i == at ? "$" : ", $") + std::to_string(ids.size());
        }
        if (ready(error) != 0 ||
            run(query + ") ORDER BY row_id", ids, read, "reading the rows in flight", error) != 0)
            return -1;
    }
    return 0;
}

int SqlLedger::tally(const std::vector<int64_t>& bounds_ms, int64_t alone, int64_t since_ms,
                     int64_t span_ms, std::vector<StateTally>& out, std::string& error) {
    out.clear();
    std::string query = sql::TALLY_HEAD;
    std::vector<Param> bounds = {number(alone), number(since_ms), number(span_ms)};
    for (int64_t bound : bounds_ms) {
        char column[sizeof sql::TALLY_WITHIN + 32];
        int n = static_cast<int>(bounds.size()) + 1; // after $1..$3
        snprintf(column, sizeof column, sql::TALLY_WITHIN, n, n);
        query += column;
        bounds.push_back(number(bound));
    }
    query += sql::TALLY_TAIL;
    auto read = [&](const Row& r) {
        using namespace sql;
        StateTally t;
        t.pool = r.text(T_POOL);
        t.station = r.text(T_STATION);
        t.state = r.text(T_STATE);
        t.period = r.null(T_PERIOD) ? -1 : r.number(T_PERIOD);
        t.message = r.text(T_MESSAGE);
        t.rows = r.number(T_ROWS);
        t.last_row_id = r.number(T_LAST_ROW);
        t.duration_ms = r.number(T_DURATION);
        t.last_ended_ms = r.number(T_LAST_ENDED);
        t.asked_row_id = r.number(T_ASKED);
        for (size_t i = 0; i < bounds_ms.size(); ++i)
            t.within.push_back(r.number(T_WITHIN + static_cast<int>(i)));
        t.asked_from = static_cast<int>(r.number(T_WITHIN + static_cast<int>(bounds_ms.size())));
        out.push_back(std::move(t));
    };
    if (ready(error) != 0 || run(query, bounds, read, "counting every row", error) != 0)
        return -1;
    return 0;
}

std::string SqlLedger::upgraded() const {
    if (upgraded_from_ == 0)
        return std::string();
    return "ledger " + shown_location(location_) + ": upgraded its schema from version " +
           std::to_string(upgraded_from_) + " to version " + std::to_string(SCHEMA_VERSION) +
           " (stations of earlier releases refuse it from now on)";
}

int SqlLedger::check_schema(Access access, std::string& error) {
    const char* what = "reading its schema";
    int version = 0;
    if (begin_transaction(access == CREATOR ? SCHEMA : READ, what, error) != 0 ||
        prepare_schema(access == CREATOR, what, error) != 0 ||
        read_version(version, what, error) != 0)
        return -1;
    if (version >= sql::FIRST_VERSION && version < SCHEMA_VERSION && access != REPORT)
        return commit(what, error) != 0 ? -1 : upgrade(error);
    if (version_refused(version, false, what, error) != 0)
        return -1;
    return commit(what, error);
}

// An older ledger is brought to this program's version in one transaction under the schema's
// lock (SCHEMA), so that of the stations that find it older at once one upgrades it and the
// others find it done: the version is read again under the lock.
int SqlLedger::upgrade(std::string& error) {
    int version = 0;
    const std::string what = "upgrading its schema to version " + std::to_string(SCHEMA_VERSION);
    if (begin_transaction(SCHEMA, what.c_str(), error) != 0 ||
        read_version(version, what.c_str(), error) != 0)
        return -1;
    if (version == SCHEMA_VERSION)
        return commit(what.c_str(), error);
    if (version_refused(version, true, what.c_str(), error) != 0 ||
        upgrade_refused(what, error) != 0 || run_upgrades(version, what.c_str(), error) != 0 ||
        commit(what.c_str(), error) != 0)
        return -1;
    upgraded_from_ = version;
    return 0;
}

// The steps after version `from`, each with the version it makes, in the open transaction.
int SqlLedger::run_upgrades(int from, const char* what, std::string& error) {
    for (const sql::Upgrade& step : sql::UPGRADES) {
        if (step.to <= from)
            continue;
        for (const char* statement : step.statements)
            if (statement != nullptr && run(statement, {}, nullptr, what, error) != 0)
                return -1;
        if (run(sql::SET_VERSION, {text(std::to_string(step.to))}, nullptr, what, error) != 0)
            return -1;
    }
    return 0;
}

int SqlLedger::read_version(int& version, const char* what, std::string& error) {
    std::string found;
    auto read = [&](const Row& r) { found = r.text(0); };
    if (run(sql::READ_VERSION, {}, read, what, error) != 0)
        return -1;
    char* end = nullptr;
    long parsed = std::strtol(found.c_str(), &end, 10);
    version = !found.empty() && *end == '\0' && parsed > 0 && parsed <= INT_MAX
                  ? static_cast<int>(parsed)
                  : 0;
    return 0;
}

// A version this program does not know (newer, or none at all) is refused, and an older one
// unless it is to be upgraded.
int SqlLedger::version_refused(int version, bool upgrading, const char* what, std::string& error) {
    const std::string known = std::to_string(SCHEMA_VERSION);
    bool older = version >= sql::FIRST_VERSION && version < SCHEMA_VERSION;
    if (version == SCHEMA_VERSION || (older && upgrading))
        return 0;
    if (older)
        return refuse(what,
                      "its schema version is " + std::to_string(version) +
                          ", older than this program's version " + known,
                      "upgrade it with: korvofw-ledger " + shown_location(location_) +
                          " init (a station of this release upgrades it too when it starts)",
                      error);
    return refuse(what,
                  "its schema version is " + (version > 0 ? std::to_string(version) : "unknown") +
                      ", this program knows version " + known,
                  "use the korvofw release that wrote this ledger, or a newer one", error);
}

int SqlLedger::create_schema(const char* create_attempts, const char* hard_ids_tail,
                             std::string& error) {
    const char* what = "creating the schema";
    if (run(create_attempts, {}, nullptr, what, error) != 0 ||
        run(std::string(sql::CREATE_HARD_IDS) + hard_ids_tail, {}, nullptr, what, error) != 0)
        return -1;
    for (const char* create : sql::CREATE_REST)
        if (run(create, {}, nullptr, what, error) != 0)
            return -1;
    if (run_upgrades(sql::FIRST_VERSION, what, error) != 0)
        return -1;
    created_ = true;
    return 0;
}

int SqlLedger::one_number(const std::string& query, const std::vector<Param>& params,
                          int64_t& value, const char* what, std::string& error) {
    return run(
        query, params, [&](const Row& r) { value = r.number(0); }, what, error);
}

int SqlLedger::refuse(const char* what, const std::string& cause, const std::string& fix,
                      std::string& error) {
    disconnect();
    error = failure(location_, what, cause, fix);
    return -1;
}

// After a failed call the next one connects again and holds the name again; the IDs in flight
// stay reserved, since this station is alive and holds their outcome. Every call starts here:
// its statements are counted from here on (see call_statements_).
int SqlLedger::ready(std::string& error) {
    if (!opened_) {
        error = failure(location_, "using it", "the ledger is not open", "open it first");
        return -1;
    }
    if (!connected() && connect_afresh(read_only_ ? REPORT : STATION, error) != 0)
        return -1;
    call_statements_ = 0;
    return 0;
}

// A connection that failed half-way (a server's error while checking the schema or taking the
// name) is not kept: the next call starts again from the beginning.
int SqlLedger::connect_afresh(Access access, std::string& error) {
    if (connect(access, error) == 0)
        return 0;
    disconnect();
    return -1;
}

int SqlLedger::commit(const char* what, std::string& error) {
    return run("COMMIT", {}, nullptr, what, error);
}

// For a transaction the ledger's logic ends itself; a failure is run()'s to handle.
void SqlLedger::rollback() {
    std::string ignored;
    run("ROLLBACK", {}, nullptr, "undoing the transaction", ignored);
}

} // namespace ledger
