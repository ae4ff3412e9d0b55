// What the ledger costs a station per device, on SQLite and on PostgreSQL: one station alone
// (begin + finish + peek, wall and CPU), and the allocation with 8 station processes at once,
// each on an empty ledger and on one that already holds 100,000 rows.
//
// SQLite is measured in a scratch directory on disk; PostgreSQL when KORVOFW_PG_URI names a
// server on which it may create databases (bench/README.md shows how to start one).
#include "ledger.h"
#include "percentile.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int ALONE_DEVICES = 300;
constexpr int STATIONS = 8;
constexpr int DEVICES_EACH = 100;
// Each of the stations at once starts a device at a random moment of every PACE: eight times
// the rate of a real station, which pauses 2 s after every device.
constexpr std::chrono::milliseconds PACE(250);
constexpr int FULL_ROWS = 100000;
constexpr int FROM = 1;
constexpr double GOAL_DEVICE_MS = 10.0;
constexpr double GOAL_P99_MS = 50.0;
constexpr double GOAL_RATIO = 1.5;
constexpr double CYCLE_MS = 2000.0; // the station's pause after each device alone
constexpr double GOAL_CYCLE_PERCENT = 1.0;

// 100,000 finished rows: 4,000 of them used hard IDs 1..4000 of the pool the stations draw
// from, the others 8,000 IDs each of 12 other pools.
const char SQLITE_FILL[] =
    "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999) "
    "INSERT INTO attempts (station, pool, state, arrived_ms, ended_ms, bus, devnum, port, "
    "flash_path, image_sha256, image_length, from_id, hard_id, id_state, soft_id, rxaddr, "
    "record_read, record_written, result, message, flash_ms, eeprom_ms) "
    "SELECT 'old-' || (i % 8), CASE WHEN i < 4000 THEN 'default' ELSE 'line-' || "
    "((i - 4000) / 8000) END, 'ok', 1700000000000 + i * 1000, 1700000003000 + i * 1000, 1, "
    "i % 128, '1-1', '/fw/app.hex', hex(zeroblob(32)), 30720, 1, CASE WHEN i < 4000 THEN i + 1 "
    "ELSE (i - 4000) % 8000 + 1 END, 'used', 1, i % 65536, zeroblob(80), zeroblob(80), 0, "
    "'ok', 3000, 300 FROM n";
const char PG_FILL[] =
    "INSERT INTO attempts (station, pool, state, arrived_ms, ended_ms, bus, devnum, port, "
    "flash_path, image_sha256, image_length, from_id, hard_id, id_state, soft_id, rxaddr, "
    "record_read, record_written, result, message, flash_ms, eeprom_ms) "
    "SELECT 'old-' || (i % 8), CASE WHEN i < 4000 THEN 'default' ELSE 'line-' || "
    "((i - 4000) / 8000) END, 'ok', 1700000000000 + i * 1000, 1700000003000 + i * 1000, 1, "
    "i % 128, '1-1', '/fw/app.hex', repeat('00', 32), 30720, 1, CASE WHEN i < 4000 THEN i + 1 "
    "ELSE (i - 4000) % 8000 + 1 END, 'used', 1, i % 65536, decode(repeat('00', 80), 'hex'), "
    "decode(repeat('00', 80), 'hex'), 0, 'ok', 3000, 300 FROM generate_series(0, 99999) AS i";
const char FILL_IDS[] = "INSERT INTO hard_ids (pool, hard_id, state, station, row_id) "
                        "SELECT pool, hard_id, 'used', station, row_id FROM attempts";

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

bool is_pg(const std::string& location) {
    return location.rfind("postgres", 0) == 0;
}

