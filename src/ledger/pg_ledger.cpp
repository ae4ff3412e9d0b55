// The ledger in a PostgreSQL database, for the stations of a line on many machines.
//
// Concurrent allocation: begin() takes a transaction-level advisory lock on its pool
// (pg_advisory_xact_lock) before it looks for the lowest free ID, so allocations in one pool
// run one at a time, and each of its statements (READ COMMITTED) sees every reservation
// committed before it got the lock. The lock ends with the transaction, also when the
// connection dies. The primary key on (pool, hard_id) is the backstop.
//
// The station's name: a session advisory lock (pg_try_advisory_lock) on a hash of the name,
// which the server drops when the station's connection ends, however it ends. A reader tells
// that a station runs by finding that lock in pg_locks, which takes nothing.
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
// Another session's name lock, as pg_locks shows it: the two keys in classid and objid.
const char NAME_HELD[] =
    "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted "
    "AND database = (SELECT oid FROM pg_database WHERE datname = current_database()) "
    "AND classid = 19270 AND objid = CAST(hashtext($1) AS oid) AND objsubid = 2)";
static_assert(NAME_LOCK_CLASS == 19270 && POOL_LOCK_CLASS == 19271 && SCHEMA_LOCK_CLASS == 19272,
              "the lock classes are spelt out in the queries above");

const char HAS_META[] = "SELECT to_regclass('meta') IS NOT NULL";
// The owner of a ledger table that this session's role may not change (ALTER TABLE takes its
// owner, a member of its owner's role or a superuser), and the role; no row when it may.
const char NOT_OWNED[] =
    "SELECT pg_get_userbyid(relowner), current_user FROM pg_class WHERE oid IN "
    "(to_regclass('attempts'), to_regclass('hard_ids'), to_regclass('meta')) "
    "AND NOT pg_has_role(relowner, 'USAGE') LIMIT 1";
// The first version's table; the later columns come from sql::UPGRADES.
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

// Reports run statements over many stations whose estimated cost can pass the server's
// jit_above_cost, while they take a few milliseconds: compiling them would take far longer.
constexpr int JIT_SINCE = 110000; // PostgreSQL 11

// A server that cannot be reached answers nothing: the station is not held up for long.
const char CONNECT_TIMEOUT_S[] = "10";
const char TCP_USER_TIMEOUT_MS[] = "10000";
// An idle connection whose peer vanished (a host lost power or network) is found dead within
// a minute: probed after 30 s of silence, then every 10 s, given up after 3 lost probes. The
// station's end finds a dead server so; the server's end of a station's session, set the same,
// ends the session of a station that vanished and so frees its name.
const char KEEPALIVES_IDLE_S[] = "30";
const char KEEPALIVES_INTERVAL_S[] = "10";
const char KEEPALIVES_COUNT[] = "3";
// A lock held elsewhere (a transaction left open on the pool's lock) refuses the device after
// as long as SQLite's busy wait, not never; a station's statement takes milliseconds, so one
// that runs this long is stuck. Reports may read long: they get the lock's bound alone.
const char SESSION_BOUNDS[] = "SELECT set_config('bytea_output', 'hex', false), "
                              "set_config('lock_timeout', '5s', false)";
const char STATION_BOUNDS[] = "SELECT set_config('bytea_output', 'hex', false), "
                              "set_config('lock_timeout', '5s', false), "
                              "set_config('statement_timeout', '15s', false), "
                              "set_config('tcp_keepalives_idle', $1, false), "
                              "set_config('tcp_keepalives_interval', $2, false), "
                              "set_config('tcp_keepalives_count', $3, false)";
// SQLSTATEs of a statement that ran past those bounds: lock_not_available, query_canceled.
const char LOCK_TIMED_OUT[] = "55P03";
const char STATEMENT_TIMED_OUT[] = "57014";

const char FIX_CONNECTION[] =
    "check that the PostgreSQL server is running and reachable and that the URI names the "
    "right host, database and user (a password belongs in ~/.pgpass or a service file, "
    "see docs/install.md)";
const char FIX_SERVER[] = "see the PostgreSQL server's log for the cause";
const char FIX_LOCKED[] = "another session held what the station needs locked past the station's "
                          "bounds (5 s for a lock, 15 s for a statement): find what keeps a "
                          "transaction open on the ledger (pg_stat_activity) and end it";

