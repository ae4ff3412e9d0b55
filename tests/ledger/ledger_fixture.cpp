#include "ledger_fixture.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

// The cluster's URI; never skipped: without the cluster the PostgreSQL tests fail.
std::string cluster_uri() {
    const char* uri = std::getenv("KORVOFW_PG_URI");
    EXPECT_TRUE(uri && *uri) << "KORVOFW_PG_URI is not set: run the tests through ctest, whose "
                                "fixture starts the PostgreSQL cluster";
    return uri ? uri : "";
}

} // namespace

std::string raw_sql(const std::string& location, const std::string& sql) {
    std::string value;
    if (location.rfind("postgresql://", 0) == 0) {
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
    auto first = [](void* into, int, char** values, char**) {
        *static_cast<std::string*>(into) = values[0] ? values[0] : "";
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), first, &value, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    sqlite3_close(db);
    return value;
}

std::vector<ledger::AttemptRow> ledger_rows(const std::string& location, ledger::RowSet set) {
    std::vector<ledger::AttemptRow> out;
    std::unique_ptr<ledger::Ledger> reader = ledger::make_ledger(location, "", "");
    std::string error;
    EXPECT_EQ(reader->open_read(error), 0) << error;
    auto keep = [&out](const ledger::AttemptRow& r) { out.push_back(r); };
    EXPECT_EQ(reader->rows(set, 0, keep, error), 0) << error;
    return out;
}

void LedgerTest::SetUp() {
    location = scratch.path("line.db");
    if (GetParam() == SQLITE)
        return;
    const std::string admin = cluster_uri();
    ASSERT_FALSE(admin.empty());
    database_ = "ledger_test_" + std::to_string(getpid());
    raw_sql(admin, "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
    raw_sql(admin, "CREATE DATABASE " + database_);
    // postgresql://postgres@/postgres?host=DIR: the same with the test's database in its path.
    const size_t path = admin.find('/', admin.find("://") + 3), query = admin.find('?', path);
    location = admin.substr(0, path + 1) + database_ + admin.substr(std::min(query, admin.size()));
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

ledger::Attempt LedgerTest::take(ledger::Ledger& led, int from, int devnum, int* rc) {
    ledger::Attempt a;
    a.arrived_ms = 1000 + devnum;
    a.bus = 1;
    a.devnum = devnum;
    a.port = "1-1";
    std::string error;
    int result = led.begin(a, from, error);
    EXPECT_GE(result, 0) << error;
    if (rc)
        *rc = result;
    return a;
}

void LedgerTest::finish(ledger::Ledger& led, const ledger::Attempt& a, ledger::IdFate fate) {
    std::string error;
    EXPECT_EQ(led.finish(a, fate, error), 0) << error;
}
