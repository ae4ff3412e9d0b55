// The Atmel USB DFU parts the station programs: one row per part, and the lookups on them.
// Header-only data, so that anything that needs a part's sizes can read the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace parts {

// FLIP protocol 1 is the megaAVR bootloader's, protocol 2 the XMEGA one's.
constexpr int PROTOCOL_1 = 1;
constexpr int PROTOCOL_2 = 2;
constexpr uint16_t ATMEL_VENDOR = 0x03EB;
constexpr size_t SIGNATURE_SIZE = 3;
constexpr uint32_t KIB = 1024;
// Every command addresses 64 KiB; a page select reaches the rest.
constexpr uint32_t PAGE_SPAN = 0x10000;

struct Part {
    const char* name;
    uint16_t product; // the bootloader's USB product ID
    int protocol;
    // All of the flash. On protocol 1 the bootloader sits at its top, inside it; on protocol 2
    // it is a section of its own after it.
    uint32_t flash_size;
    uint32_t bootloader_size;
    uint32_t page_size; // bytes the part erases and writes at a time
    uint32_t eeprom_size;
    uint8_t signature[SIGNATURE_SIZE];

    // The flash an image may fill: below the bootloader on protocol 1.
    constexpr uint32_t application_size() const {
        return protocol == PROTOCOL_1 ? flash_size - bootloader_size : flash_size;
    }
};

