// Runs many programming passes of a full 32 KiB image against the simulated bench and
// sets the host's share of the work against what a full-speed USB bus needs to carry it.
#include "bench.h"
#include "korvodfu.h"

#include <time.h>

#include <cstdio>
#include <iostream>

namespace {

constexpr int PASSES = 200;
constexpr size_t IMAGE_SIZE = 32768;
constexpr size_t RECORD_SIZE = 80;
constexpr size_t SETUP_PACKET_SIZE = 8;
constexpr double FULL_SPEED_BITS_PER_S = 12e6;
constexpr double BITS_PER_BYTE = 8;
constexpr double US_PER_S = 1e6;
constexpr int BUS = 1;
constexpr int DEVNUM = 2;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

ByteBuffer image() {
    ByteBuffer bytes(IMAGE_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    return bytes;
}

struct Wire {
    size_t requests = 0;
    size_t bytes = 0;
    uint64_t busy_us = 0; // the part's own time: page writes, erase, EEPROM writes
};

Wire wire_of(const sim::SimDevice& device) {
    Wire wire;
    for (const sim::LogEntry& e : device.log()) {
        ++wire.requests;
        wire.bytes += SETUP_PACKET_SIZE + e.out.size() + e.in.size();
        wire.busy_us += e.busy_us;
    }
    return wire;
}

} // namespace

int main() {
    const ByteBuffer flash_bin = image();
    const ByteBuffer eeprom_bin;
    Wire wire;
    double cpu = 0;

    // The pass prints what an operator sees; that is not what is measured here.
    std::streambuf* saved = std::cout.rdbuf(nullptr);
    for (int pass = 0; pass < PASSES; ++pass) {
        sim::Bench& bench = sim::Bench::install();
        sim::SimDevice& device = bench.plug(BUS, DEVNUM);
        int hard_id = 0x10;
        KorvoDfu loader;
        double start = cpu_seconds();
        int result =
            loader.try_device(BUS, DEVNUM, flash_bin, eeprom_bin, hard_id, -1, 0x8700, true);
        cpu += cpu_seconds() - start;
        if (result != PASS_OK) {
            std::cout.rdbuf(saved);
            std::fprintf(stderr, "pass %d failed with %d\n", pass, result);
            return 1;
        }
        wire = wire_of(device);
        sim::Bench::uninstall();
    }
    std::cout.rdbuf(saved);

    // The cost includes the simulated device's own work, so it is an upper bound.
    const size_t job_bytes = 2 * IMAGE_SIZE + 2 * RECORD_SIZE;
    const double cpu_per_pass_us = cpu / PASSES * US_PER_S;
    const double bus_us =
        static_cast<double>(wire.bytes) * BITS_PER_BYTE / FULL_SPEED_BITS_PER_S * US_PER_S;
    std::printf("Programming pass, %zu-byte image, %d passes on the simulated bench\n\n",
                IMAGE_SIZE, PASSES);
    std::printf("requests per pass                 %10zu\n", wire.requests);
    std::printf("bytes on the wire per pass        %10zu  (setup packets, headers, status)\n",
                wire.bytes);
    std::printf(
        "bytes the job needs               %10zu  (image written + read back + record both ways)\n",
        job_bytes);
    std::printf("wire overhead                     %9.1f%%\n",
                100.0 * (static_cast<double>(wire.bytes) / job_bytes - 1));
    std::printf("host CPU per pass (incl. model)   %10.0f us\n", cpu_per_pass_us);
    std::printf("full-speed bus time for the bytes %10.0f us  (12 Mbit/s, no protocol gaps)\n",
                bus_us);
    std::printf("host CPU / bus time               %10.4f\n", cpu_per_pass_us / bus_us);
    std::printf("the part's own time per pass      %10.0f us  (the model's page writes, erase, "
                "EEPROM writes)\n",
                static_cast<double>(wire.busy_us));
    return 0;
}
