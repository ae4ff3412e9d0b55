// The ledger's test fixture: each suite runs on a scratch SQLite file and on a fresh database
// of the throwaway PostgreSQL cluster.
#pragma once

#include "ledger.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

enum BackendKind { SQLITE, POSTGRES };

// Runs SQL on a ledger's database as another program would; the first value it returns.
std::string raw_sql(const std::string& location, const std::string& sql);
// The rows of a set, read as korvofw-ledger reads them.
std::vector<ledger::AttemptRow> ledger_rows(const std::string& location,
                                            ledger::RowSet set = ledger::ALL_ROWS);

class LedgerTest : public ::testing::TestWithParam<BackendKind> {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A station's ledger, opened; the test fails when it cannot open.
    std::unique_ptr<ledger::Ledger> station(const std::string& name,
                                            const std::string& pool = "default");
    // begin() of an attempt at device `devnum`, its result in `rc` (the test fails on -1).
    static ledger::Attempt take(ledger::Ledger& led, int from, int devnum = 1, int* rc = nullptr);
    static void finish(ledger::Ledger& led, const ledger::Attempt& a, ledger::IdFate fate);
    std::vector<ledger::AttemptRow> rows() { return ledger_rows(location); }

    ScratchDir scratch;
    std::string location;

  private:
    std::string database_; // PostgreSQL: the test's own, dropped afterwards
};

#define LEDGER_ON_BOTH_BACK_ENDS(suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::Values(SQLITE, POSTGRES),                 \
                             [](const ::testing::TestParamInfo<BackendKind>& info) {               \
                                 return std::string(info.param == SQLITE ? "sqlite" : "postgres"); \
                             })