// Where sources disagree, the rows follow the part's datasheet and Atmel's own bootloader
// documents (AVR1916 for the XMEGA product IDs):
// - at90usb646/647/1286/1287 and atxmega128a1u: 256-word (256/512-byte) pages, as avrdude
//   and the datasheets give them; dfu-programmer's 128/256 bytes are half a page, which only
//   matters to its own buffering.
// - atxmega64a4u: product 0x2FDD, as dfu-programmer and AVR1916 give it; avrdude's 0x2FE5
//   is the atxmega64a3u's.
// - at90usb1286/1287: the 8 KiB bootloader the part ships with; boards that load a 4 KiB
//   one leave their application 4 KiB unused.
constexpr Part TABLE[] = {
    // FLIP protocol 1: megaAVR
    {"at90usb82", 0x2FF7, PROTOCOL_1, 8 * KIB, 4 * KIB, 128, 512, {0x1E, 0x93, 0x82}},
    {"at90usb162", 0x2FFA, PROTOCOL_1, 16 * KIB, 4 * KIB, 128, 512, {0x1E, 0x94, 0x82}},
    {"atmega8u2", 0x2FEE, PROTOCOL_1, 8 * KIB, 4 * KIB, 128, 512, {0x1E, 0x93, 0x89}},
    {"atmega16u2", 0x2FEF, PROTOCOL_1, 16 * KIB, 4 * KIB, 128, 512, {0x1E, 0x94, 0x89}},
    {"atmega32u2", 0x2FF0, PROTOCOL_1, 32 * KIB, 4 * KIB, 128, 1 * KIB, {0x1E, 0x95, 0x8A}},
    {"atmega16u4", 0x2FF3, PROTOCOL_1, 16 * KIB, 4 * KIB, 128, 512, {0x1E, 0x94, 0x88}},
    {"atmega32u4", 0x2FF4, PROTOCOL_1, 32 * KIB, 4 * KIB, 128, 1 * KIB, {0x1E, 0x95, 0x87}},
    {"at90usb646", 0x2FF9, PROTOCOL_1, 64 * KIB, 8 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x82}},
    {"at90usb647", 0x2FF9, PROTOCOL_1, 64 * KIB, 8 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x82}},
    {"at90usb1286", 0x2FFB, PROTOCOL_1, 128 * KIB, 8 * KIB, 256, 4 * KIB, {0x1E, 0x97, 0x82}},
    {"at90usb1287", 0x2FFB, PROTOCOL_1, 128 * KIB, 8 * KIB, 256, 4 * KIB, {0x1E, 0x97, 0x82}},
    // FLIP protocol 2: XMEGA (bootloader section 4 KiB up to 64 KiB of flash, 8 KiB above)
    {"atxmega16a4u", 0x2FE3, PROTOCOL_2, 16 * KIB, 4 * KIB, 256, 1 * KIB, {0x1E, 0x94, 0x41}},
    {"atxmega32a4u", 0x2FE4, PROTOCOL_2, 32 * KIB, 4 * KIB, 256, 1 * KIB, {0x1E, 0x95, 0x41}},
    {"atxmega64a4u", 0x2FDD, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x46}},
    {"atxmega128a4u", 0x2FDE, PROTOCOL_2, 128 * KIB, 8 * KIB, 256, 2 * KIB, {0x1E, 0x97, 0x46}},
    {"atxmega64a3u", 0x2FE5, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x42}},
    {"atxmega128a3u", 0x2FE6, PROTOCOL_2, 128 * KIB, 8 * KIB, 512, 2 * KIB, {0x1E, 0x97, 0x42}},
    {"atxmega192a3u", 0x2FE7, PROTOCOL_2, 192 * KIB, 8 * KIB, 512, 2 * KIB, {0x1E, 0x97, 0x44}},
    {"atxmega256a3u", 0x2FEC, PROTOCOL_2, 256 * KIB, 8 * KIB, 512, 4 * KIB, {0x1E, 0x98, 0x42}},
    {"atxmega256a3bu", 0x2FE2, PROTOCOL_2, 256 * KIB, 8 * KIB, 512, 4 * KIB, {0x1E, 0x98, 0x43}},
    {"atxmega64a1u", 0x2FE8, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x4E}},
    {"atxmega128a1u", 0x2FED, PROTOCOL_2, 128 * KIB, 8 * KIB, 512, 2 * KIB, {0x1E, 0x97, 0x4C}},
    {"atxmega64b1", 0x2FE1, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x52}},
    {"atxmega128b1", 0x2FEA, PROTOCOL_2, 128 * KIB, 8 * KIB, 256, 2 * KIB, {0x1E, 0x97, 0x4D}},
    {"atxmega64b3", 0x2FDF, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x51}},
    {"atxmega128b3", 0x2FE0, PROTOCOL_2, 128 * KIB, 8 * KIB, 256, 2 * KIB, {0x1E, 0x97, 0x4B}},
    {"atxmega64c3", 0x2FD6, PROTOCOL_2, 64 * KIB, 4 * KIB, 256, 2 * KIB, {0x1E, 0x96, 0x49}},
    {"atxmega128c3", 0x2FD7, PROTOCOL_2, 128 * KIB, 8 * KIB, 512, 2 * KIB, {0x1E, 0x97, 0x52}},
    {"atxmega256c3", 0x2FDA, PROTOCOL_2, 256 * KIB, 8 * KIB, 512, 4 * KIB, {0x1E, 0x98, 0x46}},
    {"atxmega384c3", 0x2FDB, PROTOCOL_2, 384 * KIB, 8 * KIB, 512, 4 * KIB, {0x1E, 0x98, 0x45}},
    {"atxmega16c4", 0x2FD8, PROTOCOL_2, 16 * KIB, 4 * KIB, 256, 1 * KIB, {0x1E, 0x94, 0x43}},
    {"atxmega32c4", 0x2FD9, PROTOCOL_2, 32 * KIB, 4 * KIB, 256, 1 * KIB, {0x1E, 0x95, 0x44}},
};
constexpr size_t COUNT = sizeof TABLE / sizeof TABLE[0];

// The part a station takes without --part.
constexpr const char DEFAULT_NAME[] = "atxmega32a4u";

// The row named so, or null.
inline const Part* find(const char* name) {
    for (const Part& part : TABLE)
        if (std::strcmp(part.name, name) == 0)
            return &part;
    return nullptr;
}

inline const Part& default_part() {
    return *find(DEFAULT_NAME);
}

// The largest flash of any part: no image for any of them reaches beyond it.
constexpr uint32_t largest_flash() {
    uint32_t largest = 0;
    for (const Part& part : TABLE)
        largest = part.flash_size > largest ? part.flash_size : largest;
    return largest;
}

} // namespace parts
