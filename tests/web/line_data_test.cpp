// The line's texts as korvofw-ledger serve gives them: /api/line's JSON field by field and
// /metrics' exact text, for ledgers written by stations at chosen times, on both back ends.
#include "line_data.h"
#include "serve_fixture.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>

using namespace ledger;
using Json = nlohmann::ordered_json;

namespace {

// A zone half an hour off UTC: local hours and days begin where UTC's do not.
const char ZONE[] = "IST-5:30";
constexpr int64_t HOUR = 3600000;
constexpr int64_t NOW = 1714545600000;      // 2024-05-01 12:10 local
constexpr int64_t MIDNIGHT = 1714501800000; // 2024-05-01 00:00 local
constexpr int64_t H0 = 1714505400000;       // 01:00 local, the oldest hour shown
constexpr int64_t H11 = H0 + 11 * HOUR;     // 12:00 local, the current hour

// One device: its pass ended at `ended` after `took` ms with `result` (ok: its ID used, else
// released), then its test when `test` is set. ended 0: it stays in flight.
Attempt device(Ledger& led, int from, int64_t ended, int result = 0, const char* message = "ok",
               const char* test = nullptr, int64_t took = 3000) {
    Attempt a;
    a.arrived_ms = ended == 0 ? NOW - 1000 : ended - took;
    a.port = "1-1.4", a.part = "atmega32u4", a.flash_path = "/fw/app.hex";
    a.image_sha256 = std::string(64, 'a'), a.image_length = 1024;
    std::string error;
    EXPECT_EQ(led.begin(a, from, error), 0) << error;
    if (ended == 0)
        return a;
    a.ended_ms = ended, a.result = result, a.message = message;
    EXPECT_EQ(led.finish(a, result == 0 ? ID_USED : ID_RELEASED, error), 0) << error;
    if (test) {
        a.test_status = test, a.test_ms = 100;
        EXPECT_EQ(led.record_test(a, error), 0) << error;
    }
    return a;
}

class LineData : public LedgerTest {
  protected:
    void SetUp() override {
        setenv("TZ", ZONE, 1);
        tzset();
        LedgerTest::SetUp();
    }
    std::unique_ptr<Ledger> reader() { return open_reader(location); }
    static web::LineTexts read(web::LineReader& r, int64_t now = NOW) {
        web::LineTexts texts;
        std::string error;
        EXPECT_EQ(r.read(now, texts, error), 0) << error;
        return texts;
    }
    web::LineTexts read_fresh(int64_t now = NOW) {
        std::unique_ptr<Ledger> led = reader();
        web::LineReader r(*led);
        return read(r, now);
    }
    // A row with a row_id of its own, as one whose commit came after later row_ids' would
    // appear. SQLite's through a connection of this process: the sqlite3 program, closing as
    // the file's last connection it knows of, would remove the WAL that ours use.
    void raw_row(int64_t row_id, const std::string& station, const std::string& state,
                 int64_t ended) {
        bool pg = GetParam() == POSTGRES;
        std::string sql = "INSERT INTO attempts (row_id, station, pool, state, arrived_ms, "
                          "ended_ms, bus, devnum, port, flash_path, image_sha256, image_length) " +
                          std::string(pg ? "OVERRIDING SYSTEM VALUE " : "") + "VALUES (" +
                          std::to_string(row_id) + ", '" + station + "', 'line-2', '" + state +
                          "', " + std::to_string(ended - 1000) + ", " + std::to_string(ended) +
                          ", 1, 1, '1-1', '/fw', '', 0)";
        if (pg) {
            raw_sql(location, sql);
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
};

TEST_P(LineData, GivesTheLineAsTheLedgerHoldsIt) {
    std::unique_ptr<Ledger> a = station("st-a"), b = station("st-b", "line-2");
    // A reader that read the ledger empty two days before counts every row as it comes.
    std::unique_ptr<Ledger> led = reader();
    web::LineReader kept(*led);
    read(kept, NOW - 48 * HOUR);
    device(*a, 0x10, MIDNIGHT - 1);                             // 1: yesterday
    device(*a, 0x10, MIDNIGHT - 1, -1, "Verify failed");        // 2: yesterday
    device(*a, 0x10, H0 - 1);                                   // 3: today, before the hours
    device(*a, 0x10, H0);                                       // 4: the oldest hour's first
    device(*a, 0x10, H0 + 600000, -1, "Verify failed");         // 5
    device(*a, 0x10, H11 - 1, -1, "Verify failed");             // 6
    device(*a, 0x10, H11, -2, "No device");                     // 7
    device(*a, 0x10, H11);                                      // 8
    device(*a, 0x10, H11 + 1, 0, "ok", "passed");               // 9
    device(*b, 0x1FF0, H11 + 2, -1, "Verify failed");           // 10
    device(*b, 0x1FF0, H11 + 3, -1, "Verify failed");           // 11
    device(*b, 0x1FF0, H11 + 4, -2, "No device");               // 12
    device(*b, 0x1FF0, H11 - HOUR, 0, "well", "exit status 3"); // 13
    device(*b, 0x1FF0, 0);                                      // 14: in flight
    device(*station("st-c"), 0, 0);                             // 15: interrupted at restart
    device(*station("st-c"), 0, 0);                             // 16: left by a stopped station

    std::string kept_json = read(kept).line_json;
    EXPECT_EQ(kept_json, read_fresh().line_json);
    Json line = Json::parse(kept_json);
    EXPECT_EQ(line["v"], 1);
    EXPECT_EQ(line["now_ms"], NOW);
    EXPECT_EQ(line["day_start_ms"], MIDNIGHT);
    EXPECT_EQ(line["stations"], Json::parse(R"([
      {"station": "st-a", "state": "waiting", "hard_id_in_flight": null, "port": "1-1.4",
       "part": "atmega32u4", "pool": "default",
       "last": {"result": "ok", "hard_id": "0x0014", "ended_ms": 1714545000001, "message": "ok",
                "test_status": "passed"},
       "ok_today": 4, "failed_today": 3, "tested_today": 1, "test_failed_today": 0,
       "first_pass_yield": 0.5714285714285714, "next_id": "0x0015", "ids_left": 8171},
      {"station": "st-b", "state": "programming", "hard_id_in_flight": "0x1FF1",
       "port": "1-1.4", "part": "atmega32u4", "pool": "line-2",
       "last": {"result": "ok", "hard_id": "0x1FF0", "ended_ms": 1714541400000,
                "message": "well", "test_status": "exit status 3"},
       "ok_today": 1, "failed_today": 3, "tested_today": 1, "test_failed_today": 1,
       "first_pass_yield": 0.25, "next_id": "0x1FF2", "ids_left": 14},
      {"station": "st-c", "state": "stopped", "hard_id_in_flight": null, "port": "1-1.4",
       "part": "atmega32u4", "pool": "default",
       "last": {"result": "interrupted", "hard_id": null, "ended_ms": 1714545599000,
                "message": "", "test_status": null},
       "ok_today": 0, "failed_today": 0, "tested_today": 0, "test_failed_today": 0,
       "first_pass_yield": null, "next_id": null, "ids_left": null}])"));
    EXPECT_EQ(line["pools"], Json::parse(R"([
      {"pool": "default", "from": "0x0010", "next_id": "0x0015", "ids_left": 8171, "low": false},
      {"pool": "line-2", "from": "0x1FF0", "next_id": "0x1FF2", "ids_left": 14, "low": true}])"));
    Json hours = Json::array();
    for (int i = 0; i < 12; ++i)
        hours.push_back(H0 + i * HOUR);
    EXPECT_EQ(line["hourly"]["hour_start_ms"], hours);
    EXPECT_EQ(line["hourly"]["stations"], Json::parse(R"({"st-a": [1,0,0,0,0,0,0,0,0,0,0,2],
      "st-b": [0,0,0,0,0,0,0,0,0,0,1,0], "st-c": [0,0,0,0,0,0,0,0,0,0,0,0]})"));
    EXPECT_EQ(line["failures"], Json::parse(R"([
      {"message": "Verify failed", "station": "st-a", "count": 2},
      {"message": "Verify failed", "station": "st-b", "count": 2},
      {"message": "No device", "station": "st-a", "count": 1},
      {"message": "No device", "station": "st-b", "count": 1}])"));
    std::vector<int64_t> recent;
    for (const Json& r : line["recent"])
        recent.push_back(r["row_id"]);
    EXPECT_EQ(recent,
              (std::vector<int64_t>{16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(line["recent"][2], Json::parse(R"({"row_id": 14, "station": "st-b",
      "pool": "line-2", "part": "atmega32u4", "state": "started", "hard_id": "0x1FF1",
      "arrived_ms": 1714545599000, "ended_ms": null, "message": "", "test_status": null})"));
    EXPECT_EQ(line["recent"][3], Json::parse(R"({"row_id": 13, "station": "st-b",
      "pool": "line-2", "part": "atmega32u4", "state": "ok", "hard_id": "0x1FF0",
      "arrived_ms": 1714541397000, "ended_ms": 1714541400000, "message": "well",
      "test_status": "exit status 3"})"));
    EXPECT_EQ(line["recent"][1]["state"], "interrupted");
    EXPECT_EQ(line["recent"][1]["ended_ms"], nullptr);

    // Only the latest 50 rows.
    for (int i = 0; i < 40; ++i)
        device(*a, 0, H11);
    line = Json::parse(read_fresh().line_json);
    ASSERT_EQ(line["recent"].size(), 50u);
    EXPECT_EQ(line["recent"][0]["row_id"], 56);
    EXPECT_EQ(line["recent"][49]["row_id"], 7);
}

const std::string ODD = "odd \"name\" \\ with\nnewline";
const std::string ODD_LABEL = "odd \\\"name\\\" \\\\ with\\nnewline";

std::string buckets(const std::string& station, const std::vector<int>& counts, int count,
                    const char* sum) {
    const char* le[] = {"0.5", "1", "2", "5", "10", "30", "60", "120", "+Inf"};
    std::string out;
    for (size_t i = 0; i < 9; ++i)
        out += "korvofw_pass_duration_seconds_bucket{station=\"" + station + "\",le=\"" + le[i] +
               "\"} " + std::to_string(i < 8 ? counts[i] : count) + "\n";
    return out + "korvofw_pass_duration_seconds_sum{station=\"" + station + "\"} " + sum +
           "\nkorvofw_pass_duration_seconds_count{station=\"" + station + "\"} " +
           std::to_string(count) + "\n";
}

TEST_P(LineData, CountsEveryDeviceOnceAsItEnds) {
    std::unique_ptr<Ledger> odd = station(ODD);
    device(*odd, 0x10, H11, 0, "ok", nullptr, 400);
    device(*odd, 0x10, H11 + 1000, 0, "ok", nullptr, 1500);
    device(*odd, 0x10, H11 + 2000, -1, "Verify failed", nullptr, 130000);
    Attempt in_flight = device(*odd, 0x10, 0);
    {
        std::unique_ptr<Ledger> a = station("st-a", "line-2");
        device(*a, 0x1FF0, H11 + 3000);
        device(*a, 0x1FF0, 0); // left 'started' by a station that stopped
    }
    raw_row(9, "st-b", "ok", H11 + 4000); // 7 and 8 not yet seen

    std::unique_ptr<Ledger> led = reader();
    web::LineReader kept(*led);
    web::LineTexts first = read(kept);
    // ODD: the odd name as a label value.
    std::string want =
        R"(# HELP korvofw_devices_total Devices whose attempt is over, by pool, station and result (ok, failed, interrupted).
# TYPE korvofw_devices_total counter
korvofw_devices_total{pool="default",station="ODD",result="ok"} 2
korvofw_devices_total{pool="default",station="ODD",result="failed"} 1
korvofw_devices_total{pool="default",station="ODD",result="interrupted"} 0
korvofw_devices_total{pool="line-2",station="st-a",result="ok"} 1
korvofw_devices_total{pool="line-2",station="st-a",result="failed"} 0
korvofw_devices_total{pool="line-2",station="st-a",result="interrupted"} 0
korvofw_devices_total{pool="line-2",station="st-b",result="ok"} 1
korvofw_devices_total{pool="line-2",station="st-b",result="failed"} 0
korvofw_devices_total{pool="line-2",station="st-b",result="interrupted"} 0
# HELP korvofw_pass_duration_seconds Time from a device's arrival to the end of its pass, of passes that ended ok or failed.
# TYPE korvofw_pass_duration_seconds histogram
)" + buckets("ODD", {1, 1, 2, 2, 2, 2, 2, 2}, 3, "131.900") +
        buckets("st-a", {0, 0, 0, 1, 1, 1, 1, 1}, 1, "3.000") +
        buckets("st-b", {0, 1, 1, 1, 1, 1, 1, 1}, 1, "1.000") +
        R"(# HELP korvofw_hard_ids_left Hard IDs left in the pool, from the lowest ID its latest station asked for.
# TYPE korvofw_hard_ids_left gauge
korvofw_hard_ids_left{pool="default"} 8173
korvofw_hard_ids_left{pool="line-2"} 14
# HELP korvofw_station_up 1 while a station of this name runs, else 0.
# TYPE korvofw_station_up gauge
korvofw_station_up{station="ODD"} 1
korvofw_station_up{station="st-a"} 0
korvofw_station_up{station="st-b"} 0
# HELP korvofw_last_device_timestamp_seconds When the station's latest device ended ok or failed, in seconds since the epoch.
# TYPE korvofw_last_device_timestamp_seconds gauge
korvofw_last_device_timestamp_seconds{station="ODD"} 1714545002.000
korvofw_last_device_timestamp_seconds{station="st-a"} 1714545003.000
korvofw_last_device_timestamp_seconds{station="st-b"} 1714545004.000
)";
    for (size_t at = 0; (at = want.find("\"ODD\"", at)) != std::string::npos;
         at += ODD_LABEL.size())
        want.replace(++at, 3, ODD_LABEL);
    EXPECT_EQ(first.metrics_text, want);
    EXPECT_EQ(promtool_errors(first.metrics_text, scratch), "");

    // The device in flight ends, st-a starts again (its row in flight becomes interrupted), a
    // new station fails one, and a row whose commit came late, below the latest row_id, appears.
    in_flight.ended_ms = NOW, in_flight.message = "ok";
    std::string error;
    ASSERT_EQ(odd->finish(in_flight, ID_USED, error), 0) << error;
    std::unique_ptr<Ledger> a = station("st-a", "line-2");
    device(*station("st-c", "line-2"), 0, H11 + 6000, -3, "No device");
    raw_row(8, "st-b", "failed", H11 + 7000);
    if (GetParam() == SQLITE) // which keeps a name that is not UTF-8 as it was given
        raw_row(7, "bad\xff", "ok", H11);
    web::LineTexts second = read(kept), fresh = read_fresh();
    EXPECT_EQ(second.metrics_text, fresh.metrics_text);
    EXPECT_EQ(second.line_json, fresh.line_json);
    for (const char* line :
         {"station=\"st-a\",result=\"interrupted\"} 1\n", "station=\"st-b\",result=\"failed\"} 1\n",
          "station=\"st-c\",result=\"failed\"} 1\n", "\",result=\"ok\"} 3\n",
          "korvofw_station_up{station=\"st-a\"} 1\n"})
        EXPECT_TRUE(has(second.metrics_text, line)) << line;
    EXPECT_EQ(has(second.metrics_text, "{station=\"bad\xEF\xBF\xBD\"} 1\n"), GetParam() == SQLITE);
    EXPECT_EQ(promtool_errors(second.metrics_text, scratch), "");
    // Read again with nothing new, it counts nothing twice; the next day, today's are gone.
    EXPECT_EQ(read(kept).metrics_text, second.metrics_text);
    EXPECT_EQ(read(kept, NOW + 24 * HOUR).line_json, read_fresh(NOW + 24 * HOUR).line_json);
}

// A list of row_ids longer than one statement takes is read in parts.
// A pass that takes a bound's time exactly is within that bucket; a millisecond more is not.
TEST_P(LineData, APassOnABucketsBoundIsWithinIt) {
    std::unique_ptr<Ledger> edge = station("edge");
    int64_t ended = H11;
    for (int64_t bound : {500, 1000, 2000, 5000, 10000, 30000, 60000, 120000})
        for (int64_t took : {bound, bound + 1})
            device(*edge, 0, ended += 1000, 0, "ok", nullptr, took);
    std::string text = read_fresh().metrics_text;
    EXPECT_NE(text.find(buckets("edge", {1, 3, 5, 7, 9, 11, 13, 15}, 16, "457.008")),
              std::string::npos)
        << text;
}

TEST_P(LineData, ReadsLongListsInParts) {
    raw_sql(location, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                      "WHERE i < 250) INSERT INTO attempts (station, pool, state, arrived_ms, "
                      "bus, devnum, port, flash_path, image_sha256, image_length) SELECT 'st', "
                      "'default', 'started', i, 1, 1, '1-1', '/fw', '', 0 FROM n");
    // Whole parts and a part left over; 0 and 251 are no row's.
    for (int64_t last : {199, 251}) {
        std::vector<int64_t> ids, read, want;
        for (int64_t id = 0; id <= last; ++id) {
            ids.push_back(id);
            if (id > 0 && id <= 250)
                want.push_back(id);
        }
        std::string error;
        auto keep = [&](const AttemptRow& r) { read.push_back(r.row_id); };
        ASSERT_EQ(reader()->rows_with_ids(ids, keep, error), 0) << error;
        EXPECT_EQ(read, want) << last;
    }
}

LEDGER_ON_BOTH_BACK_ENDS(LineData);

} // namespace
