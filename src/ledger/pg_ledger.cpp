// The ledger in a PostgreSQL database, for the stations of a line on many machines.
//
// Concurrent allocation: begin() takes a transaction-level advisory lock on its pool
// (pg_advisory_xact_lock) before it looks for the lowest free ID, so allocations in one pool
// run one at a time, and each of its statements (READ COMMITTED) sees every reservation
// committed before it got the lock. The lock ends with the transaction, also when the
// connection dies. The primary key on (pool, hard_id) is the backstop.
//
// The station's name: a session advisory lock (pg_try_advisory_lock) on a hash of the name,
// which the server drops when the station's connection ends, however it ends.
#include "ledger_backends.h"

#include <libpq-fe.h>

namespace ledger {
namespace {

// Advisory lock classes: the first key of the two-key form, so that ours meet no other's.
constexpr int NAME_LOCK_CLASS = 0x4B46;
constexpr int POOL_LOCK_CLASS = 0x4B47;
constexpr int SCHEMA_LOCK_CLASS = 0x4B48;
const char TAKE_NAME[] = "SELECT pg_try_advisory_lock(19270, hashtext($1))";
const char LOCK_POOL[] = "SELECT pg_advisory_xact_lock(19271, hashtext($1))";
const char LOCK_SCHEMA[] = "SELECT pg_advisory_xact_lock(19272, 0)";
static_assert(NAME_LOCK_CLASS == 19270 && POOL_LOCK_CLASS == 19271 && SCHEMA_LOCK_CLASS == 19272,
              "the lock classes are spelt out in the queries above");

const char HAS_META[] = "SELECT to_regclass('meta') IS NOT NULL";
const char CREATE_ATTEMPTS[] =
    "CREATE TABLE attempts (row_id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
    "station TEXT NOT NULL, pool TEXT NOT NULL, "
    "state TEXT NOT NULL CHECK (state IN ('started', 'ok', 'failed', 'interrupted')), "
    "arrived_ms BIGINT NOT NULL, ended_ms BIGINT, bus INTEGER NOT NULL, "
    "devnum INTEGER NOT NULL, port TEXT NOT NULL, flash_path TEXT NOT NULL, "
    "image_sha256 TEXT NOT NULL, image_length BIGINT NOT NULL, from_id INTEGER, "
    "hard_id INTEGER, "
    "id_state TEXT CHECK (id_state IN ('reserved', 'used', 'released', 'uncertain')), "
    "soft_id INTEGER, rxaddr INTEGER, record_read BYTEA, record_written BYTEA, "
    "result INTEGER, message TEXT, flash_ms BIGINT, eeprom_ms BIGINT)";

// A server that cannot be reached answers nothing: the station is not held up for long.
const char CONNECT_TIMEOUT_S[] = "10";
const char TCP_USER_TIMEOUT_MS[] = "10000";

const char FIX_CONNECTION[] =
    "check that the PostgreSQL server is running and reachable and that the URI names the "
    "right host, database and user (a password belongs in ~/.pgpass or a service file, "
    "see docs/install.md)";
const char FIX_SERVER[] = "see the PostgreSQL server's log for the cause";

// One query parameter: text, or raw bytes sent in binary form, or NULL.
struct Param {
    std::string value;
    bool null = false;
    bool binary = false;
};
Param text(const std::string& value) {
    return {value, false, false};
}
Param number(int64_t value) {
    return {std::to_string(value), false, false};
}
// An identity value or `from`: 0 or below is none (it goes into no record), sent as NULL.
Param id(int value) {
    return value <= 0 ? Param{"", true, false} : number(value);
}
Param bytes(const std::vector<uint8_t>& value) {
    return {std::string(value.begin(), value.end()), false, true};
}

class Result {
  public:
    Result() = default;
    ~Result() { PQclear(res_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    void reset(PGresult* res) {
        PQclear(res_);
        res_ = res;
    }
    PGresult* get() const { return res_; }
    bool null(int row, int col) const { return PQgetisnull(res_, row, col) != 0; }
    std::string text(int row, int col) const { return PQgetvalue(res_, row, col); }
    int64_t number(int row, int col) const {
        return null(row, col) ? 0 : std::strtoll(PQgetvalue(res_, row, col), nullptr, 10);
    }
    int id(int row, int col) const {
        return null(row, col) ? -1 : static_cast<int>(number(row, col));
    }
    // bytea in the hex form, \x0102...
    std::vector<uint8_t> bytes(int row, int col) const {
        std::vector<uint8_t> out;
        std::string hex = text(row, col);
        if (hex.compare(0, 2, "\\x") == 0)
            bytes_from_hex(hex.substr(2), out);
        return out;
    }

  private:
    PGresult* res_ = nullptr;
};

AttemptRow row_from(const Result& r, int i) {
    using namespace sql;
    AttemptRow a;
    a.row_id = r.number(i, C_ROW_ID);
    a.station = r.text(i, C_STATION);
    a.pool = r.text(i, C_POOL);
    a.state = r.text(i, C_STATE);
    a.arrived_ms = r.number(i, C_ARRIVED);
    a.ended_ms = r.number(i, C_ENDED);
    a.bus = static_cast<int>(r.number(i, C_BUS));
    a.devnum = static_cast<int>(r.number(i, C_DEVNUM));
    a.port = r.text(i, C_PORT);
    a.flash_path = r.text(i, C_FLASH_PATH);
    a.image_sha256 = r.text(i, C_SHA256);
    a.image_length = r.number(i, C_LENGTH);
    a.from_id = static_cast<int>(r.number(i, C_FROM_ID));
    a.hard_id = r.id(i, C_HARD_ID);
    a.id_state = r.text(i, C_ID_STATE);
    a.soft_id = r.id(i, C_SOFT_ID);
    a.rxaddr = r.id(i, C_RXADDR);
    a.record_read = r.bytes(i, C_RECORD_READ);
    a.record_written = r.bytes(i, C_RECORD_WRITTEN);
    a.result = static_cast<int>(r.number(i, C_RESULT));
    a.message = r.text(i, C_MESSAGE);
    a.flash_ms = r.number(i, C_FLASH_MS);
    a.eeprom_ms = r.number(i, C_EEPROM_MS);
    return a;
}

// libpq's messages run over several lines; a station's message is one.
std::string one_line(const char* message) {
    std::string out;
    for (const char* p = message; *p; ++p) {
        if (*p == '\n' || *p == '\t') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += *p;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

class PgLedger : public Ledger {
  public:
    PgLedger(const std::string& uri, const std::string& station, const std::string& pool)
        : uri_(uri), station_(station), pool_(pool) {}
    // The name is given back before the connection ends, so that a station started right
    // after this one closed finds it free (a server ends a closed session a little later).
    ~PgLedger() override {
        if (PQstatus(conn_) == CONNECTION_OK)
            PQclear(PQexec(conn_, "SELECT pg_advisory_unlock_all()"));
        disconnect();
    }

    int open(std::string& error) override {
        const char* what = "marking what the station left in flight";
        Result r;
        if (connect(true, error) != 0 || take_name(error) != 0 ||
            run("BEGIN", {}, r, what, error) != 0 ||
            run(sql::MARK_UNCERTAIN, {text(station_)}, r, what, error) != 0 ||
            run(sql::MARK_INTERRUPTED, {text(station_)}, r, what, error) != 0 ||
            run("COMMIT", {}, r, what, error) != 0)
            return -1;
        opened_ = true;
        return 0;
    }

    int open_read(std::string& error) override {
        read_only_ = true;
        if (connect(false, error) != 0)
            return -1;
        opened_ = true;
        return 0;
    }

    int begin(Attempt& a, int from, std::string& error) override {
        const char* what = "writing the device's row";
        Result r;
        if (ready(error) != 0 || run("BEGIN", {}, r, what, error) != 0)
            return -1;
        int hard_id = a.hard_id;
        int64_t good_end = 0;
        if (from > 0) {
            const char* finding = "finding a free hard ID";
            std::vector<Param> at = {text(pool_), number(floor_.start(from))};
            if (run(LOCK_POOL, {text(pool_)}, r, "locking the pool", error) != 0 ||
                run(sql::LOWEST_FREE, at, r, finding, error) != 0)
                return -1;
            int64_t free_id = r.number(0, 0);
            if (from > HARD_ID_LAST || free_id > HARD_ID_LAST) {
                run("ROLLBACK", {}, r, what, error);
                return NO_ID_LEFT;
            }
            if (run(sql::LOWEST_NOT_FOR_GOOD, at, r, finding, error) != 0)
                return -1;
            good_end = r.number(0, 0);
            hard_id = static_cast<int>(free_id);
        }
        std::vector<Param> row = {text(station_),
                                  text(pool_),
                                  number(a.arrived_ms),
                                  number(a.bus),
                                  number(a.devnum),
                                  text(a.port),
                                  text(a.flash_path),
                                  text(a.image_sha256),
                                  number(a.image_length),
                                  id(from),
                                  id(hard_id),
                                  from > 0 ? text("reserved") : Param{"", true, false},
                                  id(a.soft_id),
                                  id(a.rxaddr),
                                  bytes(a.record_read)};
        if (run(sql::INSERT_ATTEMPT, row, r, what, error) != 0)
            return -1;
        int64_t row_id = r.number(0, 0);
        if (from > 0 &&
            run(sql::RESERVE_ID, {text(pool_), number(hard_id), text(station_), number(row_id)}, r,
                "reserving the hard ID", error) != 0)
            return -1;
        if (run("COMMIT", {}, r, what, error) != 0)
            return -1;
        a.row_id = row_id;
        a.hard_id = hard_id;
        if (from > 0)
            floor_.learn(from, static_cast<int>(good_end));
        return 0;
    }

    int finish(const Attempt& a, IdFate fate, std::string& error) override {
        const char* what = "writing the device's outcome";
        Result r;
        std::vector<Param> outcome = {
            number(a.row_id),    text(station_),       text(state_of(a.result)),
            number(a.ended_ms),  bytes(a.record_read), bytes(a.record_written),
            number(a.result),    text(a.message),      number(a.flash_ms),
            number(a.eeprom_ms), text(fate_name(fate))};
        if (ready(error) != 0 || run("BEGIN", {}, r, what, error) != 0 ||
            run(sql::FINISH_ATTEMPT, outcome, r, what, error) != 0)
            return -1;
        if (std::string(PQcmdTuples(r.get())) == "0") {
            run("ROLLBACK", {}, r, what, error);
            error = failure(uri_, what,
                            "row " + std::to_string(a.row_id) + " of station " + station_ +
                                " is not in the ledger",
                            "the station's begin and finish must name the same row");
            return -1;
        }
        if (run(fate == ID_USED ? sql::USE_ID : sql::RELEASE_ID, {number(a.row_id)}, r,
                "marking the hard ID", error) != 0 ||
            run("COMMIT", {}, r, what, error) != 0)
            return -1;
        return 0;
    }

    int peek(int from, int& next, int& left, std::string& error) override {
        return peek_pool(pool_, from, next, left, error);
    }

    int peek_pool(const std::string& pool, int from, int& next, int& left,
                  std::string& error) override {
        next = HARD_ID_LAST + 1;
        left = 0;
        if (from > HARD_ID_LAST)
            return 0;
        from = from < HARD_ID_FIRST ? HARD_ID_FIRST : from;
        int start = pool == pool_ ? floor_.start(from) : from;
        // One statement, so both answers come from one snapshot.
        std::string both =
            std::string("SELECT (") + sql::LOWEST_FREE + "), (" + sql::TAKEN_FROM + ")";
        Result r;
        if (ready(error) != 0 || run(both.c_str(), {text(pool), number(start)}, r,
                                     "reading the free hard IDs", error) != 0)
            return -1;
        next = static_cast<int>(r.number(0, 0));
        left = HARD_ID_LAST + 1 - start - static_cast<int>(r.number(0, 1));
        return 0;
    }

    int counts(std::vector<StationCounts>& out, std::string& error) override {
        out.clear();
        Result r;
        if (ready(error) != 0 || run(sql::COUNTS, {}, r, "counting the devices", error) != 0)
            return -1;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            StationCounts c;
            c.pool = r.text(i, 0);
            c.station = r.text(i, 1);
            c.ok = r.number(i, 2);
            c.failed = r.number(i, 3);
            c.interrupted = r.number(i, 4);
            c.started = r.number(i, 5);
            c.from_id = static_cast<int>(r.number(i, 6));
            out.push_back(c);
        }
        return 0;
    }

    // Row by row (libpq's single-row mode), so an export of any size needs little memory.
    int rows(RowSet set, int hard_id, const RowSink& sink, std::string& error) override {
        if (ready(error) != 0)
            return -1;
        std::string query = rows_query(set);
        std::string id_text = std::to_string(hard_id);
        const char* values[] = {id_text.c_str()};
        int count = set == ROWS_OF_HARD_ID ? 1 : 0;
        if (!PQsendQueryParams(conn_, query.c_str(), count, nullptr, values, nullptr, nullptr, 0) ||
            !PQsetSingleRowMode(conn_))
            return fail("reading the rows", PQerrorMessage(conn_), error);
        std::string cause;
        Result r;
        for (PGresult* res; (res = PQgetResult(conn_)) != nullptr;) {
            r.reset(res);
            ExecStatusType status = PQresultStatus(res);
            if (status == PGRES_SINGLE_TUPLE)
                sink(row_from(r, 0));
            else if (status != PGRES_TUPLES_OK && cause.empty())
                cause = PQresultErrorMessage(res);
        }
        return cause.empty() ? 0 : fail("reading the rows", cause.c_str(), error);
    }

  private:
    int connect(bool may_create, std::string& error) {
        const char* keys[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname",
                              nullptr};
        const char* values[] = {CONNECT_TIMEOUT_S, TCP_USER_TIMEOUT_MS, "korvofw", uri_.c_str(),
                                nullptr};
        disconnect();
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK)
            return fail("connecting", PQerrorMessage(conn_), error);
        Result r;
        return run("SET bytea_output = 'hex'", {}, r, "connecting", error) != 0
                   ? -1
                   : check_schema(may_create, error);
    }

    // Creates the schema in a database without one, one station at a time; refuses another
    // version.
    int check_schema(bool may_create, std::string& error) {
        const char* what = "reading its schema";
        Result r;
        if (run("BEGIN", {}, r, what, error) != 0 ||
            (may_create && run(LOCK_SCHEMA, {}, r, what, error) != 0) ||
            run(HAS_META, {}, r, what, error) != 0)
            return -1;
        if (r.text(0, 0) != "t") {
            if (!may_create)
                return refuse(what, "the database holds no ledger yet",
                              "give the URI of the ledger a station keeps", error);
            if (run(CREATE_ATTEMPTS, {}, r, "creating the schema", error) != 0 ||
                run(sql::CREATE_HARD_IDS, {}, r, "creating the schema", error) != 0)
                return -1;
            for (const char* create : sql::CREATE_REST)
                if (run(create, {}, r, "creating the schema", error) != 0)
                    return -1;
        }
        if (run(sql::READ_VERSION, {}, r, what, error) != 0)
            return -1;
        std::string found = PQntuples(r.get()) == 1 ? r.text(0, 0) : "none";
        if (found != std::to_string(SCHEMA_VERSION))
            return refuse(what,
                          "its schema version is " + found + ", this program knows version " +
                              std::to_string(SCHEMA_VERSION),
                          "use the korvofw release that wrote this ledger, or a newer one", error);
        return run("COMMIT", {}, r, what, error);
    }

    int take_name(std::string& error) {
        Result r;
        if (run(TAKE_NAME, {text(station_)}, r, "taking the station name", error) != 0)
            return -1;
        if (r.text(0, 0) == "t")
            return 0;
        return refuse(
            "taking the station name", "a station named " + station_ + " is running on this ledger",
            "stop that station first, or give this one another name (--station NAME)", error);
    }

    // After a lost connection the next call connects again and takes the name again; the
    // IDs in flight stay reserved, since this station is alive and holds their outcome.
    int ready(std::string& error) {
        if (!opened_) {
            error = failure(uri_, "using it", "the ledger is not open", "open it first");
            return -1;
        }
        if (conn_)
            return 0;
        if (connect(!read_only_, error) != 0 || (!read_only_ && take_name(error) != 0))
            return -1;
        return 0;
    }

    int run(const char* query, const std::vector<Param>& params, Result& r, const char* what,
            std::string& error) {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (const Param& p : params) {
            values.push_back(p.null ? nullptr : p.value.data());
            lengths.push_back(static_cast<int>(p.value.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        r.reset(PQexecParams(conn_, query, static_cast<int>(params.size()), nullptr, values.data(),
                             lengths.data(), formats.data(), 0));
        ExecStatusType status = PQresultStatus(r.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return 0;
        return fail(what, r.get() ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn_), error);
    }

    // The message, then: a broken connection is dropped (the next call connects again), an
    // open transaction rolled back.
    int fail(const char* what, const char* cause, std::string& error) {
        bool lost = PQstatus(conn_) != CONNECTION_OK;
        error = failure(uri_, what, one_line(cause), lost ? FIX_CONNECTION : FIX_SERVER);
        if (lost)
            disconnect();
        else if (PQtransactionStatus(conn_) != PQTRANS_IDLE)
            PQclear(PQexec(conn_, "ROLLBACK"));
        return -1;
    }

    // A refusal: the connection goes (with any name lock it holds) and the message is ours.
    int refuse(const char* what, const std::string& cause, const char* fix, std::string& error) {
        disconnect();
        error = failure(uri_, what, cause, fix);
        return -1;
    }

    void disconnect() {
        PQfinish(conn_);
        conn_ = nullptr;
    }

    std::string uri_, station_, pool_;
    PGconn* conn_ = nullptr;
    bool read_only_ = false;
    bool opened_ = false;
    IdFloor floor_;
};

} // namespace

std::unique_ptr<Ledger> make_pg_ledger(const std::string& uri, const std::string& station,
                                       const std::string& pool) {
    return std::make_unique<PgLedger>(uri, station, pool);
}

} // namespace ledger
