// The line view on a ledger of a million rows. bench/line-view-bench.sh drives it:
//
//   line_bench fill LEDGER [ROWS]     creates the ledger (an SQLite file, or the schema in an
//                                     empty PostgreSQL database) and fills it with ROWS rows
//                                     (default 1,000,000) in one transaction, then ANALYZE
//   line_bench read LEDGER [READS]    the refresher's own read (LineReader::read) in process: a
//                                     first read on fresh connections, then READS refreshes
//                                     while a station writes between them
//   line_bench view HOST:PORT [VIEWERS [SECONDS]]
//                                     VIEWERS line pages (default 20) against a running
//                                     `korvofw-ledger LEDGER serve`, each fetching /api/line and
//                                     /metrics every 2 s for SECONDS (default 60)
//
// Each prints its figures with the goal beside them; none fails on a figure, only when the
// ledger or the server cannot be reached or answers wrongly.
#include "ledger_backends.h"
#include "line_data.h"
#include "line_view.h"
#include "percentile.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ledger::Param;

constexpr double GOAL_P99_MS = 100.0;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

bool is_pg(const std::string& location) {
    return location.rfind("postgres", 0) == 0;
}

// ---- fill ------------------------------------------------------------------------------------

constexpr int DEFAULT_ROWS = 1000000;
constexpr int STATIONS = 8;
constexpr int64_t HOUR_MS = 3600000;
constexpr int64_t SPAN_MS = 30 * 24 * HOUR_MS;
// The last 12 hours are dense: each station takes a device every 8 s (a pass of 3 to 4 s, the
// 2 s pause, the operator's hands); the 29.5 days before hold the rest of the rows.
constexpr int64_t DENSE_MS = 12 * HOUR_MS;
constexpr int64_t DENSE_EVERY_MS = 8000;
// A pool's IDs are 13 bits: only the latest rows ask for hard IDs, about 6,000 of each pool,
// which leaves about 2,000 in each. The rows before asked for none.
constexpr int ID_ROWS = 12000;
constexpr int FROM_ID = 0x10;
constexpr double FAILED_SHARE = 0.03;
constexpr double INTERRUPTED_SHARE = 0.0005;
constexpr double TEST_FAILED_SHARE = 0.01;
constexpr int RECORD_SIZE = 80;

// A station's setup: its pool, part and image, whether its part is erased first and whether a
// test runs after each pass. Stations line-1..4 share one pool, line-5..8 the other.
struct Setup {
    const char* pool;
    const char* part;
    const char* flash_path;
    char sha_digit; // the image's SHA-256 is 64 of this digit
    int64_t image_length;
    bool erases, tests;
};
const Setup SETUPS[STATIONS] = {
    {"pool-a", "atxmega32a4u", "/srv/firmware/sensor-2.4.hex", 'a', 30720, false, true},
    {"pool-a", "atxmega32a4u", "/srv/firmware/sensor-2.4.hex", 'a', 30720, false, false},
    {"pool-a", "atxmega32a4u", "/srv/firmware/sensor-2.4.hex", 'a', 30720, false, false},
    {"pool-a", "atxmega32a4u", "/srv/firmware/sensor-2.4.hex", 'a', 30720, false, false},
    {"pool-b", "atmega32u4", "/srv/firmware/relay-1.7.hex", 'b', 28672, true, true},
    {"pool-b", "atmega32u4", "/srv/firmware/relay-1.7.hex", 'b', 28672, true, false},
    {"pool-b", "atmega32u4", "/srv/firmware/relay-1.7.hex", 'b', 28672, true, false},
    {"pool-b", "atmega32u4", "/srv/firmware/relay-1.7.hex", 'b', 28672, true, false},
};

// The failures, with the pass's result code and their share of the failed rows (in percent).
struct Failure {
    const char* message;
    int result, percent;
};
const Failure FAILURES[] = {
    {"Flash verification failed", -2, 40}, {"Device not found", -6, 20},
    {"EEPROM write error", -5, 15},        {"Cannot open the USB device", -7, 12},
    {"Chip erase error", -11, 8},          {"Status clear error", -1, 5},
};

