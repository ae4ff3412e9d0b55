// The ledger's test fixture: each suite runs on a scratch SQLite file and on a fresh database
// of the throwaway PostgreSQL cluster that ctest's fixture starts (KORVOFW_PG_URI).
#pragma once

#include "ledger.h"
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

enum BackendKind { SQLITE, POSTGRES };

// Runs SQL on a ledger's database as another program would; all it printed, a row a line with
// the values split by '|'.
inline std::string sql_output(const std::string& location, const std::string& sql) {
    ProcessResult r =
        run_process(location.rfind("postgresql://", 0) == 0
                        ? std::vector<std::string>{"/usr/bin/psql", "-XAtq", "-v",
                                                   "ON_ERROR_STOP=1", "-c", sql, location}
                        : std::vector<std::string>{"/usr/bin/sqlite3", "-bail", location, sql});
    EXPECT_EQ(r.status, 0) << sql << ": " << r.err;
    return r.out;
}

// The first value the SQL returns.
inline std::string raw_sql(const std::string& location, const std::string& sql) {
    const std::string out = sql_output(location, sql);
    return out.substr(0, out.find('\n'));
}

// The ledger opened to read, as korvofw-ledger opens it.
inline std::unique_ptr<ledger::Ledger> open_reader(const std::string& location) {
    std::unique_ptr<ledger::Ledger> reader = ledger::make_ledger(location, "", "");
    std::string error;
    EXPECT_EQ(reader->open_read(error), 0) << error;
    return reader;
}

// Every row, read as korvofw-ledger reads them.
inline std::vector<ledger::AttemptRow> ledger_rows(const std::string& location) {
    std::vector<ledger::AttemptRow> out;
    std::unique_ptr<ledger::Ledger> reader = open_reader(location);
    std::string error;
    auto keep = [&out](const ledger::AttemptRow& r) { out.push_back(r); };
    EXPECT_EQ(reader->rows(ledger::ALL_ROWS, 0, keep, error), 0) << error;
    return out;
}

// Creates the ledger, as korvofw-ledger LOCATION init does; what init said.
inline std::string init_ledger(const std::string& location) {
    std::string said, error;
    EXPECT_EQ(ledger::make_ledger(location, "", "")->init(said, error), 0) << error;
    return said;
}

class LedgerTest : public ::testing::TestWithParam<BackendKind> {
  protected:
    static constexpr int64_t T0 = 1714564800000; // 2024-05-01T12:00:00Z
    // The ledger (init); PostgreSQL: in the test's own database, dropped after; never skipped.
    void SetUp() override {
        admin_ = std::getenv("KORVOFW_PG_URI") ? std::getenv("KORVOFW_PG_URI") : "";
        if (GetParam() == POSTGRES)
            make_database();
        if (!HasFatalFailure())
            init_ledger(location);
    }
    void make_database() {
        ASSERT_NE(admin_.find("/postgres?"), std::string::npos)
            << "KORVOFW_PG_URI is not the cluster's: run the tests through ctest, whose fixture "
               "starts it";
        database_ = "ledger_test_" + std::to_string(getpid());
        raw_sql(admin_, "CREATE DATABASE " + database_);
        location = admin_.substr(0, admin_.find("/postgres?") + 1) + database_ +
                   admin_.substr(admin_.find('?'));
    }
    void TearDown() override {
        if (!database_.empty())
            raw_sql(admin_, "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
    }
    // A station's ledger, opened; the test fails when it cannot open.
    std::unique_ptr<ledger::Ledger> station(const std::string& name,
                                            const std::string& pool = "default") {
        std::unique_ptr<ledger::Ledger> led = ledger::make_ledger(location, name, pool);
        std::string error;
        EXPECT_EQ(led->open(error), 0) << error;
        return led;
    }
    // begin() of device `devnum`: arrived at T0 + devnum * 10 s, port 1-1.<devnum>.
    static ledger::Attempt take(ledger::Ledger& led, int from, int devnum = 1,
                                const char* part = "atmega32u4") {
        ledger::Attempt a;
        a.arrived_ms = T0 + devnum * 10000, a.bus = 1, a.devnum = devnum, a.soft_id = 1;
        a.part = part;
        a.port = "1-1." + std::to_string(devnum), a.flash_path = "/fw/app.hex";
        a.image_sha256 = std::string(64, 'a'), a.image_length = 1024, a.rxaddr = 0x100 + devnum;
        std::string error;
        EXPECT_EQ(led.begin(a, from, error), 0) << error;
        return a;
    }
    // finish(), ended 3 s after arrival, twice: a repeated finish changes nothing.
    static void finish(ledger::Ledger& led, ledger::Attempt a, ledger::IdFate fate, int result = 0,
                       const char* message = "programmed", int64_t erase_ms = -1) {
        a.ended_ms = a.arrived_ms + 3000, a.flash_ms = 2500, a.eeprom_ms = 300;
        a.erase_ms = erase_ms;
        a.result = result, a.message = message, a.record_read = {0xAA, 0xBB};
        a.record_written = result == 0 ? std::vector<uint8_t>{0x00, 0x80} : std::vector<uint8_t>{};
        std::string error;
        EXPECT_EQ(led.finish(a, fate, error), 0) << error;
        EXPECT_EQ(led.finish(a, fate, error), 0) << error;
    }
    std::vector<ledger::AttemptRow> rows() const { return ledger_rows(location); }
    // korvofw-sim `args` (after `launcher`) with blink as fw.hex in the scratch directory, playing
    // the scenario with the bench's devices in <out>/; stopped once played, killed after 20 s.
    ProcessResult play(const std::string& out, const std::string& scenario,
                       const std::vector<std::string>& args, std::vector<std::string> env = {},
                       std::vector<std::string> launcher = {}) {
        write_text(scratch.path(out + ".scenario"), scenario);
        write_bytes(scratch.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
        ProcessOptions po;
        po.cwd = scratch.dir, po.timeout_ms = 20000;
        po.env = env;
        po.env.insert(po.env.end(), {"KORVOFW_SIM=" + out + ".scenario", "KORVOFW_SIM_OUT=" + out});
        const std::string done = scratch.path(out + "/done");
        po.stop_when = [done](const std::string&) { return std::filesystem::exists(done); };
        launcher.push_back(KORVOFW_SIM_BIN);
        launcher.insert(launcher.end(), args.begin(), args.end());
        return run_process(launcher, po);
    }

    ScratchDir scratch;
    std::string location = scratch.path("line.db");

  private:
    std::string admin_, database_;
};

inline const char* const BACKEND_NAMES[] = {"sqlite", "postgres"}; // by BackendKind
#define LEDGER_ON_BOTH_BACK_ENDS(suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::Values(SQLITE, POSTGRES),                 \
                             [](const auto& info) { return BACKEND_NAMES[info.param]; })
