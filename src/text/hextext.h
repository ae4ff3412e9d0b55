// Byte buffers and the hex text they are read from and shown as: the one hex-digit decoder and
// the one encoder that the firmware parser, the identity record and the ledger share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using ByteBuffer = std::vector<unsigned char>;

namespace hextext {

enum Case { UPPER, LOWER };

// Value of one hex digit, either case, or -1.
int digit(unsigned char c);
// Bytes as hex text, two digits per byte.
std::string encode(const uint8_t* bytes, size_t length, Case letters);
inline std::string encode(const std::vector<uint8_t>& bytes, Case letters) {
    return encode(bytes.data(), bytes.size(), letters);
}

} // namespace hextext

// Hex text right-aligned into a field of max_len / 2 bytes at val; a character that is no
// hex digit counts as 0.
void convert_string(const char* str, int32_t max_len, uint8_t* val);
// Bytes as upper-case hex text, two digits per byte.
std::string convert_string(const uint8_t* val, int32_t len);