// The columns a filled row gives, in this order, on both back ends; row_id is the ledger's.
const char FILL_COLUMNS[] =
    "station, pool, state, arrived_ms, ended_ms, bus, devnum, port, flash_path, image_sha256, "
    "image_length, from_id, hard_id, id_state, soft_id, rxaddr, record_read, record_written, "
    "result, message, flash_ms, eeprom_ms, part, erase_ms, test_status, test_ms, test_results";
constexpr int FILL_COLUMN_COUNT = 27;
// The hard IDs that rows hold, as begin() and finish() leave them: released ones are gone.
const char FILL_IDS[] = "INSERT INTO hard_ids (pool, hard_id, state, station, row_id) "
                        "SELECT pool, hard_id, id_state, station, row_id FROM attempts "
                        "WHERE id_state IN ('reserved', 'used', 'uncertain')";

// The record a pass writes: the image's commit and tag, the hard ID in bits 15..3 of bytes
// 23-24, the soft ID in byte 25, RXaddr in bytes 26-27; the rest left erased.
std::vector<uint8_t> record_for(int hard_id, int soft_id, int rxaddr) {
    std::vector<uint8_t> r(RECORD_SIZE, 0xFF);
    for (int i = 0; i < 20; ++i)
        r[i] = static_cast<uint8_t>(0x3C + i);
    r[20] = 'v';
    r[21] = '2';
    int shifted = (hard_id > 0 ? hard_id : 0) << 3;
    r[23] = static_cast<uint8_t>(shifted >> 8);
    r[24] = static_cast<uint8_t>(shifted);
    r[25] = static_cast<uint8_t>(soft_id);
    r[26] = static_cast<uint8_t>(rxaddr >> 8);
    r[27] = static_cast<uint8_t>(rxaddr);
    return r;
}

// Makes the rows in row order: the same rows for the same count, whatever the back end.
class RowMaker {
  public:
    RowMaker(int64_t rows, int64_t now_ms) : rows_(rows), now_ms_(now_ms) {
        dense_ = std::min(rows / 4, STATIONS * DENSE_MS / DENSE_EVERY_MS);
    }

    // The values of row i (0 = the oldest), FILL_COLUMNS' order.
    std::vector<Param> row(int64_t i) {
        using namespace ledger;
        int k = static_cast<int>(i % STATIONS);
        const Setup& s = SETUPS[k];
        int64_t sparse = rows_ - dense_;
        int64_t arrived = i < sparse ? now_ms_ - SPAN_MS + i * (SPAN_MS - DENSE_MS) / sparse
                                     : now_ms_ - DENSE_MS + (i - sparse) * DENSE_MS / dense_;
        int64_t flash_ms = 2400 + pick(1000), eeprom_ms = 150 + pick(150);
        int64_t erase_ms = s.erases ? 300 + pick(200) : -1;
        int64_t ended = arrived + flash_ms + eeprom_ms + std::max<int64_t>(erase_ms, 0) + 200;
        double luck = share();
        const Failure* failure = luck < FAILED_SHARE ? pick_failure() : nullptr;
        // A pass that would end after now is still in flight.
        std::string st = ended > now_ms_                ? "started"
                         : luck > 1 - INTERRUPTED_SHARE ? "interrupted"
                         : failure                      ? "failed"
                                                        : "ok";
        bool asks = i >= rows_ - ID_ROWS;
        int hard_id = -1;
        std::string id_state;
        if (asks) {
            int& next = next_id_[k < STATIONS / 2 ? 0 : 1];
            if (next < FROM_ID)
                next = FROM_ID;
            hard_id = next;
            // A released ID is free again, and the next device takes it.
            id_state = st == "ok"            ? "used"
                       : st == "failed"      ? "released"
                       : st == "interrupted" ? "uncertain"
                                             : "reserved";
            if (id_state != "released")
                ++next;
        }
        bool done = st == "ok" || st == "failed";
        if (st == "failed")
            ended = arrived + (ended - arrived) * (1 + pick(9)) / 10; // it stopped on the way
        int soft_id = 1, rxaddr = 0x8700 + static_cast<int>(i % 256);
        bool tested = st == "ok" && s.tests;
        std::string test_status;
        if (tested)
            test_status = share() < TEST_FAILED_SHARE ? "exit status 3" : "passed";
        Param none;
        return {
            text("line-" + std::to_string(k + 1)),
            text(s.pool),
            text(st),
            number(arrived),
            done ? number(ended) : none,
            number(1),
            number(2 + i % 120),
            text("1-1." + std::to_string(k + 1)),
            text(s.flash_path),
            text(std::string(64, s.sha_digit)),
            number(s.image_length),
            asks ? number(FROM_ID) : none,
            id(hard_id),
            asks ? text(id_state) : none,
            id(soft_id),
            id(rxaddr),
            bytes(std::vector<uint8_t>(RECORD_SIZE, 0xFF)),
            st == "ok" ? bytes(record_for(hard_id, soft_id, rxaddr)) : none,
            done ? number(failure && st == "failed" ? failure->result : 0) : none,
            done ? text(st == "failed" ? failure->message : "programmed") : none,
            done ? number(flash_ms) : none,
            done ? number(eeprom_ms) : none,
            text(s.part),
            done ? duration(erase_ms) : none,
            tested ? text(test_status) : none,
            tested ? number(900 + pick(600)) : none,
            tested ? text("{\"current_ma\":\"" + std::to_string(11 + pick(3)) +
                          ".5\",\"radio\":\"ok\"}")
                   : none,
        };
    }

