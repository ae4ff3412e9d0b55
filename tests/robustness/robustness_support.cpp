#include "robustness_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace robustness {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t DEFAULT_STRIDE = 2;
#else
constexpr std::size_t DEFAULT_STRIDE = 1;
#endif
constexpr std::size_t FLASH_SIZE = 32768;
constexpr std::size_t RECORD_SIZE = 80;
constexpr int FIRST_OWN_FD = 3; // the station gets its standard streams and nothing of ours
const char START[] = " out=0403010000 ";
const char SELECT_EEPROM[] = " out=060300010000 ";
const char RECORD_WRITE[] = " out=01000000004f"; // program EEPROM 0x00-0x4F
const char STATUS_OK[] = " type=a1 req=3 value=0000 index=0000 len=6 out=- in=00";

bool has(const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
}

Bytes file_or_empty(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) ? read_bytes(path) : Bytes();
}

long file_size(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long>(size);
}

void sample(pid_t pid, RunRecord& r) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto fds = std::filesystem::directory_iterator(proc + "/fd");
    r.fds = static_cast<int>(std::distance(begin(fds), end(fds)));
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            r.rss_kb = std::atol(line.c_str() + 6);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts)
        list.push_back(&text[0]);
    list.push_back(nullptr);
    return list;
}

} // namespace

Identity identity_of(const Bytes& b) {
    if (b.size() < IDENTITY_END)
        return {};
    return {((b[23] << 8) | b[24]) >> 3, b[25], (b[26] << 8) | b[27]};
}

Bytes with_identity(Bytes b, const Identity& id) {
    b[CLEARED] = 0;
    if (id.hard >= 0) {
        b[23] = static_cast<unsigned char>(id.hard >> 5);
        b[24] = static_cast<unsigned char>(id.hard << 3);
    }
    if (id.soft >= 0)
        b[25] = static_cast<unsigned char>(id.soft);
    if (id.rxaddr >= 0) {
        b[26] = static_cast<unsigned char>(id.rxaddr >> 8);
        b[27] = static_cast<unsigned char>(id.rxaddr);
    }
    return b;
}

Bytes eeprom_with(const Bytes& image, const Identity& id) {
    Bytes eeprom(EEPROM_SIZE, 0xFF);
    std::copy(image.begin(), image.end(), eeprom.begin());
    return with_identity(eeprom, id);
}

std::string describe(const Identity& id) {
    return "hard ID " + hex(id.hard) + ", soft ID " + hex(id.soft) + ", RXaddr " + hex(id.rxaddr);
}

bool Device::flash_right() const {
    static const Bytes firmware = read_bytes(data_path("avr/blink.bin"));
    return present && std::equal(firmware.begin(), firmware.end(), flash.begin());
}

bool Device::record_untouched() const {
    return present && std::all_of(eeprom.begin(), eeprom.begin() + RECORD_SIZE,
                                  [](unsigned char b) { return b == 0xFF; });
}

bool Device::record_whole(const Bytes& image, int soft) const {
    return present && eeprom == eeprom_with(image, {id().hard, soft, id().rxaddr});
}

std::size_t Device::record_write_index() const {
    auto select =
        std::find_if(log.begin(), log.end(), [](auto& l) { return has(l, SELECT_EEPROM); });
    return std::find_if(select, log.end(), [](auto& l) { return has(l, RECORD_WRITE); }) -
           log.begin();
}

bool Device::record_write_confirmed() const {
    std::size_t status = record_write_index() + 1;
    return status < log.size() && has(log[status], STATUS_OK) && has(log[status], " rc=6");
}

bool Device::start_sent() const {
    return std::any_of(log.begin(), log.end(), [](auto& l) { return has(l, START); });
}

bool Device::started() const {
    return std::count_if(log.begin(), log.end(),
                         [](auto& l) { return has(l, START) && has(l, " rc=5"); }) == 2;
}

Station::Station(const Bytes& id_image) {
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_bytes(dir.path("old.bin"), read_bytes(data_path("avr/uart_echo.bin")));
    write_bytes(dir.path("id.bin"), id_image);
}

