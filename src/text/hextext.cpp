#include "hextext.h"

#include <algorithm>
#include <cstring>

namespace hextext {

namespace {
constexpr int DECIMAL_DIGITS = 10;
constexpr int NIBBLE_BITS = 4;
constexpr int LOW_NIBBLE = 0x0F;
const char UPPER_DIGITS[] = "0123456789ABCDEF";
const char LOWER_DIGITS[] = "0123456789abcdef";
} // namespace

int digit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + DECIMAL_DIGITS;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + DECIMAL_DIGITS;
    return -1;
}

std::string encode(const uint8_t* bytes, size_t length, Case letters) {
    const char* digits = letters == UPPER ? UPPER_DIGITS : LOWER_DIGITS;
    std::string text;
    text.reserve(2 * length);
    for (size_t k = 0; k < length; ++k) {
        text += digits[bytes[k] >> NIBBLE_BITS];
        text += digits[bytes[k] & LOW_NIBBLE];
    }
    return text;
}

} // namespace hextext

namespace {
uint8_t nibble(char c) {
    return static_cast<uint8_t>(std::max(hextext::digit(static_cast<unsigned char>(c)), 0));
}
} // namespace

void convert_string(const char* str, int32_t max_len, uint8_t* val) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(std::strlen(str), max_len));
    int32_t index = max_len / 2 - (n + 1) / 2;
    int32_t k = 0;
    if (n % 2 != 0)
        val[index++] = nibble(str[k++]);
    for (; k < n; k += 2)
        val[index++] = static_cast<uint8_t>((nibble(str[k]) << 4) | nibble(str[k + 1]));
}

std::string convert_string(const uint8_t* val, int32_t len) {
    return hextext::encode(val, static_cast<size_t>(len), hextext::UPPER);
}
