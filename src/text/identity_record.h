// The 80-byte EEPROM identity record's layout and the readers of its identity values, shared by
// the station (which writes records) and korvofw-ledger (which shows the ones a ledger holds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace record {
constexpr size_t readout_size = 80;
constexpr size_t VERSION_OFFSET = 0;
constexpr int VERSION_SIZE = 20;
constexpr size_t TAG_OFFSET = 20;
constexpr int TAG_SIZE = 2;
constexpr size_t CLEARED_OFFSET = 22;
constexpr size_t HARD_ID_OFFSET = 23; // two bytes: ID in bits 15..3, big-endian
constexpr size_t SOFT_ID_OFFSET = 25;
constexpr size_t RXADDR_OFFSET = 26; // two bytes, big-endian
constexpr size_t IDENTITY_END = RXADDR_OFFSET + 2;
constexpr int HARD_ID_SHIFT = 3;
constexpr int HARD_ID_MAX = 0x1FFF;
constexpr int SOFT_ID_MAX = 0xFF;
constexpr int RXADDR_MAX = 0xFFFF;

// The values as the record holds them; the record has at least IDENTITY_END bytes.
int hard_id(const std::vector<unsigned char>& buf);
int soft_id(const std::vector<unsigned char>& buf);
int rxaddr(const std::vector<unsigned char>& buf);
} // namespace record
