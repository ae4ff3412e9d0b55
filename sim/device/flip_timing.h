// How long the bootloader model's part is busy carrying out a request: one row per FLIP
// protocol, the figures the model charges in Reply::busy_us. The link-time bench advances its
// simulated clock by them; the usbredir front end holds a request's completion back by them.
//
// Adjust a figure here (and only here) when the real-kernel bench's calibration against a real
// part says so; say where the new figure comes from beside it.
#pragma once

#include "parts/parts.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sim {

struct FlipTiming {
    int protocol;
    // Programming one flash page the command touches, however few of its bytes.
    std::uint64_t page_write_us;
    // A chip erase: a fixed part plus one page erase per application flash page.
    std::uint64_t chip_erase_us;
    std::uint64_t chip_erase_page_us;
    // The EEPROM is written in units of this many bytes, each unit touched taking the time.
    std::size_t eeprom_unit;
    std::uint64_t eeprom_unit_us;
};

constexpr FlipTiming kFlipTimings[] = {
    // megaAVR. Page write and page erase: the datasheets' 3.7-4.5 ms for a self-programming
    // operation, at the fast end because the one measurement we have (an ATmega32U4 writing
    // 45 pages in 0.09 s) is faster still. The bootloader erases the chip page by page.
    // EEPROM: the datasheets' 3.3 ms per byte.
    {parts::PROTOCOL_1, 3700, 0, 3700, 1, 3300},
    // XMEGA. Page write: an ATxmega32A4U took 0.55 s for 114 pages of 256 bytes with avrdude,
    // 4.8 ms a page, its requests on the bus included, which the bench's USB side spends
    // itself. avrdude sends about six requests a page; at the real bus's cost per request
    // (0.26 ms, from the same measurement's verification) the part's own share would be
    // nearer 3.2 ms. 4.3 ms, between that and the datasheets' 4 ms page write, keeps the
    // model's write within 30 % of the real one on the real-kernel bench
    // (docs/real-kernel-bench.md, Calibration). Chip erase: the bootloader can erase only the
    // application section, 6 ms in the XMEGA AU datasheets (a whole-chip erase is a
    // programming-interface command the bootloader cannot issue). EEPROM: a 32-byte page's
    // atomic erase and write, 8 ms in the same datasheets.
    {parts::PROTOCOL_2, 4300, 6000, 0, 32, 8000},
};

// The row of the part's protocol.
inline const FlipTiming& flip_timing(const parts::Part& part) {
    for (const FlipTiming& row : kFlipTimings) {
        if (row.protocol == part.protocol)
            return row;
    }
    throw std::logic_error(std::string("sim: no timing for the protocol of ") + part.name);
}

} // namespace sim
