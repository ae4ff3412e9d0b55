#include "hexparse.h"

#include <iostream>

namespace {

// Record layout: ':' LL AAAA TT data... CC
constexpr unsigned char START_CODE = ':';
constexpr unsigned char LINE_FEED = '\n';
constexpr unsigned char CARRIAGE_RETURN = '\r';
constexpr int POS_LENGTH = 1;
constexpr int POS_ADDRESS = 3;
constexpr int POS_TYPE = 7;
constexpr int POS_DATA = 9;
constexpr int DIGITS_PER_BYTE = 2;

constexpr int RECORD_DATA = 0x00;
constexpr int RECORD_EOF = 0x01;

// The sum of all record bytes, checksum included, is zero modulo 256.
unsigned char record_sum(int reclen, int offset, int rectype) {
    return static_cast<unsigned char>(reclen + (offset >> 8) + offset + rectype);
}

} // namespace

IntelHex::IntelHex() : bufCount(), bufAddr(), totalCount(), parseError(), lineCount() {}

int IntelHex::hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int IntelHex::flush() {
    if (bufCount == 0)
        return 0;
    std::cout << "Flushing: " << bufCount << "  " << std::hex << bufAddr << " : ";
    for (int k = 0; k < bufCount; ++k)
        std::cout << static_cast<int>(buf[k]) << ' ';
    std::cout << std::dec << std::endl << std::endl;
    return 0;
}

int IntelHex::parse_error() {
    std::cout << ".hex parse error line # " << lineCount + 1 << std::endl;
    ++parseError;
    return -1;
}

int IntelHex::close_block() {
    totalCount += bufCount;
    return flush();
}

int IntelHex::parse(const unsigned char* s, int n, int /*do_checksum*/) {
    lineCount = 0;
    bufCount = 0;
    bufAddr = 0;
    totalCount = 0;
    if (n <= 0)
        return 0;

    // A field that runs past the end of the input counts as a bad digit.
    auto field_fits = [n](int pos, int digits) { return pos >= 0 && pos + digits <= n; };

    int i = 0;
    while (i < n) {
        if (s[i] != START_CODE)
            return parse_error();

        int reclen = 0, offset = 0, rectype = 0;
        if (!field_fits(i + POS_LENGTH, POS_DATA - POS_LENGTH) ||
            !parseHex<2, int>(reclen, s + i + POS_LENGTH) ||
            !parseHex<4, int>(offset, s + i + POS_ADDRESS) ||
            !parseHex<2, int>(rectype, s + i + POS_TYPE))
            return parse_error();

        if (rectype == RECORD_DATA) {
            bool new_block =
                lineCount == 0 || bufAddr + bufCount != offset || bufCount + reclen > BUFSIZE;
            if (new_block) {
                int rval = close_block();
                if (rval < 0)
                    return rval;
                bufCount = 0;
                bufAddr = offset;
            }
            ++lineCount;

            unsigned char sum = record_sum(reclen, offset, rectype);
            for (int j = 0; j < reclen; ++j) {
                int pos = i + POS_DATA + DIGITS_PER_BYTE * j;
                unsigned char value = 0;
                if (!field_fits(pos, DIGITS_PER_BYTE) ||
                    !parseHex<2, unsigned char>(value, s + pos)) {
                    ++parseError;
                    return -1;
                }
                buf[bufCount++] = value;
                sum = static_cast<unsigned char>(sum + value);
            }

            int pos = i + POS_DATA + DIGITS_PER_BYTE * reclen;
            unsigned char checksum = 0;
            if (!field_fits(pos, DIGITS_PER_BYTE) ||
                !parseHex<2, unsigned char>(checksum, s + pos) ||
                static_cast<unsigned char>(sum + checksum) != 0)
                return parse_error();
        } else if (rectype != RECORD_EOF) {
            // The record's own line, without its line end.
            std::cout << "rectype = " << rectype << std::endl;
            int end = i;
            while (end < n && s[end] != LINE_FEED && s[end] != CARRIAGE_RETURN && s[end] != 0)
                ++end;
            std::cout.write(reinterpret_cast<const char*>(s + i), end - i);
            std::cout << std::endl;
        }

        while (i < n && s[i] != LINE_FEED)
            ++i;
        ++i;
    }

    if (bufCount == 0)
        return totalCount;
    int rval = close_block();
    return rval < 0 ? rval : totalCount;
}
