#include "ledger_fixture.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>

namespace {

bool is_pg(const std::string& location) {
    return location.compare(0, 13, "postgresql://") == 0;
}

// The cluster's URI with another database in its path.
std::string with_database(const std::string& uri, const std::string& database) {
    size_t path = uri.find('/', uri.find("://") + 3);
    size_t query = uri.find('?', path);
    return uri.substr(0, path + 1) + database +
           (query == std::string::npos ? "" : uri.substr(query));
}

std::string cluster_uri() {
    const char* uri = std::getenv("KORVOFW_PG_URI");
    // Never skipped: without the cluster the PostgreSQL half of the suite fails.
    EXPECT_TRUE(uri && *uri) << "KORVOFW_PG_URI is not set: run the tests through ctest, whose "
                                "fixture starts the PostgreSQL cluster";
    return uri ? uri : "";
}

} // namespace

std::string raw_sql(const std::string& location, const std::string& sql) {
    std::string value;
    if (is_pg(location)) {
        PGconn* conn = PQconnectdb(location.c_str());
        PGresult* res = PQexec(conn, sql.c_str());
        ExecStatusType status = PQresultStatus(res);
        EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            << sql << ": " << PQerrorMessage(conn);
        if (status == PGRES_TUPLES_OK && PQntuples(res) > 0)
            value = PQgetvalue(res, 0, 0);
        PQclear(res);
        PQfinish(conn);
        return value;
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW && sqlite3_column_text(stmt, 0))
        value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    EXPECT_TRUE(rc == SQLITE_ROW || rc == SQLITE_DONE) << sql << ": " << sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

void LedgerTest::SetUp() {
    if (GetParam() == SQLITE) {
        location = scratch.path("line.db");
        return;
    }
    std::string admin = cluster_uri();
    ASSERT_FALSE(admin.empty());
    database_ = "ledger_test_" + std::to_string(getpid());
    raw_sql(admin, "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
    raw_sql(admin, "CREATE DATABASE " + database_);
    location = with_database(admin, database_);
}

void LedgerTest::TearDown() {
    if (!database_.empty())
        raw_sql(cluster_uri(), "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
}

std::unique_ptr<ledger::Ledger> LedgerTest::station(const std::string& name,
                                                    const std::string& pool) {
    std::unique_ptr<ledger::Ledger> led = ledger::make_ledger(location, name, pool);
    std::string error;
    EXPECT_EQ(led->open(error), 0) << error;
    return led;
}

int LedgerTest::take(ledger::Ledger& led, int from, ledger::Attempt& a, int devnum) {
    a = ledger::Attempt();
    a.arrived_ms = 1000 + devnum;
    a.bus = 1;
    a.devnum = devnum;
    a.port = "1-1";
    std::string error;
    int rc = led.begin(a, from, error);
    EXPECT_GE(rc, 0) << error;
    return rc;
}

void LedgerTest::finish(ledger::Ledger& led, const ledger::Attempt& a, ledger::IdFate fate) {
    std::string error;
    EXPECT_EQ(led.finish(a, fate, error), 0) << error;
}

std::vector<ledger::AttemptRow> LedgerTest::rows(ledger::RowSet set, int hard_id) {
    std::vector<ledger::AttemptRow> out;
    std::unique_ptr<ledger::Ledger> reader = ledger::make_ledger(location, "", "");
    std::string error;
    EXPECT_EQ(reader->open_read(error), 0) << error;
    EXPECT_EQ(reader->rows(
                  set, hard_id, [&out](const ledger::AttemptRow& r) { out.push_back(r); }, error),
              0)
        << error;
    return out;
}

std::string backend_name(const ::testing::TestParamInfo<BackendKind>& info) {
    return info.param == SQLITE ? "sqlite" : "postgres";
}
