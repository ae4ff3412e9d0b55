#include "identity_record.h"

namespace record {

namespace {
constexpr int BYTE_BITS = 8;
constexpr int HARD_ID_HIGH_SHIFT = 5; // ID bits 12..5 in the first byte
} // namespace

int hard_id(const std::vector<unsigned char>& buf) {
    return (buf[HARD_ID_OFFSET] << HARD_ID_HIGH_SHIFT) | (buf[HARD_ID_OFFSET + 1] >> HARD_ID_SHIFT);
}
int soft_id(const std::vector<unsigned char>& buf) {
    return buf[SOFT_ID_OFFSET];
}
int rxaddr(const std::vector<unsigned char>& buf) {
    return (buf[RXADDR_OFFSET] << BYTE_BITS) | buf[RXADDR_OFFSET + 1];
}

} // namespace record
