// Measures how fast a full 64 KiB flash image goes from Intel HEX text to the flat image
// (a fresh AvrParser, parse, copy), and compares it with converting the same file with
// srec_cat.
#include "korvodfu.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int IMAGE_SIZE = 0x10000;
constexpr uint32_t SEED = 0x2545F491;
constexpr int RECORD_SIZES[] = {16, 32};
constexpr double TARGET_SECONDS = 1.0;
constexpr int SREC_RUNS = 7;
constexpr double BYTES_PER_MB = 1e6;
constexpr double MS_PER_S = 1e3;
constexpr int RECORD_DATA = 0x00;
constexpr const char* EOF_RECORD = ":00000001FF\n";
constexpr const char* SREC_CAT = "srec_cat";
// posix_spawn's child exits with this when it cannot exec the program.
constexpr int EXEC_FAILED = 127;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Fixed-seed xorshift32, so every run measures the same bytes.
ByteBuffer make_image() {
    ByteBuffer image(IMAGE_SIZE);
    uint32_t x = SEED;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return image;
}

// Data records of record_size bytes each, upper-case, LF line ends, then the EOF record.
std::string to_intel_hex(const ByteBuffer& image, int record_size) {
    std::string text;
    char field[3];
    auto put_byte = [&](unsigned value, unsigned& sum) {
        std::snprintf(field, sizeof field, "%02X", value & 0xFF);
        text += field;
        sum += value;
    };
    for (size_t addr = 0; addr < image.size(); addr += record_size) {
        int len = static_cast<int>(std::min<size_t>(record_size, image.size() - addr));
        unsigned sum = 0;
        text += ':';
        put_byte(len, sum);
        put_byte(static_cast<unsigned>(addr >> 8), sum);
        put_byte(static_cast<unsigned>(addr), sum);
        put_byte(RECORD_DATA, sum);
        for (int k = 0; k < len; ++k)
            put_byte(image[addr + k], sum);
        unsigned ignored = 0;
        put_byte(0x100 - (sum & 0xFF), ignored);
        text += '\n';
    }
    return text + EOF_RECORD;
}

// One image the way the station builds it. Exits on any failure: a figure for a parse
// that went wrong would mean nothing.
void parse_and_copy(const std::string& text, ByteBuffer& out) {
    auto parser = std::make_unique<AvrParser>();
    int count = parser->parse(reinterpret_cast<const unsigned char*>(text.data()),
                              static_cast<int>(text.size()), 1);
    if (count != IMAGE_SIZE || parser->copy(out) != 0) {
        std::fprintf(stderr, "hex_bench: parse gave %d data bytes, expected %d\n", count,
                     IMAGE_SIZE);
        std::exit(EXIT_FAILURE);
    }
}

// Runs srec_cat once, output discarded. Returns its wall time in seconds, or a negative
// value when it cannot be started or fails.
double time_srec_cat(const std::string& hex_path, const std::string& bin_path, bool& missing) {
    const char* argv[] = {SREC_CAT,         hex_path.c_str(), "-intel", "-o",
                          bin_path.c_str(), "-binary",        nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    auto start = Clock::now();
    pid_t pid;
    int err = posix_spawnp(&pid, SREC_CAT, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        missing = err == ENOENT;
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    double elapsed = seconds_since(start);
    if (WEXITSTATUS(status) == EXEC_FAILED)
        missing = true;
    return WEXITSTATUS(status) == 0 ? elapsed : -1;
}

ByteBuffer read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
    int record_size;
    size_t text_bytes;
    double parse_s; // per image
    double srec_s;  // median per conversion, negative when not measured
};

Result measure(const ByteBuffer& image, int record_size, bool& srec_missing) {
    std::string text = to_intel_hex(image, record_size);
    Result r{record_size, text.size(), 0, -1};

    ByteBuffer out;
    parse_and_copy(text, out);
    if (out != image) {
        std::fprintf(stderr, "hex_bench: parsed image differs from the generated one\n");
        std::exit(EXIT_FAILURE);
    }

    long runs = 0;
    auto start = Clock::now();
    double elapsed;
    do {
        parse_and_copy(text, out);
        ++runs;
    } while ((elapsed = seconds_since(start)) < TARGET_SECONDS);
    r.parse_s = elapsed / runs;

    char hex_path[] = "/tmp/hex_bench_XXXXXX";
    int fd = mkstemp(hex_path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::perror("hex_bench: temp file");
        std::exit(EXIT_FAILURE);
    }
    close(fd);
    std::string bin_path = std::string(hex_path) + ".bin";

    std::vector<double> times;
    for (int k = 0; k < SREC_RUNS && !srec_missing; ++k) {
        double t = time_srec_cat(hex_path, bin_path, srec_missing);
        if (t < 0)
            break;
        times.push_back(t);
    }
    if (times.size() == SREC_RUNS && read_all(bin_path) == image) {
        std::nth_element(times.begin(), times.begin() + SREC_RUNS / 2, times.end());
        r.srec_s = times[SREC_RUNS / 2];
    } else if (!srec_missing) {
        std::fprintf(stderr, "hex_bench: srec_cat failed on %s or gave a different image\n",
                     hex_path);
    }
    unlink(hex_path);
    unlink(bin_path.c_str());
    return r;
}

} // namespace

int main() {
    ByteBuffer image = make_image();
    bool srec_missing = false;
    std::vector<Result> results;
    for (int size : RECORD_SIZES)
        results.push_back(measure(image, size, srec_missing));

    std::printf("Intel HEX -> 64 KiB flash image (fresh AvrParser, parse, copy)\n\n");
    std::printf("%-8s %10s %12s %8s %10s %12s %8s\n", "record", "hex text", "per image", "MB/s",
                "images/s", "srec_cat", "ratio");
    for (const Result& r : results) {
        std::printf("%5d B  %7.1f KiB %9.3f ms %8.1f %10.0f", r.record_size, r.text_bytes / 1024.0,
                    r.parse_s * MS_PER_S, r.text_bytes / r.parse_s / BYTES_PER_MB, 1 / r.parse_s);
        if (r.srec_s > 0)
            std::printf(" %9.3f ms %8.3f\n", r.srec_s * MS_PER_S, r.parse_s / r.srec_s);
        else
            std::printf(" %12s %8s\n", "-", "-");
    }
    std::printf("\n");
    if (srec_missing)
        std::printf("srec_cat is not installed (package srecord): no comparison made.\n");
    else
        std::printf("ratio = our time per image / srec_cat's median of %d runs; srec_cat's "
                    "figure includes process start-up and file I/O.\n",
                    SREC_RUNS);
    return 0;
}
