#include "kill_points.h"

#include "usb/bench.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace sim {
namespace {

constexpr char kOutVariable[] = "KORVOFW_SIM_OUT";
constexpr char kSeparator = ':';
constexpr int kBadSetup = 2;
constexpr int kLastStandardFd = 2;
constexpr std::size_t kPointCount = 5;

struct PointName {
    KillPoint point;
    const char* name;
};

constexpr PointName kPointNames[kPointCount] = {
    {KillPoint::Request, "request"}, {KillPoint::Answered, "answered"}, {KillPoint::Write, "write"},
    {KillPoint::Fsync, "fsync"},     {KillPoint::Rename, "rename"},
};

// Set while the kill saves the devices' files: those writes go straight through.
bool g_saving = false;
std::size_t g_reached[kPointCount] = {};

std::optional<KillPlan> plan_from_environment() {
    const char* text = std::getenv(kKillVariable);
    if (!text)
        return std::nullopt;
    const auto plan = parse_kill_plan(text);
    if (!plan) {
        std::fprintf(stderr,
                     "korvofw-sim: %s=%s is not <point>:<n> with a point among request, "
                     "answered, write, fsync, rename\n",
                     kKillVariable, text);
        std::exit(kBadSetup);
    }
    return plan;
}

const std::optional<KillPlan>& plan() {
    static const std::optional<KillPlan> from_environment = plan_from_environment();
    return from_environment;
}

// Counts the event when it is of the planned kind; true at the n-th one.
bool due(KillPoint point) {
    const auto& wanted = plan();
    if (!wanted || wanted->point != point || g_saving)
        return false;
    return g_reached[static_cast<std::size_t>(point)]++ == wanted->n;
}

void save_devices() {
    const char* out_dir = std::getenv(kOutVariable);
    const Bench* bench = Bench::current();
    if (!out_dir || !bench)
        return;
    g_saving = true;
    for (const auto& device : bench->devices()) {
        try {
            write_device_files(*device, out_dir);
        } catch (const std::runtime_error& error) {
            std::fprintf(stderr, "korvofw-sim: %s\n", error.what());
        }
    }
}

[[noreturn]] void kill_now() {
    save_devices();
    raise(SIGKILL);
    std::abort(); // not reached: SIGKILL cannot be caught
}

void on_request(RequestStage stage) {
    reach_kill_point(stage == RequestStage::Before ? KillPoint::Request : KillPoint::Answered);
}

// A malformed KORVOFW_SIM_KILL ends the run before it starts.
[[maybe_unused]] const bool g_registered = (set_request_hook(&on_request), plan(), true);

std::string path_of(int fd) {
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// The program's own files count; the terminal, the bench's files and its event
// descriptors do not.
bool counted_write(int fd) {
    if (fd <= kLastStandardFd || g_saving || !plan() || plan()->point != KillPoint::Write)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const char* out_dir = std::getenv(kOutVariable);
    if (!out_dir)
        return true;
    char* resolved = realpath(out_dir, nullptr);
    const std::string bench_dir = resolved ? std::string(resolved) + "/" : std::string();
    std::free(resolved);
    return bench_dir.empty() || path_of(fd).rfind(bench_dir, 0) != 0;
}

template <typename Function> Function next_definition(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        std::fprintf(stderr, "korvofw sim: no definition of %s to pass calls on to\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

} // namespace

std::optional<KillPlan> parse_kill_plan(std::string_view text) {
    const auto separator = text.find(kSeparator);
    if (separator == std::string_view::npos)
        return std::nullopt;
    const std::string_view name = text.substr(0, separator);
    const std::string_view number = text.substr(separator + 1);
    std::size_t n = 0;
    const char* end = number.data() + number.size();
    const auto [stop, error] = std::from_chars(number.data(), end, n);
    if (number.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    for (const auto& entry : kPointNames) {
        if (name == entry.name)
            return KillPlan{entry.point, n};
    }
    return std::nullopt;
}

void reach_kill_point(KillPoint point) {
    if (due(point))
        kill_now();
}

} // namespace sim

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
    using Write = ssize_t (*)(int, const void*, size_t);
    static const Write real_write = sim::next_definition<Write>("write");
    if (sim::counted_write(fd) && sim::due(sim::KillPoint::Write)) {
        if (count / 2 > 0)
            real_write(fd, bytes, count / 2);
        sim::kill_now();
    }
    return real_write(fd, bytes, count);
}

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const Fsync real_fsync = sim::next_definition<Fsync>("fsync");
    sim::reach_kill_point(sim::KillPoint::Fsync);
    return real_fsync(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    using Rename = int (*)(const char*, const char*);
    static const Rename real_rename = sim::next_definition<Rename>("rename");
    sim::reach_kill_point(sim::KillPoint::Rename);
    return real_rename(from, to);
}
