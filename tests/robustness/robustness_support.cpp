#include "robustness_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
#define KORVOFW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVOFW_SANITIZED 1
#endif
#endif

namespace robustness {
namespace {

#ifdef KORVOFW_SANITIZED
constexpr std::size_t DEFAULT_STRIDE = SANITIZED_STRIDE;
#else
constexpr std::size_t DEFAULT_STRIDE = 1;
#endif

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(1);
constexpr mode_t OUTPUT_MODE = 0644;
constexpr int HEX = 16;
constexpr int DECIMAL = 10;
constexpr int STARTED_REQUESTS = 2; // the start command and the request that sets it off
constexpr unsigned THREADS_PER_CORE = 2;
const char RSS_FIELD[] = "VmRSS:";
constexpr int FIRST_OWN_FD = 3; // the child gets standard streams and nothing else of ours

const char START_COMMAND[] = "0403010000";
const char SELECT_EEPROM[] = "060300010000";
const char PROGRAM_COMMAND[] = "01";
constexpr int DFU_REQUEST_TYPE_IN = 0xA1;
constexpr int DFU_DNLOAD = 1;
constexpr int DFU_GETSTATUS = 3;
constexpr int STATUS_LENGTH = 6;
const char STATUS_OK[] = "00";

// The environment of the test with the run's entries put over it.
std::vector<std::string> run_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return e.compare(0, name.size(), name) == 0;
        });
        if (!replaced)
            env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts)
        list.push_back(&text[0]);
    list.push_back(nullptr);
    return list;
}

std::string text_of(const std::string& path) {
    std::optional<Bytes> bytes = read_file(path);
    return bytes ? to_text(*bytes) : std::string();
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

long file_size(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long>(size);
}

// Descriptors and resident memory of a process.
void sample(pid_t pid, RunResult& result) {
    const std::string proc = "/proc/" + std::to_string(pid);
    result.fds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        (void)entry;
        ++result.fds;
    }
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (starts_with(line, RSS_FIELD))
            result.rss_kb = std::atol(line.c_str() + sizeof RSS_FIELD - 1);
}

} // namespace

RunResult run_station(const RunPlan& plan) {
    const std::string stem = plan.dir + "/" + plan.name;
    write_text(stem + ".scenario", plan.scenario);
    const std::string done = stem + "/done";

    std::vector<std::string> argv = plan.args;
    argv.insert(argv.begin(), KORVOFW_SIM_BIN);
    std::vector<std::string> env = run_environment(plan.env);
    env.push_back("KORVOFW_SIM=" + stem + ".scenario");
    env.push_back("KORVOFW_SIM_OUT=" + stem);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (stem + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, OUTPUT_MODE);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (stem + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, OUTPUT_MODE);
    posix_spawn_file_actions_addclosefrom_np(&actions, FIRST_OWN_FD);
    posix_spawn_file_actions_addchdir_np(&actions, plan.dir.c_str());
    pid_t pid = -1;
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    RunResult result;
    if (error != 0) {
        result.err = "cannot start " + argv[0] + ": " + std::to_string(error);
        return result;
    }

    // The done file appears at an idle step once everything is delivered and taken; output
    // written after it was seen comes from a later step, and from then on every step is an idle
    // step: the station holds nothing but what it keeps for good.
    auto deadline = std::chrono::steady_clock::now() + plan.time_limit;
    long size_at_done = -1;
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) != pid) {
        if (!result.played_out && !result.timed_out && size_at_done < 0 &&
            std::filesystem::exists(done)) {
            size_at_done = file_size(stem + ".out");
        } else if (!result.played_out && !result.timed_out && size_at_done >= 0 &&
                   file_size(stem + ".out") > size_at_done) {
            sample(pid, result);
            result.played_out = true;
            kill(pid, SIGTERM);
        } else if (!result.timed_out && std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.signal = WTERMSIG(wstatus);
    result.out = text_of(stem + ".out");
    result.err = text_of(stem + ".err");
    return result;
}

std::size_t request_stride(const char* variable) {
    if (const char* text = std::getenv(variable))
        return static_cast<std::size_t>(std::max(1L, std::strtol(text, nullptr, DECIMAL)));
    return DEFAULT_STRIDE;
}

void run_in_parallel(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++)
            task(i);
    };
    std::vector<std::thread> threads;
    unsigned workers = std::max(1u, std::thread::hardware_concurrency()) * THREADS_PER_CORE;
    for (unsigned t = 0; t < workers; ++t)
        threads.emplace_back(worker);
    for (std::thread& thread : threads)
        thread.join();
}

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

std::optional<Bytes> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int hard_id_of(const Bytes& record) {
    if (record.size() < HARD_ID_OFFSET + 2)
        return -1;
    return ((record[HARD_ID_OFFSET] << 8) | record[HARD_ID_OFFSET + 1]) >> HARD_ID_SHIFT;
}