// One row of a result in single-row mode; bytea comes in the hex form, \x0102...
class PgRow : public Row {
  public:
    explicit PgRow(const PGresult* res) : res_(res) {}
    bool null(int col) const override { return PQgetisnull(res_, 0, col) != 0; }
    int64_t number(int col) const override {
        return null(col) ? 0 : std::strtoll(PQgetvalue(res_, 0, col), nullptr, 10);
    }
    std::string text(int col) const override { return PQgetvalue(res_, 0, col); }
    std::vector<uint8_t> bytes(int col) const override {
        std::vector<uint8_t> out;
        std::string hex = text(col);
        if (hex.compare(0, 2, "\\x") == 0)
            bytes_from_hex(hex.substr(2), out);
        return out;
    }

  private:
    const PGresult* res_;
};

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

class PgLedger : public SqlLedger {
  public:
    using SqlLedger::SqlLedger;
    // The name is given back before the connection ends, so that a station started right
    // after this one closed finds it free (a server ends a closed session a little later).
    ~PgLedger() override {
        if (PQstatus(conn_) == CONNECTION_OK)
            PQclear(PQexec(conn_, "SELECT pg_advisory_unlock_all()"));
        disconnect();
    }

  protected:
    // The station's name is a lock of the session, so it is taken again with every connection.
    // The URI's own parameters come after ours, so they win.
    int connect(Access access, std::string& error) override {
        const char* keys[] = {"connect_timeout",
                              "tcp_user_timeout",
                              "keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "application_name",
                              "dbname",
                              nullptr};
        const char* values[] = {CONNECT_TIMEOUT_S, TCP_USER_TIMEOUT_MS,   "1",
                                KEEPALIVES_IDLE_S, KEEPALIVES_INTERVAL_S, KEEPALIVES_COUNT,
                                "korvofw",         location_.c_str(),     nullptr};
        disconnect();
        access_ = access;
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK)
            return fail("connecting", PQerrorMessage(conn_), error);
        std::vector<Param> probes = {text(KEEPALIVES_IDLE_S), text(KEEPALIVES_INTERVAL_S),
                                     text(KEEPALIVES_COUNT)};
        if (run(access == STATION ? STATION_BOUNDS : SESSION_BOUNDS,
                access == STATION ? probes : std::vector<Param>(), nullptr, "connecting",
                error) != 0 ||
            (access == REPORT && PQserverVersion(conn_) >= JIT_SINCE &&
             run("SET jit = off", {}, nullptr, "connecting", error) != 0) ||
            check_schema(access, error) != 0)
            return -1;
        return access == STATION ? take_name(error) : 0;
    }

    bool connected() const override { return conn_ != nullptr; }

    // Ending the session undoes an open transaction and frees its locks.
    void disconnect() override {
        PQfinish(conn_);
        conn_ = nullptr;
    }

    // The scheme above: an allocation takes its pool's lock first, and the schema is created
    // under a lock of its own, one station at a time; the rest need none (READ COMMITTED).
    int begin_transaction(Txn kind, const char* what, std::string& error) override {
        if (run("BEGIN", {}, nullptr, what, error) != 0)
            return -1;
        if (kind == SCHEMA)
            return run(LOCK_SCHEMA, {}, nullptr, what, error);
        if (kind == ALLOCATION)
            return run(LOCK_POOL, {text(pool_)}, nullptr, "locking the pool", error);
        return 0;
    }

    int prepare_schema(bool may_create, const char* what, std::string& error) override {
        bool found = false;
        auto read = [&](const Row& r) { found = r.text(0) == "t"; };
        if (run(HAS_META, {}, read, what, error) != 0)
            return -1;
        if (found)
            return 0;
        if (!may_create)
            return refuse(what, "the database holds no ledger yet", fix_init(location_), error);
        return create_schema(CREATE_ATTEMPTS, "", error);
    }

    // A call's first statement that finds the connection broken (the server restarted since
    // the last call), before it returned anything, runs once more on a new connection, which
    // takes the station's name again: nothing of the call had reached the ledger.
    int run(const std::string& query, const std::vector<Param>& params, const RowFn& each,
            const char* what, std::string& error) override {
        bool first = call_statements_++ == 0, answered = false;
        if (send(query, params, each, what, error, answered) == 0)
            return 0;
        if (!first || answered || connected())
            return -1;
        if (connect(access_, error) != 0) {
            disconnect();
            return -1;
        }
        return send(query, params, each, what, error, answered);
    }

    int name_held(const std::string& station, bool& held, std::string& error) override {
        auto read = [&](const Row& r) { held = r.text(0) == "t"; };
        return run(NAME_HELD, {text(station)}, read, "looking for the running stations", error);
    }

    // A station's role often may write rows but not change the tables: the tables' owner
    // upgrades the ledger once, with init.
    int upgrade_refused(const std::string& what, std::string& error) override {
        std::string owner, role;
        auto read = [&](const Row& r) {
            owner = r.text(0);
            role = r.text(1);
        };
        if (run(NOT_OWNED, {}, read, what.c_str(), error) != 0)
            return -1;
        if (owner.empty())
            return 0;
        return refuse(
            what.c_str(),
            "its tables belong to role " + owner + ", and role " + role + " may not change them",
            "upgrade it once as " + owner + ": korvofw-ledger " + shown_location(location_) +
                " init, with user " + owner + " in the URI; then start the stations again",
            error);
    }

    std::string made() const override {
        return "ledger " + shown_location(location_) +
               ": created the ledger's tables in the database, schema version " +
               std::to_string(SCHEMA_VERSION);
    }

  private:
    // Row by row (libpq's single-row mode), so an export of any size needs little memory.
    // `answered`: it gave `each` a row.
    int send(const std::string& query, const std::vector<Param>& params, const RowFn& each,
             const char* what, std::string& error, bool& answered) {
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (const Param& p : params) {
            values.push_back(p.kind == Param::NONE ? nullptr : p.text.data());
            lengths.push_back(static_cast<int>(p.text.size()));
            formats.push_back(p.kind == Param::BYTES ? 1 : 0);
        }
        if (!PQsendQueryParams(conn_, query.c_str(), static_cast<int>(params.size()), nullptr,
                               values.data(), lengths.data(), formats.data(), 0) ||
            !PQsetSingleRowMode(conn_))
            return fail(what, PQerrorMessage(conn_), error);
        bool failed = false;
        std::string cause, state;
        for (PGresult* res; (res = PQgetResult(conn_)) != nullptr; PQclear(res)) {
            ExecStatusType status = PQresultStatus(res);
            if (status == PGRES_SINGLE_TUPLE) {
                answered = true;
                if (each)
                    each(PgRow(res));
            } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && !failed) {
                failed = true;
                cause = PQresultErrorMessage(res);
                const char* code = PQresultErrorField(res, PG_DIAG_SQLSTATE);
                state = code ? code : "";
            }
        }
        return failed ? fail(what, cause.c_str(), error, state) : 0;
    }

    int take_name(std::string& error) {
        bool taken = false;
        auto read = [&](const Row& r) { taken = r.text(0) == "t"; };
        if (run(TAKE_NAME, {text(station_)}, read, "taking the station name", error) != 0)
            return -1;
        if (taken)
            return 0;
        return refuse(
            "taking the station name", "a station named " + station_ + " is running on this ledger",
            "stop that station first, or give this one another name (--station NAME)", error);
    }

    // The message, then: a broken connection is dropped (the next call connects again), an
    // open transaction rolled back.
    int fail(const char* what, const char* cause, std::string& error,
             const std::string& state = "") {
        const std::string text = one_line(cause);
        // A server that went away often shows only when the connection is used again: the
        // rollback that ends the failed transaction tells, so the next call connects anew.
        bool lost = PQstatus(conn_) != CONNECTION_OK;
        if (!lost) {
            PGresult* r = PQexec(conn_, "ROLLBACK");
            lost = PQresultStatus(r) != PGRES_COMMAND_OK || PQstatus(conn_) != CONNECTION_OK;
            PQclear(r);
        }
        bool timed_out = state == LOCK_TIMED_OUT || state == STATEMENT_TIMED_OUT;
        error = failure(location_, what, text,
                        lost        ? FIX_CONNECTION
                        : timed_out ? FIX_LOCKED
                                    : FIX_SERVER);
        if (lost)
            disconnect();
        return -1;
    }

    PGconn* conn_ = nullptr;
    Access access_ = REPORT; // of the last connect()
};

} // namespace

std::unique_ptr<Ledger> make_pg_ledger(const std::string& uri, const std::string& station,
                                       const std::string& pool) {
    return std::make_unique<PgLedger>(uri, station, pool);
}

} // namespace ledger
