#include "sim_clock.h"

#include "udev_bench.h"

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

extern "C" int usleep(useconds_t microseconds) {
    sim::simulated_sleep(microseconds);
    return 0;
}
