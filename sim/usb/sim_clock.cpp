#include "sim_clock.h"

#include "udev_bench.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sim {
namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr long kNanosecondsPerMicrosecond = 1000;

SleepObserver* g_observer = nullptr;

bool realtime_requested() {
    const char* value = std::getenv(kRealtimeVariable);
    return value && std::strcmp(value, "1") == 0;
}

void real_sleep(std::uint64_t microseconds) {
    timespec left;
    left.tv_sec = static_cast<time_t>(microseconds / kMicrosecondsPerSecond);
    left.tv_nsec =
        static_cast<long>(microseconds % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Whether a return address lies in the executable rather than in a shared library.
bool called_from_program(const void* caller) {
    static Dl_info program{};
    static const bool found = dladdr(reinterpret_cast<const void*>(&real_sleep), &program) != 0;
    Dl_info at{};
    return found && dladdr(caller, &at) != 0 && at.dli_fbase == program.dli_fbase;
}

// The C library's usleep.
void library_sleep(std::uint64_t microseconds) {
    using Usleep = int (*)(useconds_t);
    static const Usleep next = reinterpret_cast<Usleep>(dlsym(RTLD_NEXT, "usleep"));
    if (next)
        next(static_cast<useconds_t>(microseconds));
    else
        real_sleep(microseconds);
}

} // namespace

void set_sleep_observer(SleepObserver* observer) {
    g_observer = observer;
}

void simulated_sleep(std::uint64_t microseconds) {
    UdevBench::current(); // a scenario run installs its bench on the first stand-in call
    Bench* bench = Bench::current();
    if (!bench || realtime_requested())
        real_sleep(microseconds);
    if (!bench)
        return;
    bench->advance_us(microseconds);
    if (g_observer)
        g_observer->slept(microseconds);
}

} // namespace sim

// Only the program's own sleeps are simulated: its idle steps and pauses, which the scenarios
// pace. A library's sleep waits for another process (SQLite's busy waits and retries wait for
// another station to let go of the ledger), which simulated time would not wait for: it takes
// real time. Not inlined, so that the return address is the caller's.
extern "C" __attribute__((noinline)) int usleep(useconds_t microseconds) {
    if (sim::called_from_program(__builtin_return_address(0)))
        sim::simulated_sleep(microseconds);
    else
        sim::library_sleep(microseconds);
    return 0;
}
