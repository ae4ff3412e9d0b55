// korvofw-ledger as an operator runs it: its exact output for a small known ledger.
#include "ledger_fixture.h"

#include <algorithm>

using namespace ledger;

namespace {

ProcessResult report(std::vector<std::string> args) { // killed after run_process's 20 s
    args.insert(args.begin(), KORVOFW_LEDGER_BIN);
    return run_process(args);
}

const std::string SHA(64, 'a');
const std::string ROW_3 =
    "Row 3: pool default, station st-1, interrupted, hard ID 0x0011 uncertain\n"
    "  arrived 2024-05-01T12:00:30.000Z, bus 1 device 3, port 1-1.3\n"
    "  flash /fw/app.hex, 1024 bytes, sha256 " +
    SHA + "\n  soft ID 0x0001, RXaddr 0x0103\n  no outcome\n";

} // namespace

using Report = LedgerTest;

TEST_P(Report, PrintsTheSummaryTheExportAndOneDevice) {
    {
        std::unique_ptr<Ledger> st1 = station("st-1");
        finish(*st1, take(*st1, 0x10, 1), ID_USED, 0, "ok");
        finish(*st1, take(*st1, 0x10, 2), ID_RELEASED, -2, "Flash verify failed, at 0x0040");
        take(*st1, 0x10, 3); // in flight when it stops
    }
    station("st-1").reset();
    std::unique_ptr<Ledger> st2 = station("st,\"2\"", "other"), st3 = station("st-3");
    finish(*st2, take(*st2, 0, 4), ID_USED, 0, "ok, \"said\"\r\nthen");
    take(*st3, 0x20, 5); // in flight while the reports run

    ProcessResult summary = report({location, "summary"});
    EXPECT_EQ(summary.status, 0) << summary.err;
    EXPECT_EQ(summary.out,
              "Pool default: next hard ID 0x0012, 8173 left (from 0x0010)\n"
              "  Station st-1: 1 programmed, 1 failed, 1 interrupted; next hard ID 0x0012, 8173 "
              "left (from 0x0010)\n"
              "  Station st-3: 0 programmed, 0 failed, 0 interrupted, 1 in progress; next hard "
              "ID 0x0021, 8159 left (from 0x0020)\n"
              "Pool other: no hard IDs asked\n"
              "  Station st,\"2\": 1 programmed, 0 failed, 0 interrupted\n"
              "Uncertain hard IDs:\n" +
                  ROW_3);

    ProcessResult exported = report({location, "export"});
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out,
              csv_header() +
                  "1,st-1,default,ok,1714564810000,1714564813000,1,1,1-1.1,/fw/app.hex," + SHA +
                  ",1024,16,16,used,1,257,aabb,0080,0,ok,2500,300\r\n" +
                  "2,st-1,default,failed,1714564820000,1714564823000,1,2,1-1.2,/fw/app.hex," + SHA +
                  ",1024,16,17,released,1,258,aabb,,-2,\"Flash verify failed, at 0x0040\","
                  "2500,300\r\n" +
                  "3,st-1,default,interrupted,1714564830000,,1,3,1-1.3,/fw/app.hex," + SHA +
                  ",1024,16,17,uncertain,1,259,,,,,,\r\n" +
                  "4,\"st,\"\"2\"\"\",other,ok,1714564840000,1714564843000,1,4,1-1.4,/fw/app.hex," +
                  SHA + ",1024,,,,1,260,aabb,0080,0,\"ok, \"\"said\"\"\r\nthen\",2500,300\r\n" +
                  "5,st-3,default,started,1714564850000,,1,5,1-1.5,/fw/app.hex," + SHA +
                  ",1024,32,32,reserved,1,261,,,,,,\r\n");

    ProcessResult one = report({location, "device", "0x11"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "Row 2: pool default, station st-1, failed, hard ID 0x0011 released\n"
                       "  arrived 2024-05-01T12:00:20.000Z, bus 1 device 2, port 1-1.2\n"
                       "  flash /fw/app.hex, 1024 bytes, sha256 " +
                           SHA +
                           "\n  soft ID 0x0001, RXaddr 0x0102\n"
                           "  ended 2024-05-01T12:00:23.000Z, result -2: Flash verify failed, "
                           "at 0x0040\n"
                           "  flash 2500 ms, EEPROM 300 ms\n"
                           "  record read    aabb\n"
                           "  record written \n" +
                           ROW_3 + "Hard ID 0x0011: 2 attempts\n");
}

LEDGER_ON_BOTH_BACK_ENDS(Report);

// Names from the ledger reach the terminal with their control characters as '?': a newline
// splits no line, an escape sequence does nothing.
TEST_P(Report, ShowsNamesWithoutTheirControlCharacters) {
    std::unique_ptr<Ledger> st = station("a\nb\033[2J", "p\r");
    Attempt a;
    a.port = "1-1\033]0;x\a", a.flash_path = "fw\t.hex";
    std::string error;
    ASSERT_EQ(st->begin(a, 0x30, error), 0) << error;
    a.message = "bad\033[0m";
    ASSERT_EQ(st->finish(a, ID_USED, error), 0) << error;
    std::string out = report({location, "summary"}).out + report({location, "device", "30"}).out;
    for (const char* seen : {"Pool p?: next", "\n  Station a?b?[2J: 1 programmed",
                             "Row 1: pool p?, station a?b?[2J, ok", ", port 1-1?]0;x?\n",
                             "flash fw?.hex, ", ": bad?[0m\n"})
        EXPECT_TRUE(has(out, seen)) << seen << " in " << out;
}

TEST(ReportTool, RefusesBadArgumentsAndALedgerItCannotOpen) {
    ScratchDir dir;
    const std::string db = dir.path("x.db");
    // No arguments, or bad ones (@ stands for the ledger): the usage text and status 2.
    for (const char* line : {"", "@", "@ list", "@ device", "@ device 0x2000", "@ device 12g",
                             "@ summary x", "@ init x"}) {
        std::vector<std::string> args = split(line, ' ');
        std::replace(args.begin(), args.end(), std::string("@"), db);
        ProcessResult r = report(args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.err.find("Usage: korvofw-ledger LEDGER init\n"), std::string::npos) << r.err;
    }
    write_text(dir.path("other.db"), "");
    ProcessResult empty = report({dir.path("other.db"), "export"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("the file holds no ledger yet"), std::string::npos) << empty.err;
}