// SQL as another program would run it; false (after saying why) when it fails.
bool raw_sql(const std::string& location, const std::string& text) {
    if (is_pg(location)) {
        PGconn* conn = PQconnectdb(location.c_str());
        PGresult* res = PQexec(conn, text.c_str());
        bool ok = PQresultStatus(res) == PGRES_COMMAND_OK || PQresultStatus(res) == PGRES_TUPLES_OK;
        if (!ok)
            fprintf(stderr, "%s: %s", ledger::shown_location(location).c_str(),
                    PQerrorMessage(conn));
        PQclear(res);
        PQfinish(conn);
        return ok;
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    bool ok = sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        fprintf(stderr, "%s: %s\n", location.c_str(), sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
}

// One device's ledger work as the station does it; the begin's time in `begin_ms`.
bool one_device(ledger::Ledger& led, int n, double& begin_ms, std::string& error) {
    ledger::Attempt a;
    a.arrived_ms = ledger::now_ms();
    a.bus = 1;
    a.devnum = n % 128;
    a.port = "1-1.4";
    a.flash_path = "/fw/app.hex";
    a.image_sha256 = std::string(64, 'a');
    a.image_length = 30720;
    a.soft_id = 1;
    a.rxaddr = n % 65536;
    Clock::time_point start = Clock::now();
    if (led.begin(a, FROM, error) != 0)
        return false;
    begin_ms = ms_since(start);
    a.ended_ms = ledger::now_ms();
    a.record_read.assign(80, 0xFF);
    a.record_written.assign(80, 0x00);
    a.message = "ok";
    int next = 0, left = 0;
    return led.finish(a, ledger::ID_USED, error) == 0 && led.peek(FROM, next, left, error) == 0;
}

struct Alone {
    double median_ms = 0, p99_ms = 0, cpu_ms = 0;
};

// One station on each of the two ledgers, a device on one then on the other, so that the
// disk's and the machine's ups and downs fall on both alike.
bool alone(const std::string (&locations)[2], Alone (&out)[2]) {
    std::unique_ptr<ledger::Ledger> led[2];
    std::vector<double> walls[2];
    double cpu[2] = {0, 0};
    std::string error;
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
        led[i] = ledger::make_ledger(locations[i], "alone", "default");
        ok = led[i]->open(error) == 0;
    }
    for (int n = 0; ok && n < 2 * ALONE_DEVICES; ++n) {
        int i = n % 2;
        double begin_ms = 0, cpu_start = cpu_ms();
        Clock::time_point start = Clock::now();
        ok = one_device(*led[i], n, begin_ms, error);
        walls[i].push_back(ms_since(start));
        cpu[i] += cpu_ms() - cpu_start;
    }
    if (!ok) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    for (int i = 0; i < 2; ++i)
        out[i] = {percentile(walls[i], 0.5), percentile(walls[i], 0.99), cpu[i] / ALONE_DEVICES};
    return true;
}

// What one durable write costs where the SQLite ledger lies: the floor under every commit.
void fdatasync_ms(const std::string& dir, double& median, double& p99) {
    constexpr int TRIES = 200;
    std::string path = dir + "/ledger-bench-sync";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<double> times;
    char block[4096] = {};
    for (int i = 0; fd >= 0 && i < TRIES; ++i) {
        if (write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block))
            break;
        Clock::time_point start = Clock::now();
        fdatasync(fd);
        times.push_back(ms_since(start));
    }
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    median = percentile(times, 0.5);
    p99 = percentile(times, 0.99);
}

// A station process: opens, says it is ready, waits for the start, then writes the time of
// each of its allocations to `out`.
[[noreturn]] void station(const std::string& location, const std::string& pool, int k, int ready,
                          int go, int out) {
    std::unique_ptr<ledger::Ledger> led =
        ledger::make_ledger(location, "st-" + std::to_string(k), pool);
    std::string error;
    bool ok = led->open(error) == 0;
    char byte = 0;
    if (write(ready, &byte, 1) != 1 || read(go, &byte, 1) < 0)
        ok = false;
    std::vector<double> times;
    Clock::time_point start = Clock::now();
    std::mt19937 random(static_cast<unsigned>(k));
    std::uniform_int_distribution<int> within(0, static_cast<int>(PACE.count()) - 1);
    for (int n = 0; ok && n < DEVICES_EACH; ++n) {
        std::this_thread::sleep_until(start + n * PACE + std::chrono::milliseconds(within(random)));
        double begin_ms = 0;
        ok = one_device(*led, n, begin_ms, error);
        times.push_back(begin_ms);
    }
    if (!ok)
        fprintf(stderr, "station %d: %s\n", k, error.c_str());
    size_t size = times.size() * sizeof(double);
    bool sent = write(out, times.data(), size) == static_cast<ssize_t>(size);
    _exit(ok && sent ? 0 : 1);
}