  private:
    int64_t pick(int64_t below) { return static_cast<int64_t>(random_() % uint64_t(below)); }
    double share() { return std::uniform_real_distribution<double>(0, 1)(random_); }
    const Failure* pick_failure() {
        int at = static_cast<int>(pick(100));
        for (const Failure& f : FAILURES)
            if ((at -= f.percent) < 0)
                return &f;
        return &FAILURES[0];
    }

    int64_t rows_, now_ms_, dense_;
    int next_id_[2] = {0, 0};
    std::mt19937_64 random_{22};
};

struct Filler {
    virtual ~Filler() = default;
    virtual bool start(std::string& error) = 0;
    virtual bool add(const std::vector<Param>& row, std::string& error) = 0;
    virtual bool end(std::string& error) = 0; // commits, fills hard_ids, ANALYZE
};

class SqliteFiller : public Filler {
  public:
    explicit SqliteFiller(const std::string& path) : path_(path) {}
    ~SqliteFiller() override {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    bool start(std::string& error) override {
        std::string insert = std::string("INSERT INTO attempts (") + FILL_COLUMNS + ") VALUES (?";
        for (int i = 1; i < FILL_COLUMN_COUNT; ++i)
            insert += ", ?";
        insert += ")";
        // The fill need not survive a power cut: no waiting for the disk, a large cache.
        return open_ok(sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr),
                       error) &&
               exec("PRAGMA synchronous = OFF", error) &&
               exec("PRAGMA cache_size = -262144", error) && exec("BEGIN", error) &&
               open_ok(sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_, nullptr), error);
    }
    bool add(const std::vector<Param>& row, std::string& error) override {
        sqlite3_reset(insert_);
        for (int c = 0; c < FILL_COLUMN_COUNT; ++c) {
            const Param& p = row[c];
            if (p.kind == Param::NUMBER)
                sqlite3_bind_int64(insert_, c + 1, p.number);
            else if (p.kind == Param::TEXT)
                sqlite3_bind_text(insert_, c + 1, p.text.data(), int(p.text.size()),
                                  SQLITE_TRANSIENT);
            else if (p.kind == Param::BYTES)
                sqlite3_bind_blob(insert_, c + 1, p.text.data(), int(p.text.size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(insert_, c + 1);
        }
        return open_ok(sqlite3_step(insert_) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR, error);
    }
    bool end(std::string& error) override {
        return exec(FILL_IDS, error) && exec("COMMIT", error) && exec("ANALYZE", error) &&
               exec("PRAGMA wal_checkpoint(TRUNCATE)", error);
    }

  private:
    bool exec(const char* sql, std::string& error) {
        return open_ok(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), error);
    }
    bool open_ok(int rc, std::string& error) {
        if (rc == SQLITE_OK)
            return true;
        error = path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
        return false;
    }
    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

// PostgreSQL takes the rows through COPY, in its text format.
class PgFiller : public Filler {
  public:
    explicit PgFiller(const std::string& uri) : uri_(uri) {}
    ~PgFiller() override { PQfinish(conn_); }
    bool start(std::string& error) override {
        conn_ = PQconnectdb(uri_.c_str());
        if (PQstatus(conn_) != CONNECTION_OK)
            return failed(error);
        return exec("BEGIN", error) &&
               exec((std::string("COPY attempts (") + FILL_COLUMNS + ") FROM STDIN").c_str(), error,
                    PGRES_COPY_IN);
    }
    bool add(const std::vector<Param>& row, std::string& error) override {
        line_.clear();
        for (int c = 0; c < FILL_COLUMN_COUNT; ++c) {
            const Param& p = row[c];
            if (c > 0)
                line_ += '\t';
            if (p.kind == Param::NONE)
                line_ += "\\N";
            else if (p.kind == Param::BYTES)
                line_ += "\\\\x" + ledger::hex_bytes({p.text.begin(), p.text.end()});
            else
                append_escaped(p.text);
        }
        line_ += '\n';
        if (PQputCopyData(conn_, line_.data(), int(line_.size())) != 1)
            return failed(error);
        return true;
    }
    bool end(std::string& error) override {
        if (PQputCopyEnd(conn_, nullptr) != 1)
            return failed(error);
        PGresult* res = PQgetResult(conn_);
        bool copied = PQresultStatus(res) == PGRES_COMMAND_OK;
        PQclear(res);
        while ((res = PQgetResult(conn_)) != nullptr)
            PQclear(res);
        // A ledger that has run for a month has been vacuumed: its visibility map is set.
        return (copied || failed(error)) && exec(FILL_IDS, error) && exec("COMMIT", error) &&
               exec("VACUUM ANALYZE", error) && exec("CHECKPOINT", error);
    }

  private:
    // COPY's text format: a backslash, tab, newline or return is escaped.
    void append_escaped(const std::string& text) {
        for (char c : text) {
            if (c == '\\' || c == '\t' || c == '\n' || c == '\r')
                line_ += '\\';
            line_ += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
        }
    }
    bool exec(const char* sql, std::string& error, ExecStatusType want = PGRES_COMMAND_OK) {
        PGresult* res = PQexec(conn_, sql);
        bool ok = PQresultStatus(res) == want;
        PQclear(res);
        return ok || failed(error);
    }
    bool failed(std::string& error) {
        error = ledger::without_password(
            ledger::shown_location(uri_) + ": " + PQerrorMessage(conn_), uri_);
        return false;
    }
    std::string uri_, line_;
    PGconn* conn_ = nullptr;
};

int fill(const std::string& location, int64_t rows) {
    std::string said, error;
    if (ledger::make_ledger(location, "", "")->init(said, error) != 0) {
        fprintf(stderr, "line_bench: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<Filler> filler;
    if (is_pg(location))
        filler = std::make_unique<PgFiller>(location);
    else
        filler = std::make_unique<SqliteFiller>(location);
    Clock::time_point start = Clock::now();
    RowMaker maker(rows, ledger::now_ms());
    bool ok = filler->start(error);
    for (int64_t i = 0; ok && i < rows; ++i)
        ok = filler->add(maker.row(i), error);
    ok = ok && filler->end(error);
    if (!ok) {
        fprintf(stderr, "line_bench: filling %s: %s\n", ledger::shown_location(location).c_str(),
                error.c_str());
        return 1;
    }
    printf("%s: %lld rows filled in %.1f s (8 stations, 2 pools, 30 days, the last 12 hours "
           "dense), analysed\n",
           ledger::shown_location(location).c_str(), static_cast<long long>(rows),
           ms_since(start) / 1000);
    return 0;
}

// ---- read ------------------------------------------------------------------------------------

constexpr int FIRST_READS = 5;
constexpr int DEFAULT_REFRESHES = 200;

// A station that writes between the refreshes, as the line's stations do: each time it ends
// the device it began the time before and begins another.
struct Writer {
    std::unique_ptr<ledger::Ledger> led;
    ledger::Attempt a;
    bool in_flight = false;

    bool step(int n, std::string& error) {
        if (in_flight) {
            a.ended_ms = ledger::now_ms();
            a.record_written.assign(RECORD_SIZE, 0);
            a.message = "programmed";
            if (led->finish(a, ledger::ID_USED, error) != 0)
                return false;
        }
        a = ledger::Attempt();
        a.arrived_ms = ledger::now_ms();
        a.bus = 1;
        a.devnum = 2 + n % 120;
        a.port = "1-2.1";
        a.part = "atxmega32a4u";
        a.flash_path = "/srv/firmware/sensor-2.4.hex";
        a.image_sha256 = std::string(64, 'a');
        a.image_length = 30720;
        a.record_read.assign(RECORD_SIZE, 0xFF);
        int rc = led->begin(a, FROM_ID, error);
        if (rc == ledger::NO_ID_LEFT)
            error = "pool-a has no hard ID left for the writing station: fill the ledger afresh";
        in_flight = rc == 0;
        return in_flight;
    }
};

// What each of the ledger's read calls that a refresh makes costs, called as LineReader calls
// them: the one to look at when a refresh is slow. Today's rows with them, since stations()
// counts today's rows, which cost more as the day goes on.
bool calls_bench(ledger::Ledger& led, const std::string& where, std::string& error) {
    constexpr int ROUNDS = 50;
    constexpr int RECENT = 50, RECOUNTED = 256;
    int64_t now = ledger::now_ms(), latest = 0;
    std::vector<ledger::ViewLine> view;
    if (ledger::read_view(led, now, view, error) != 0 ||
        led.latest_rows(
            1, [&](const ledger::AttemptRow& r) { latest = r.row_id; }, error) != 0)
        return false;
    int64_t today = 0;
    for (const ledger::ViewLine& l : view)
        today += l.now.ok + l.now.failed;
    auto none = [](const ledger::AttemptRow&) {};
    struct Call {
        const char* name;
        std::function<int()> run;
    } calls[] = {
        {"read_view() (stations() and each station's pool)",
         [&] { return ledger::read_view(led, now, view, error); }},
        {"stations() alone",
         [&] {
             std::vector<ledger::StationNow> out;
             return led.stations(ledger::local_midnight_ms(now), out, error);
         }},
        {"latest_rows(50)", [&] { return led.latest_rows(RECENT, none, error); }},
        {"rows_after() the latest 256",
         [&] { return led.rows_after(latest - RECOUNTED, none, error); }},
        {"peek_pool() of pool-a",
         [&] {
             int next = 0, left = 0;
             return led.peek_pool("pool-a", FROM_ID, next, left, error);
         }},
    };
    constexpr size_t CALLS = sizeof calls / sizeof calls[0];
    std::vector<double> ms[CALLS];
    for (int n = 0; n < ROUNDS; ++n)
        for (size_t i = 0; i < CALLS; ++i) {
            Clock::time_point start = Clock::now();
            if (calls[i].run() != 0)
                return false;
            ms[i].push_back(ms_since(start));
        }
    printf("%s: today: %lld rows ended ok or failed since local midnight; each call of a "
           "refresh (%d times):\n",
           where.c_str(), static_cast<long long>(today), ROUNDS);
    for (size_t i = 0; i < CALLS; ++i)
        printf("%s:   %s: median %.1f ms, p99 %.1f ms\n", where.c_str(), calls[i].name,
               percentile(ms[i], 0.5), percentile(ms[i], 0.99));
    return true;
}

int read_bench(const std::string& location, int refreshes) {
    std::string error;
    std::vector<double> first, steady;
    web::LineTexts texts;
    for (int i = 0; i < FIRST_READS; ++i) {
        std::unique_ptr<ledger::Ledger> led = ledger::make_ledger(location, "", "");
        web::LineReader reader(*led);
        if (led->open_read(error) != 0)
            break;
        Clock::time_point start = Clock::now();
        if (reader.read(ledger::now_ms(), texts, error) != 0)
            break;
        first.push_back(ms_since(start));
    }
    std::unique_ptr<ledger::Ledger> led = ledger::make_ledger(location, "", "");
    web::LineReader reader(*led);
    Writer writer{ledger::make_ledger(location, "line-bench-writer", "pool-a"), {}, false};
    bool ok = first.size() == FIRST_READS && led->open_read(error) == 0 &&
              reader.read(ledger::now_ms(), texts, error) == 0 && writer.led->open(error) == 0;
    for (int n = 0; ok && n < refreshes; ++n) {
        if (!writer.step(n, error))
            break;
        Clock::time_point start = Clock::now();
        if (reader.read(ledger::now_ms(), texts, error) != 0)
            break;
        steady.push_back(ms_since(start));
    }
    std::string where = is_pg(location) ? "postgresql" : "sqlite";
    if (!ok || int(steady.size()) != refreshes) {
        fprintf(stderr, "line_bench: %s\n", error.c_str());
        return 1;
    }
    printf("%s: LineReader::read, first read on a fresh connection (%d times): median %.1f ms, "
           "max %.1f ms\n",
           where.c_str(), FIRST_READS, percentile(first, 0.5), percentile(first, 1));
    double p99 = percentile(steady, 0.99);
    printf("%s: LineReader::read, refresh with a device written before each (%d times): median "
           "%.1f ms, p99 %.1f ms (goal p99 under %.0f ms: %s)\n",
           where.c_str(), refreshes, percentile(steady, 0.5), p99, GOAL_P99_MS,
           verdict(p99 < GOAL_P99_MS));
    printf("%s: texts read: /api/line %zu bytes, /metrics %zu bytes\n", where.c_str(),
           texts.line_json.size(), texts.metrics_text.size());
    if (!calls_bench(*led, where, error)) {
        fprintf(stderr, "line_bench: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// ---- view ------------------------------------------------------------------------------------

constexpr int DEFAULT_VIEWERS = 20;
constexpr int DEFAULT_SECONDS = 60;
constexpr std::chrono::milliseconds PAGE_EVERY(2000); // the line page's refresh
constexpr int RECEIVE_TIMEOUT_S = 10;

// What a viewer fetches, and a text the answer's body must hold to count as right.
struct Kind {
    const char* path;
    const char* must_hold;
};
const Kind KINDS[] = {{"/api/line", "\"stations\""}, {"/metrics", "korvofw_devices_total"}};
constexpr int KIND_COUNT = sizeof KINDS / sizeof KINDS[0];

// One GET on a fresh connection, read to its end: true when the status is 200 and the answer
// holds `must_hold`. Its size in `bytes`.
bool get(const sockaddr_in& to, const std::string& host, const Kind& kind, size_t& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    timeval limit{RECEIVE_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request = std::string("GET ") + kind.path + " HTTP/1.1\r\nHost: " + host +
                          "\r\nConnection: close\r\n\r\n";
    std::string answer;
    bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                write(fd, request.data(), request.size()) == ssize_t(request.size());
    char chunk[65536];
    for (ssize_t n; sent && (n = read(fd, chunk, sizeof chunk)) > 0;)
        answer.append(chunk, size_t(n));
    close(fd);
    bytes = answer.size();
    return answer.compare(0, 7, "HTTP/1.") == 0 && answer.compare(8, 5, " 200 ") == 0 &&
           answer.find(kind.must_hold) != std::string::npos;
}

struct Results {
    std::mutex lock;
    std::vector<double> ms[KIND_COUNT];
    size_t bytes[KIND_COUNT] = {};
    int wrong[KIND_COUNT] = {};
};

// A line page: from a moment of its own within the first period, every PAGE_EVERY it fetches
// each kind once, until `end`.
void viewer(int k, const sockaddr_in& to, const std::string& host, Clock::time_point end,
            Results& out) {
    std::mt19937 random(static_cast<unsigned>(k));
    Clock::time_point next =
        Clock::now() + std::chrono::milliseconds(random() % PAGE_EVERY.count());
    for (; next < end; next += PAGE_EVERY) {
        std::this_thread::sleep_until(next);
        for (int i = 0; i < KIND_COUNT; ++i) {
            size_t bytes = 0;
            Clock::time_point start = Clock::now();
            bool right = get(to, host, KINDS[i], bytes);
            double ms = ms_since(start);
            std::lock_guard<std::mutex> hold(out.lock);
            if (right) {
                out.ms[i].push_back(ms);
                out.bytes[i] = bytes;
            } else {
                ++out.wrong[i];
            }
        }
    }
}

int view(const std::string& host, int viewers, int seconds) {
    size_t colon = host.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (colon != std::string::npos)
        to.sin_port = htons(static_cast<uint16_t>(atoi(host.c_str() + colon + 1)));
    if (colon == std::string::npos ||
        inet_pton(AF_INET, host.substr(0, colon).c_str(), &to.sin_addr) != 1 || to.sin_port == 0) {
        fprintf(stderr, "line_bench: %s: not an IPv4 ADDR:PORT\n", host.c_str());
        return 2;
    }
    Results results;
    Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> pages;
    for (int k = 0; k < viewers; ++k)
        pages.emplace_back(viewer, k, std::cref(to), std::cref(host), end, std::ref(results));
    for (std::thread& t : pages)
        t.join();
    bool all_right = true;
    for (int i = 0; i < KIND_COUNT; ++i) {
        const std::vector<double>& ms = results.ms[i];
        double p99 = percentile(ms, 0.99);
        bool right = results.wrong[i] == 0 && !ms.empty();
        printf("%s: %d viewers every %d s for %d s: %zu answers of %zu bytes, %d wrong or "
               "none: median %.2f ms, p99 %.2f ms, max %.2f ms (goal p99 under %.0f ms: %s)\n",
               KINDS[i].path, viewers, static_cast<int>(PAGE_EVERY.count() / 1000), seconds,
               ms.size(), results.bytes[i], results.wrong[i], percentile(ms, 0.5), p99,
               percentile(ms, 1), GOAL_P99_MS, right ? verdict(p99 < GOAL_P99_MS) : "not measured");
        all_right = all_right && right;
    }
    if (!all_right)
        fprintf(stderr, "line_bench: %s answered wrongly or not at all (see 'wrong' above)\n",
                host.c_str());
    return all_right ? 0 : 1;
}

int usage() {
    fprintf(stderr, "usage: line_bench fill LEDGER [ROWS]\n"
                    "       line_bench read LEDGER [READS]\n"
                    "       line_bench view ADDR:PORT [VIEWERS [SECONDS]]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    std::string command = argv[1], target = argv[2];
    long first = argc > 3 ? atol(argv[3]) : 0, second = argc > 4 ? atol(argv[4]) : 0;
    if (command == "fill" && argc <= 4)
        return fill(target, first > 0 ? first : DEFAULT_ROWS);
    if (command == "read" && argc <= 4)
        return read_bench(target, first > 0 ? int(first) : DEFAULT_REFRESHES);
    if (command == "view" && argc <= 5)
        return view(target, first > 0 ? int(first) : DEFAULT_VIEWERS,
                    second > 0 ? int(second) : DEFAULT_SECONDS);
    return usage();
}
