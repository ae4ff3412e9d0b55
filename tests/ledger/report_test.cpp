// korvofw-ledger as an operator runs it: its reports' exact output for a small known ledger;
// watch's stations() read, its view's text for each case, its one snapshot off a terminal.
#include "ledger_fixture.h"
#include "line_view.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

using namespace ledger;

namespace {

ProcessResult report(std::vector<std::string> args) { // killed after run_process's 20 s
    args.insert(args.begin(), KORVOFW_LEDGER_BIN);
    return run_process(args);
}

std::string printed(const std::vector<std::string>& args) { // by a report that succeeds
    ProcessResult r = report(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

const std::string SHA(64, 'a');
std::string flash_line(const std::string& part) {
    return "  part " + part + ", flash /fw/app.hex, 1024 bytes, sha256 " + SHA + "\n";
}
const std::string ROW_3 =
    "Row 3: pool default, station st-1, interrupted, hard ID 0x0011 uncertain\n"
    "  arrived 2024-05-01T12:00:30.000Z, bus 1 device 3, port 1-1.3\n" +
    flash_line("atmega32u4") + "  soft ID 0x0001, RXaddr 0x0103\n  no outcome\n";

// A row of pool default, from 0x10: a finished one ended at `at`, any other arrived then.
AttemptRow row(int64_t row_id, const std::string& state, int hard_id, int64_t at,
               const std::string& message = "") {
    AttemptRow r{{}, "", "default", state, "", 0x10};
    r.row_id = row_id, r.hard_id = hard_id, r.message = message, r.part = "atmega32u4";
    r.port = "1-1." + std::to_string(row_id);
    r.arrived_ms = at - (r.finished() ? 3000 : 0), r.ended_ms = r.finished() ? at : 0;
    return r;
}

ViewLine line(const std::string& station, bool running, const AttemptRow& latest,
              const AttemptRow& done, int64_t ok = 0, int64_t failed = 0, int next = 0x20,
              int left = 8000) {
    return {{station, running, latest, done, ok, failed}, next, left};
}

// The device's test (korvofw --after), twice: a repeated one changes nothing.
void record(Ledger& led, Attempt a, const char* status, const char* results) {
    a.test_status = status, a.test_ms = 1500, a.test_results = results;
    std::string error;
    EXPECT_EQ(led.record_test(a, error), 0) << error;
    EXPECT_EQ(led.record_test(a, error), 0) << error;
}

std::string described(const StationNow& s) {
    auto n = [](int64_t value) { return std::to_string(value); };
    return s.station + (s.running ? " running" : " stopped") + ", latest " + n(s.latest.row_id) +
           " " + s.latest.state + " " + n(s.latest.hard_id) + " " + s.latest.port + " " +
           s.latest.part + ", done " + n(s.last_done.row_id) + " " + s.last_done.state + ", " +
           n(s.ok) + " ok " + n(s.failed) + " failed\n";
}

} // namespace

using Report = LedgerTest;

TEST_P(Report, PrintsTheSummaryTheExportAndOneDevice) {
    {
        std::unique_ptr<Ledger> st1 = station("st-1");
        Attempt tested = take(*st1, 0x10, 1);
        finish(*st1, tested, ID_USED, 0, "ok");
        record(*st1, tested, "passed", R"({"current_ma":"41.5"})");
        finish(*st1, take(*st1, 0x10, 2, "atxmega128a4u"), ID_RELEASED, -2,
               "Flash verify failed, at 0x0040", 120);
        take(*st1, 0x10, 3); // in flight when it stops
    }
    station("st-1").reset();
    std::unique_ptr<Ledger> st2 = station("st,\"2\"", "other"), st3 = station("st-3");
    Attempt failed_test = take(*st2, 0, 4, "atxmega32a4u");
    finish(*st2, failed_test, ID_USED, 0, "ok, \"said\"\r\nthen", 0);
    record(*st2, failed_test, "exit status 3", R"({"fw":"1,2"})");
    Attempt in_flight = take(*st3, 0x20, 5); // in flight while the reports run
    // A test goes only into a finished row of the station's own.
    std::string error;
    EXPECT_EQ(st3->record_test(in_flight, error), ROW_LOST);
    EXPECT_EQ(st3->record_test(failed_test, error), ROW_LOST);

    EXPECT_EQ(
        printed({location, "summary"}),
        "Pool default: next hard ID 0x0012, 8173 left (from 0x0010)\n"
        "  Station st-1 (atmega32u4): 1 programmed, 0 failed, 1 interrupted, 1 tested, 0 failed "
        "the test; next hard ID 0x0012, 8173 left (from 0x0010)\n"
        "  Station st-1 (atxmega128a4u): 0 programmed, 1 failed, 0 interrupted; next hard ID "
        "0x0012, 8173 left (from 0x0010)\n"
        "  Station st-3 (atmega32u4): 0 programmed, 0 failed, 0 interrupted, 1 in progress; next "
        "hard ID 0x0021, 8159 left (from 0x0020)\n"
        "Pool other: no hard IDs asked\n"
        "  Station st,\"2\" (atxmega32a4u): 1 programmed, 0 failed, 0 interrupted, 1 tested, 1 "
        "failed the test\n"
        "Uncertain hard IDs:\n" +
            ROW_3);

    EXPECT_EQ(printed({location, "export"}),
              csv_header() +
                  "1,st-1,default,ok,1714564810000,1714564813000,1,1,1-1.1,/fw/app.hex," + SHA +
                  ",1024,16,16,used,1,257,aabb,0080,0,ok,2500,300,atmega32u4,,passed,1500,"
                  "\"{\"\"current_ma\"\":\"\"41.5\"\"}\"\r\n" +
                  "2,st-1,default,failed,1714564820000,1714564823000,1,2,1-1.2,/fw/app.hex," + SHA +
                  ",1024,16,17,released,1,258,aabb,,-2,\"Flash verify failed, at 0x0040\","
                  "2500,300,atxmega128a4u,120,,,\r\n" +
                  "3,st-1,default,interrupted,1714564830000,,1,3,1-1.3,/fw/app.hex," + SHA +
                  ",1024,16,17,uncertain,1,259,,,,,,,atmega32u4,,,,\r\n" +
                  "4,\"st,\"\"2\"\"\",other,ok,1714564840000,1714564843000,1,4,1-1.4,/fw/app.hex," +
                  SHA +
                  ",1024,,,,1,260,aabb,0080,0,\"ok, \"\"said\"\"\r\nthen\",2500,300,atxmega32a4u,0,"
                  "exit status 3,1500,\"{\"\"fw\"\":\"\"1,2\"\"}\"\r\n" +
                  "5,st-3,default,started,1714564850000,,1,5,1-1.5,/fw/app.hex," + SHA +
                  ",1024,32,32,reserved,1,261,,,,,,,atmega32u4,,,,\r\n");

    EXPECT_EQ(printed({location, "device", "0x11"}),
              "Row 2: pool default, station st-1, failed, hard ID 0x0011 released\n"
              "  arrived 2024-05-01T12:00:20.000Z, bus 1 device 2, port 1-1.2\n" +
                  flash_line("atxmega128a4u") +
                  "  soft ID 0x0001, RXaddr 0x0102\n"
                  "  ended 2024-05-01T12:00:23.000Z, result -2: Flash verify failed, at 0x0040\n"
                  "  erase 120 ms, flash 2500 ms, EEPROM 300 ms\n"
                  "  record read    aabb\n  record written \n" +
                  ROW_3 + "Hard ID 0x0011: 2 attempts\n");
    EXPECT_TRUE(has(printed({location, "device", "0x10"}),
                    "  record written 0080\n  test passed, 1500 ms, results "
                    "{\"current_ma\":\"41.5\"}\nHard ID 0x0010: 1 attempt\n"));
}

LEDGER_ON_BOTH_BACK_ENDS(Report);

// Control characters in names from the ledger reach the terminal as '?': no split line, no escape.
TEST_P(Report, ShowsNamesWithoutTheirControlCharacters) {
    std::unique_ptr<Ledger> st = station("a\nb\033[2J", "p\r");
    Attempt a;
    a.port = "1-1\033]0;x\a", a.flash_path = "fw\t.hex", a.part = "x\ny";
    std::string error;
    ASSERT_EQ(st->begin(a, 0x30, error), 0) << error;
    a.message = "bad\033[0m";
    ASSERT_EQ(st->finish(a, ID_USED, error), 0) << error;
    std::string out = printed({location, "summary"}) + printed({location, "device", "30"});
    for (const char* seen :
         {"Pool p?: next", "\n  Station a?b?[2J (x?y): 1 programmed",
          "Row 1: pool p?, station a?b?[2J, ok", ", port 1-1?]0;x?\n", "part x?y, flash fw?.hex, ",
          ": bad?[0m\n  no erase, flash 0 ms, EEPROM 0 ms\n"})
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

using Watch = LedgerTest;

TEST_P(Watch, StationsGivesTheLatestRowsTheCountsSinceAndWhoRuns) {
    station("st-a").reset(); // the schema, and no row yet
    std::unique_ptr<Ledger> reader = make_ledger(location, "", "");
    std::string error;
    ASSERT_EQ(reader->open_read(error), 0) << error;
    std::vector<StationNow> got;
    ASSERT_EQ(reader->stations(0, got, error), 0) << error;
    EXPECT_TRUE(got.empty()) << "a station without rows is none of the view's";

    std::unique_ptr<Ledger> a = station("st-a");
    finish(*a, take(*a, 0x10, 1), ID_USED); // ended before `since`: not counted
    finish(*a, take(*a, 0x10, 2), ID_USED);
    finish(*a, take(*a, 0x10, 3), ID_RELEASED, -2, "Flash verification failed");
    take(*a, 0x10, 4); // in flight
    {
        std::unique_ptr<Ledger> b = station("st-b", "other");
        finish(*b, take(*b, 0, 5), ID_USED);
        take(*b, 0, 6, "atxmega128a4u"); // in flight when it stopped
        std::unique_ptr<Ledger> c = station("st-c");
        take(*c, 0x10, 7); // its only row
    }
    ASSERT_EQ(reader->stations(T0 + 15000, got, error), 0) << error;
    std::string seen;
    for (const StationNow& s : got)
        seen += described(s);
    EXPECT_EQ(seen, "st-a running, latest 4 started 18 1-1.4 atmega32u4, done 3 failed, 1 ok 1 "
                    "failed\n"
                    "st-b stopped, latest 6 started -1 1-1.6 atxmega128a4u, done 5 ok, 1 ok 0 "
                    "failed\n"
                    "st-c stopped, latest 7 started 19 1-1.7 atmega32u4, done 0 , 0 ok 0 failed\n");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].last_done.message, "Flash verification failed");
    EXPECT_EQ(got[0].latest.from_id, 0x10);
}

TEST_P(Watch, PrintsTheViewOnceOffATerminalAndRedrawsItOnOne) {
    std::unique_ptr<Ledger> a = station("bench-1"), b = station("bench-2");
    finish(*a, take(*a, 0x10, 1), ID_USED);
    finish(*a, take(*a, 0x10, 2), ID_RELEASED, -2, "Flash verification failed");
    take(*b, 0x10, 3); // in flight: the ID bench-1 released
    {
        std::unique_ptr<Ledger> c = station("bench-3", "other");
        finish(*c, take(*c, 0, 4, "atxmega32a4u"), ID_USED);
    }
    ProcessOptions options;
    options.env = {"TZ=UTC"};
    ProcessResult r = run_process({KORVOFW_LEDGER_BIN, location, "watch"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "  STATION  PORT   PART          NOW                 LAST DEVICE                     "
              "OK TODAY  FAILED TODAY  POOL     NEXT ID  IDS LEFT\n"
              "! bench-1  1-1.2  atmega32u4    waiting             failed 0x0011 2024-05-01 12:00 "
              "        0             0  default  0x0012       8174  Flash verification failed\n"
              "  bench-2  1-1.3  atmega32u4    programming 0x0011  none                           "
              "        0             0  default  0x0012       8174\n"
              "  bench-3  1-1.4  atxmega32a4u  stopped             ok - 2024-05-01 12:00          "
              "        0             0  other    -               -\n");
    // On a terminal (script(1) lends it one): the screen cleared, then the title (with the
    // clock) and the same view drawn in place, each line cleared to its end, then the rest.
    std::string drawn = "\033[K\n\033[K\n";
    for (const std::string& line : split(r.out, '\n'))
        drawn += line + "\033[K\n";
    options.env.push_back("TERM=dumb"); // no colour
    options.stop_when = [](const std::string& out) { return has(out, "\033[J"); };
    ProcessResult tty =
        run_process({"/usr/bin/script", "-qfec", KORVOFW_LEDGER_BIN + (" '" + location + "' watch"),
                     "/dev/null"},
                    options);
    ASSERT_TRUE(tty.stopped) << tty.out;
    std::string screen = tty.out;
    screen.erase(std::remove(screen.begin(), screen.end(), '\r'), screen.end()); // the tty's CR LF
    screen.erase(screen.find("\033[J") + 3); // the first screen, whatever came after it
    const std::string title = "\033[2J\033[?25l\033[H" + shown_location(location) + "  ";
    EXPECT_EQ(screen.substr(0, title.size()), title);
    EXPECT_EQ(screen.substr(title.size() + 19), "  (Ctrl-C ends)" + drawn + "\033[J");
}

LEDGER_ON_BOTH_BACK_ENDS(Watch);

// Local time in Berlin: now is 14:00:00 on 2024-05-01, and the day began at 22:00 UTC.
TEST(WatchView, ShowsEachStateOfAStation) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    constexpr int64_t NOW = 1714564800000; // 2024-05-01T12:00:00Z
    constexpr int64_t MIDNIGHT = NOW - 14 * 3600 * 1000;
    EXPECT_EQ(local_midnight_ms(NOW), MIDNIGHT);
    AttemptRow ok_today = row(1, "ok", 0x10, MIDNIGHT), started = row(2, "started", 0x11, NOW);
    AttemptRow failed = row(3, "failed", 0x12, MIDNIGHT - 1000, "Status clear error");
    AttemptRow no_id = row(4, "ok", -1, NOW - 1000), none, first = row(2, "started", 1, NOW);
    no_id.from_id = 0;
    first.part = "at90usb1286";
    AttemptRow test_failed = row(5, "ok", 0x13, NOW - 2000);
    test_failed.test_status = "exit status 3";
    ViewLine tested = line("bench-6", true, test_failed, test_failed, 4, 0);
    tested.now.tested = 4, tested.now.test_failed = 1;
    using View = std::vector<ViewLine>;
    struct Case {
        const char* what;
        View lines;
        std::string expected;
        bool colour = false;
    };
    const Case cases[] = {
        {"no station yet", View(),
         "  STATION  PORT  PART  NOW  LAST DEVICE  OK TODAY  FAILED TODAY  POOL  NEXT ID  IDS "
         "LEFT\n"
         "  No station has written to this ledger yet\n"},
        {"waiting, programming, stopped, no hard IDs, none left",
         View{line("bench-1", true, ok_today, ok_today, 12, 1),
              line("bench-2", true, started, ok_today, 3, 0),
              line("bench-3", false, failed, failed, 0, 0, 0x2000, 0),
              line("bench-4", true, no_id, no_id), line("bench-5", true, first, none)},
         "  STATION  PORT   PART         NOW                 LAST DEVICE                     OK "
         "TODAY  FAILED TODAY  POOL     NEXT ID  IDS LEFT\n"
         "  bench-1  1-1.1  atmega32u4   waiting             ok 0x0010 00:00:00                "
         "    12             1  default  0x0020       8000\n"
         "  bench-2  1-1.2  atmega32u4   programming 0x0011  ok 0x0010 00:00:00                "
         "     3             0  default  0x0020       8000\n"
         "! bench-3  1-1.3  atmega32u4   stopped             failed 0x0012 2024-04-30 23:59    "
         "     0             0  default  none            0  Status clear error\n"
         "  bench-4  1-1.4  atmega32u4   waiting             ok - 13:59:59                     "
         "     0             0  default  -               -\n"
         "  bench-5  1-1.2  at90usb1286  programming 0x0001  none                              "
         "     0             0  default  0x0020       8000\n"},
        {"a failed last device in colour, without the mark",
         View{line("bench-3", true, failed, failed, 0, 1)},
         "  STATION  PORT   PART        NOW      LAST DEVICE                     OK TODAY  "
         "FAILED TODAY  POOL     NEXT ID  IDS LEFT\n"
         "\033[31m  bench-3  1-1.3  atmega32u4  waiting  failed 0x0012 2024-04-30 23:59       "
         "  0             1  default  0x0020       8000  Status clear error\033[0m\n",
         true},
        {"a name with an escape sequence is shown harmless; UTF-8 lines up",
         View{line("b\033[2Jx", true, ok_today, ok_today),
              line("Prüfplatz", true, ok_today, ok_today)},
         "  STATION    PORT   PART        NOW      LAST DEVICE         OK TODAY  FAILED TODAY  "
         "POOL     NEXT ID  IDS LEFT\n"
         "  b?[2Jx     1-1.1  atmega32u4  waiting  ok 0x0010 00:00:00         0             0  "
         "default  0x0020       8000\n"
         "  Prüfplatz  1-1.1  atmega32u4  waiting  ok 0x0010 00:00:00         0             0  "
         "default  0x0020       8000\n"},
        {"tested today: the test columns, a failed test marked with its status",
         View{tested, line("bench-1", true, ok_today, ok_today, 12, 1)},
         "  STATION  PORT   PART        NOW      LAST DEVICE                  OK TODAY  FAILED "
         "TODAY  TESTED TODAY  TEST FAILED TODAY  POOL     NEXT ID  IDS LEFT\n"
         "! bench-6  1-1.5  atmega32u4  waiting  test failed 0x0013 13:59:58         4             "
         "0             4                  1  default  0x0020       8000  test: exit status 3\n"
         "  bench-1  1-1.1  atmega32u4  waiting  ok 0x0010 00:00:00                 12             "
         "1             0                  0  default  0x0020       8000\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(render_view(c.lines, NOW, c.colour), c.expected) << c.what;
}
