// Preloaded into korvofw-sim stations (LD_PRELOAD): SQLite's waits, timed by the real clock.
// The simulated bench replaces usleep in the whole process, SQLite's included, so every wait of
// SQLite (its busy time-out, its retries while another connection changes the WAL index) would
// end at once and a station that finds the ledger busy would give up at once; on a line it
// waits. SQLite sleeps through its VFS, so the default VFS gets a sleep that really sleeps.
#include <sqlite3.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr long MICROS_PER_SECOND = 1000000;
constexpr long NANOS_PER_MICRO = 1000;

sqlite3_vfs real_clock_vfs;

int sleep_for_real(sqlite3_vfs*, int microseconds) {
    timespec pause = {microseconds / MICROS_PER_SECOND,
                      (microseconds % MICROS_PER_SECOND) * NANOS_PER_MICRO};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return microseconds;
}

// The default VFS as it is, but for its sleep; registered as the new default.
__attribute__((constructor)) void install() {
    sqlite3_vfs* standard = sqlite3_vfs_find(nullptr);
    if (standard == nullptr)
        return;
    real_clock_vfs = *standard;
    real_clock_vfs.zName = "korvofw-line-real-clock";
    real_clock_vfs.xSleep = sleep_for_real;
    sqlite3_vfs_register(&real_clock_vfs, 1);
}

} // namespace
