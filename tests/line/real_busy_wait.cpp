// Preloaded into korvofw-sim stations (LD_PRELOAD): SQLite's busy time-out, timed by the real
// clock. The simulated bench replaces usleep in the whole process, SQLite's busy handler
// included, so a station that finds the ledger locked would give up at once instead of after
// the time-out it asked for; on a line it waits. Same back-off as SQLite's own handler.
#include <sqlite3.h>

#include <cstdint>
#include <ctime>

namespace {

constexpr int DELAYS_MS[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
constexpr int DELAY_COUNT = sizeof DELAYS_MS / sizeof DELAYS_MS[0];
constexpr long NANOS_PER_MS = 1000000;

int waited_before(int count) {
    int waited = 0;
    for (int i = 0; i < count; ++i)
        waited += DELAYS_MS[i < DELAY_COUNT ? i : DELAY_COUNT - 1];
    return waited;
}

// SQLite's busy handler: 1 to try again after the wait, 0 to give up.
int wait_by_real_clock(void* limit, int count) {
    const int limit_ms = static_cast<int>(reinterpret_cast<intptr_t>(limit));
    const int waited = waited_before(count);
    int delay = DELAYS_MS[count < DELAY_COUNT ? count : DELAY_COUNT - 1];
    if (waited + delay > limit_ms)
        delay = limit_ms - waited;
    if (delay <= 0)
        return 0;
    timespec pause = {0, delay * NANOS_PER_MS};
    nanosleep(&pause, nullptr);
    return 1;
}

} // namespace

extern "C" int sqlite3_busy_timeout(sqlite3* db, int ms) {
    if (ms <= 0)
        return sqlite3_busy_handler(db, nullptr, nullptr);
    return sqlite3_busy_handler(db, wait_by_real_clock,
                                reinterpret_cast<void*>(static_cast<intptr_t>(ms)));
}