RunRecord Station::run(const std::string& name, const std::string& scenario,
                       const std::vector<std::string>& args, const std::vector<std::string>& extra,
                       std::chrono::seconds time_limit) const {
    const std::string stem = dir.path(name);
    write_text(stem + ".scenario", scenario);
    // The first entry of a name is the one read: the run's own go first.
    std::vector<std::string> env = extra, argv = args;
    env.push_back("KORVOFW_SIM=" + stem + ".scenario");
    env.push_back("KORVOFW_SIM_OUT=" + stem);
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.push_back(*entry);
    argv.insert(argv.begin(), KORVOFW_SIM_BIN);
    // Spawned, not forked: nothing runs in a copy of a threaded test.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (stem + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (stem + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, FIRST_OWN_FD);
    posix_spawn_file_actions_addchdir_np(&actions, dir.dir.c_str());
    pid_t pid = -1;
    std::vector<char*> args_p = pointers(argv), env_p = pointers(env);
    RunRecord r;
    int error = posix_spawn(&pid, args_p[0], &actions, nullptr, args_p.data(), env_p.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        r.err = "cannot start " KORVOFW_SIM_BIN;
        return r;
    }
    // The bench creates the done file at an idle step once every device is delivered and its
    // pass is over. Output written after the file was seen comes from a later step, and every
    // step from then on is an idle step: the station holds nothing but what it keeps for good.
    auto deadline = std::chrono::steady_clock::now() + time_limit;
    long size_at_done = -1;
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) != pid) {
        if (r.played_out || std::chrono::steady_clock::now() > deadline) {
            kill(pid, r.played_out ? SIGTERM : SIGKILL);
        } else if (size_at_done < 0 && std::filesystem::exists(stem + "/done")) {
            size_at_done = file_size(stem + ".out");
        } else if (size_at_done >= 0 && file_size(stem + ".out") > size_at_done) {
            sample(pid, r);
            r.played_out = true;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    r.out = to_text(file_or_empty(stem + ".out"));
    r.err = to_text(file_or_empty(stem + ".err"));
    r.id_file = file_or_empty(dir.path("id.bin"));
    std::istringstream lines(scenario);
    std::string word, bus, devnum;
    for (std::string line; std::getline(lines, line);) {
        if (!(std::istringstream(line) >> word >> bus >> devnum) || word != "device")
            continue;
        const std::string file = stem + "/" + bus + "-" + devnum;
        Device& d = r.devices[bus + "-" + devnum];
        d.flash = file_or_empty(file + ".flash");
        d.eeprom = file_or_empty(file + ".eeprom");
        std::istringstream log(to_text(file_or_empty(file + ".log")));
        for (std::string entry; std::getline(log, entry);)
            d.log.push_back(entry);
        d.present = d.flash.size() == FLASH_SIZE && d.eeprom.size() == EEPROM_SIZE;
    }
    return r;
}

std::vector<std::string> options(int first_id) {
    return {"-f", "fw.hex", "-e", "id.bin", "-I", hex(first_id), "-s", "5", "-r", "0x8700"};
}

Bytes id_image(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    return with_identity(bytes, {0x10, 0x5A, 0x1234});
}

std::size_t request_stride(const char* variable) {
    const char* text = std::getenv(variable);
    return text ? static_cast<std::size_t>(std::max(1, std::atoi(text))) : DEFAULT_STRIDE;
}

void run_in_parallel(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads(std::max(1u, std::thread::hardware_concurrency()) * 2);
    for (std::thread& thread : threads)
        thread = std::thread([&] {
            for (std::size_t i = next++; i < count; i = next++)
                task(i);
        });
    for (std::thread& thread : threads)
        thread.join();
}

std::string hex(int value) {
    std::ostringstream text;
    text << std::uppercase << std::hex << value;
    return text.str();
}

std::vector<int> printed_hex(const std::string& out, const std::string& label) {
    std::vector<int> values;
    for (size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1))
        values.push_back(static_cast<int>(std::strtol(&out[at + label.size()], nullptr, 16)));
    return values;
}

int last_waiting_count(const std::string& out) {
    size_t at = out.rfind("Waiting (");
    return at == std::string::npos ? -1 : std::atoi(&out[at + 9]);
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace robustness