bool together(const std::string& location, const std::string& pool, double& median_ms,
              double& p99_ms) {
    int ready[2], go[2], out[2];
    if (pipe(ready) != 0 || pipe(go) != 0 || pipe(out) != 0)
        return false;
    std::vector<pid_t> children;
    fflush(stdout);
    for (int k = 0; k < STATIONS; ++k) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(out[0]);
            station(location, pool, k, ready[1], go[0], out[1]);
        }
        children.push_back(pid);
    }
    close(ready[1]);
    close(go[0]);
    close(out[1]);
    char byte;
    for (int k = 0; k < STATIONS; ++k)
        if (read(ready[0], &byte, 1) != 1)
            break;
    close(go[1]); // every station starts now
    std::vector<double> times;
    double chunk[256];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
        times.insert(times.end(), chunk, chunk + n / static_cast<ssize_t>(sizeof(double)));
    close(out[0]);
    close(ready[0]);
    bool ok = true;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    median_ms = percentile(times, 0.5);
    p99_ms = percentile(times, 0.99);
    return ok && times.size() == size_t(STATIONS * DEVICES_EACH);
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

// A fresh ledger at a location of its own, with `rows` rows in it already.
struct Place {
    std::string location, database, admin;
};

bool prepare(const std::string& backend, int rows, const std::string& where, Place& place) {
    static int count = 0;
    std::string name = "ledger_bench_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    if (backend == "sqlite") {
        std::filesystem::path dir = std::filesystem::path(where) / name;
        std::filesystem::create_directories(dir);
        place.location = (dir / "line.db").string();
    } else {
        place.admin = where;
        place.database = name;
        if (!raw_sql(where, "CREATE DATABASE " + name))
            return false;
        size_t path = where.find('/', where.find("://") + 3);
        size_t query = where.find('?', path);
        place.location = where.substr(0, path + 1) + name +
                         (query == std::string::npos ? "" : where.substr(query));
    }
    std::string said, error;
    if (ledger::make_ledger(place.location, "", "")->init(said, error) != 0) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    if (rows == 0)
        return true;
    Clock::time_point start = Clock::now();
    bool ok = raw_sql(place.location, backend == "sqlite" ? SQLITE_FILL : PG_FILL) &&
              raw_sql(place.location, FILL_IDS) && raw_sql(place.location, "ANALYZE");
    printf("%s, %d rows: filled in %.1f s\n", backend.c_str(), rows, ms_since(start) / 1000);
    // The fill's pages go to the disk now, not while the stations are timed.
    if (ok && is_pg(place.location))
        ok = raw_sql(place.location, "CHECKPOINT");
    sync();
    return ok;
}

void remove_place(const Place& place) {
    if (!place.database.empty()) {
        raw_sql(place.admin, "DROP DATABASE IF EXISTS " + place.database + " WITH (FORCE)");
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(place.location).parent_path(), ignored);
}

