// korvofw-ledger watch: the stations() read on both back ends, the view's text for each case,
// and the real program's one snapshot when its output is not a terminal.
#include "ledger_fixture.h"
#include "line_view.h"

#include <cstdlib>
#include <ctime>

using namespace ledger;

namespace {

// A row of pool default, from 0x10: a finished one ended at `at`, any other arrived then.
AttemptRow row(int64_t row_id, const std::string& state, int hard_id, int64_t at,
               const std::string& message = "") {
    AttemptRow r{{}, "", "default", state, "", 0x10};
    r.row_id = row_id;
    r.hard_id = hard_id;
    r.arrived_ms = at - (r.finished() ? 3000 : 0);
    r.ended_ms = r.finished() ? at : 0;
    r.message = message;
    r.port = "1-1." + std::to_string(row_id);
    return r;
}

ViewLine line(const std::string& station, bool running, const AttemptRow& latest,
              const AttemptRow& done, int64_t ok = 0, int64_t failed = 0, int next = 0x20,
              int left = 8000) {
    return {{station, running, latest, done, ok, failed}, next, left};
}

std::string described(const StationNow& s) {
    auto n = [](int64_t value) { return std::to_string(value); };
    return s.station + (s.running ? " running" : " stopped") + ", latest " + n(s.latest.row_id) +
           " " + s.latest.state + " " + n(s.latest.hard_id) + " " + s.latest.port + ", done " +
           n(s.last_done.row_id) + " " + s.last_done.state + ", " + n(s.ok) + " ok " + n(s.failed) +
           " failed\n";
}

} // namespace

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
        take(*b, 0, 6); // in flight when it stopped
        std::unique_ptr<Ledger> c = station("st-c");
        take(*c, 0x10, 7); // its only row
    }
    ASSERT_EQ(reader->stations(T0 + 15000, got, error), 0) << error;
    std::string seen;
    for (const StationNow& s : got)
        seen += described(s);
    EXPECT_EQ(seen, "st-a running, latest 4 started 18 1-1.4, done 3 failed, 1 ok 1 failed\n"
                    "st-b stopped, latest 6 started -1 1-1.6, done 5 ok, 1 ok 0 failed\n"
                    "st-c stopped, latest 7 started 19 1-1.7, done 0 , 0 ok 0 failed\n");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].last_done.message, "Flash verification failed");
    EXPECT_EQ(got[0].latest.from_id, 0x10);
}

TEST_P(Watch, PrintsTheViewOnceWhenNotOnATerminal) {
    std::unique_ptr<Ledger> a = station("bench-1"), b = station("bench-2");
    finish(*a, take(*a, 0x10, 1), ID_USED);
    finish(*a, take(*a, 0x10, 2), ID_RELEASED, -2, "Flash verification failed");
    take(*b, 0x10, 3); // in flight: the ID bench-1 released
    {
        std::unique_ptr<Ledger> c = station("bench-3", "other");
        finish(*c, take(*c, 0, 4), ID_USED);
    }
    ProcessOptions options;
    options.env = {"TZ=UTC"};
    ProcessResult r = run_process({KORVOFW_LEDGER_BIN, location, "watch"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "  STATION  PORT   NOW                 LAST DEVICE                     OK TODAY  "
              "FAILED TODAY  POOL     NEXT ID  IDS LEFT\n"
              "! bench-1  1-1.2  waiting             failed 0x0011 2024-05-01 12:00         0"
              "             0  default  0x0012       8174  Flash verification failed\n"
              "  bench-2  1-1.3  programming 0x0011  none                                   0"
              "             0  default  0x0012       8174\n"
              "  bench-3  1-1.4  stopped             ok - 2024-05-01 12:00                  0"
              "             0  other    -               -\n");
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
    AttemptRow no_id = row(4, "ok", -1, NOW - 1000), none;
    no_id.from_id = 0;
    using View = std::vector<ViewLine>;
    struct Case {
        const char* what;
        View lines;
        bool colour;
        std::string expected;
    };
    const Case cases[] = {
        {"no station yet", View(), false,
         "  STATION  PORT  NOW  LAST DEVICE  OK TODAY  FAILED TODAY  POOL  NEXT ID  IDS LEFT\n"
         "  No station has written to this ledger yet\n"},
        {"waiting, programming, stopped, no hard IDs, none left",
         View{line("bench-1", true, ok_today, ok_today, 12, 1),
              line("bench-2", true, started, ok_today, 3, 0),
              line("bench-3", false, failed, failed, 0, 0, 0x2000, 0),
              line("bench-4", true, no_id, no_id), line("bench-5", true, started, none)},
         false,
         "  STATION  PORT   NOW                 LAST DEVICE                     OK TODAY  FAILED "
         "TODAY  POOL     NEXT ID  IDS LEFT\n"
         "  bench-1  1-1.1  waiting             ok 0x0010 00:00:00                    12          "
         "   1  default  0x0020       8000\n"
         "  bench-2  1-1.2  programming 0x0011  ok 0x0010 00:00:00                     3          "
         "   0  default  0x0020       8000\n"
         "! bench-3  1-1.3  stopped             failed 0x0012 2024-04-30 23:59         0       "
         "      0  default  none            0  Status clear error\n"
         "  bench-4  1-1.4  waiting             ok - 13:59:59                          0          "
         "   0  default  -               -\n"
         "  bench-5  1-1.2  programming 0x0011  none                                   0          "
         "   0  default  0x0020       8000\n"},
        {"a failed last device in colour, without the mark",
         View{line("bench-3", true, failed, failed, 0, 1)}, true,
         "  STATION  PORT   NOW      LAST DEVICE                     OK TODAY  FAILED TODAY  "
         "POOL     NEXT ID  IDS LEFT\n"
         "\033[31m  bench-3  1-1.3  waiting  failed 0x0012 2024-04-30 23:59         0          "
         "   1  default  0x0020       8000  Status clear error\033[0m\n"},
        {"a name with an escape sequence is shown harmless; UTF-8 lines up",
         View{line("b\033[2Jx", true, ok_today, ok_today),
              line("Prüfplatz", true, ok_today, ok_today)},
         false,
         "  STATION    PORT   NOW      LAST DEVICE         OK TODAY  FAILED TODAY  POOL     "
         "NEXT ID  IDS LEFT\n"
         "  b?[2Jx     1-1.1  waiting  ok 0x0010 00:00:00         0             0  default  "
         "0x0020       8000\n"
         "  Prüfplatz  1-1.1  waiting  ok 0x0010 00:00:00         0             0  default  "
         "0x0020       8000\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(render_view(c.lines, NOW, c.colour), c.expected) << c.what;
}