int rxaddr_of(const Bytes& record) {
    if (record.size() < RXADDR_OFFSET + 2)
        return -1;
    return (record[RXADDR_OFFSET] << 8) | record[RXADDR_OFFSET + 1];
}

int last_printed_hex(const std::string& out, const std::string& label) {
    size_t at = out.rfind(label);
    if (at == std::string::npos)
        return -1;
    return static_cast<int>(std::strtol(out.c_str() + at + label.size(), nullptr, HEX));
}

int last_waiting_count(const std::string& out) {
    const std::string label = "Waiting (";
    size_t at = out.rfind(label);
    if (at == std::string::npos)
        return -1;
    return static_cast<int>(std::strtol(out.c_str() + at + label.size(), nullptr, DECIMAL));
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

std::vector<Request> parse_log(const std::string& text) {
    std::vector<Request> log;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        Request request;
        std::istringstream fields(line);
        for (std::string field; fields >> field;) {
            size_t eq = field.find('=');
            if (eq == std::string::npos)
                continue;
            std::string key = field.substr(0, eq);
            std::string value = field.substr(eq + 1);
            if (key == "type")
                request.type = static_cast<int>(std::strtol(value.c_str(), nullptr, HEX));
            else if (key == "req")
                request.request = std::atoi(value.c_str());
            else if (key == "out")
                request.out = value;
            else if (key == "in")
                request.in = value;
            else if (key == "rc")
                request.rc = std::atoi(value.c_str());
        }
        log.push_back(request);
    }
    return log;
}

bool DeviceState::flash_holds(const Bytes& image) const {
    return flash.size() == FLASH_SIZE && std::equal(image.begin(), image.end(), flash.begin());
}

bool DeviceState::record_untouched() const {
    return eeprom.size() == EEPROM_SIZE && std::all_of(eeprom.begin(), eeprom.begin() + RECORD_SIZE,
                                                       [](unsigned char b) { return b == ERASED; });
}

bool DeviceState::record_whole(const Bytes& id_image) const {
    constexpr size_t CLEARED = 22;
    constexpr int LOW_BITS = (1 << HARD_ID_SHIFT) - 1;
    if (eeprom.size() != EEPROM_SIZE || eeprom[CLEARED] != 0 ||
        (eeprom[HARD_ID_OFFSET + 1] & LOW_BITS) != 0)
        return false;
    for (size_t i = 0; i < EEPROM_SIZE; ++i) {
        bool identity = i == HARD_ID_OFFSET || i == HARD_ID_OFFSET + 1 || i == RXADDR_OFFSET ||
                        i == RXADDR_OFFSET + 1 || i == CLEARED;
        unsigned char wanted = i < id_image.size() ? id_image[i] : ERASED;
        if (!identity && eeprom[i] != wanted)
            return false;
    }
    return true;
}

bool DeviceState::record_write_confirmed() const {
    auto select = std::find_if(log.begin(), log.end(),
                               [](const Request& r) { return r.out == SELECT_EEPROM; });
    auto write = std::find_if(select, log.end(), [](const Request& r) {
        return r.request == DFU_DNLOAD && starts_with(r.out, PROGRAM_COMMAND);
    });
    if (write == log.end() || write + 1 == log.end())
        return false;
    const Request& status = *(write + 1);
    return status.type == DFU_REQUEST_TYPE_IN && status.request == DFU_GETSTATUS &&
           status.rc == STATUS_LENGTH && starts_with(status.in, STATUS_OK);
}

bool DeviceState::start_sent() const {
    return std::any_of(log.begin(), log.end(),
                       [](const Request& r) { return r.out == START_COMMAND; });
}

bool DeviceState::started() const {
    return std::count_if(log.begin(), log.end(), [](const Request& r) {
               return r.out == START_COMMAND && r.rc == static_cast<int>(r.out.size() / 2);
           }) >= STARTED_REQUESTS;
}

DeviceState read_device(const std::string& out_dir, const std::string& name) {
    DeviceState device;
    std::string stem = out_dir + "/" + name;
    std::optional<Bytes> flash = read_file(stem + ".flash");
    std::optional<Bytes> eeprom = read_file(stem + ".eeprom");
    std::optional<Bytes> log = read_file(stem + ".log");
    device.present = flash && eeprom && log;
    if (!device.present)
        return device;
    device.flash = *flash;
    device.eeprom = *eeprom;
    device.log = parse_log(to_text(*log));
    return device;
}

std::vector<std::string> scenario_devices(const std::string& scenario) {
    std::vector<std::string> names;
    std::istringstream lines(scenario);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word, bus, devnum;
        if (fields >> word >> bus >> devnum && word == "device")
            names.push_back(bus + "-" + devnum);
    }
    return names;
}

} // namespace robustness