// `where`: the directory of the SQLite file, or the URI of the PostgreSQL server.
bool bench(const std::string& backend, const std::string& where) {
    const int rows[2] = {0, FULL_ROWS};
    Place place[2];
    Alone one[2];
    double together_median[2] = {0, 0}, together_p99[2] = {0, 0};
    bool ok = prepare(backend, rows[0], where, place[0]) &&
              prepare(backend, rows[1], where, place[1]) &&
              alone({place[0].location, place[1].location}, one);
    for (int i = 0; i < 2 && ok; ++i)
        ok = together(place[i].location, "default", together_median[i], together_p99[i]);
    for (const Place& p : place)
        remove_place(p);
    if (!ok)
        return false;
    const char* b = backend.c_str();
    for (int i = 0; i < 2; ++i) {
        printf("%s, %d rows: per device, one station: median %.2f ms, p99 %.2f ms "
               "(goal under %.0f ms%s: %s)\n",
               b, rows[i], one[i].median_ms, one[i].p99_ms, GOAL_DEVICE_MS,
               backend == "sqlite" ? "" : ", set for SQLite",
               verdict(one[i].median_ms < GOAL_DEVICE_MS));
        printf("%s, %d rows: per device, one station: CPU %.3f ms of the station's process\n", b,
               rows[i], one[i].cpu_ms);
        printf("%s, %d rows: per device, share of a device's cycle of at least %.0f s: %.2f %% "
               "(goal under %.0f %%: %s)\n",
               b, rows[i], CYCLE_MS / 1000, 100 * one[i].median_ms / CYCLE_MS, GOAL_CYCLE_PERCENT,
               verdict(100 * one[i].median_ms / CYCLE_MS < GOAL_CYCLE_PERCENT));
        printf("%s, %d rows: allocation, %d stations at once (a device each in every %d ms): "
               "median %.2f ms, p99 %.2f ms (goal p99 under %.0f ms: %s)\n",
               b, rows[i], STATIONS, static_cast<int>(PACE.count()), together_median[i],
               together_p99[i], GOAL_P99_MS, verdict(together_p99[i] < GOAL_P99_MS));
    }
    double ratio = one[1].median_ms / one[0].median_ms;
    printf("%s: %d rows cost %.2f times an empty ledger per device (goal at most %.1f: %s)\n", b,
           FULL_ROWS, ratio, GOAL_RATIO, verdict(ratio <= GOAL_RATIO));
    return true;
}

// Only the allocation with the stations at once, on a ledger that exists, drawing hard IDs of
// `pool`: for bench/line-view-bench.sh, which runs it with and without the line's viewers.
int together_only(const std::string& location, const std::string& pool) {
    double median_ms = 0, p99_ms = 0;
    if (!together(location, pool, median_ms, p99_ms))
        return 1;
    printf("allocation, %d stations at once (a device each in every %d ms) in pool %s: median "
           "%.2f ms, p99 %.2f ms (goal p99 under %.0f ms: %s)\n",
           STATIONS, static_cast<int>(PACE.count()), pool.c_str(), median_ms, p99_ms, GOAL_P99_MS,
           verdict(p99_ms < GOAL_P99_MS));
    return 0;
}

} // namespace

// ledger_bench [DIR]: DIR holds the SQLite ledgers (default: the temporary directory).
// ledger_bench --together LEDGER POOL: only the stations at once, on the ledger LEDGER.
int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--together")
        return together_only(argv[2], argv[3]);
    const char* pg = std::getenv("KORVOFW_PG_URI");
    std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    printf("ledger_bench: %d devices alone, %d stations x %d devices at once, from hard ID %d; "
           "SQLite in %s\n",
           ALONE_DEVICES, STATIONS, DEVICES_EACH, FROM, dir.c_str());
    double sync_median = 0, sync_p99 = 0;
    fdatasync_ms(dir, sync_median, sync_p99);
    printf("sqlite: one fdatasync of 4 KiB in %s: median %.2f ms, p99 %.2f ms (each commit waits "
           "for one)\n",
           dir.c_str(), sync_median, sync_p99);
    bool ok = bench("sqlite", dir);
    if (pg && *pg)
        ok = bench("postgresql", pg) && ok;
    else
        printf("postgresql: not measured (set KORVOFW_PG_URI, see bench/README.md)\n");
    return ok ? 0 : 1;
}
