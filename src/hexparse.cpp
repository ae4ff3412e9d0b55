#include "hexparse.h"

#include <iomanip>
#include <iostream>
#include <sstream>

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
constexpr int RECORD_SEGMENT = 0x02; // base = value * 16
constexpr int RECORD_LINEAR = 0x04;  // base = value * 65536
constexpr int SEGMENT_SHIFT = 4;
constexpr int LINEAR_SHIFT = 16;
constexpr int EXTENDED_LENGTH = 2;

bool blank(unsigned char c) {
    return c == LINE_FEED || c == CARRIAGE_RETURN || c == ' ' || c == '\t';
}

// Whether nothing but blank lines follow position i.
bool only_blank_from(const unsigned char* s, int i, int n) {
    while (i < n && blank(s[i]))
        ++i;
    return i >= n;
}

// The sum of all record bytes, checksum included, is zero modulo 256.
unsigned char record_sum(int reclen, int offset, int rectype) {
    return static_cast<unsigned char>(reclen + (offset >> 8) + offset + rectype);
}

constexpr int32_t KIB = 1024;

} // namespace

IntelHex::IntelHex()
    : bufCount(), bufAddr(), totalCount(), parseError(), lineCount(), fileLine(), endSeen() {}

int IntelHex::flush() {
    if (bufCount == 0)
        return 0;
    std::cout << "Flushing: " << bufCount << "  " << std::hex << bufAddr << " : ";
    for (int k = 0; k < bufCount; ++k)
        std::cout << static_cast<int>(buf[k]) << ' ';
    std::cout << std::dec << std::endl << std::endl;
    return 0;
}

int IntelHex::parse_error(const char* why) {
    std::cout << ".hex parse error line # " << fileLine << std::endl;
    fault = "line " + std::to_string(fileLine) + ": " + why;
    ++parseError;
    return -1;
}

int IntelHex::extended_address(const unsigned char* record, int left, int reclen, int offset,
                               int rectype, int64_t& base) {
    int value = 0;
    unsigned char checksum = 0;
    const int value_digits = EXTENDED_LENGTH * DIGITS_PER_BYTE;
    if (reclen != EXTENDED_LENGTH || POS_DATA + value_digits + DIGITS_PER_BYTE > left ||
        !parseHex<4, int>(value, record + POS_DATA) ||
        !parseHex<2, unsigned char>(checksum, record + POS_DATA + value_digits))
        return parse_error("an extended address record that is not 2 bytes of hex");
    unsigned char sum = static_cast<unsigned char>(record_sum(reclen, offset, rectype) +
                                                   (value >> 8) + value + checksum);
    if (sum != 0)
        return parse_error("the checksum does not add up");
    base = static_cast<int64_t>(value)
           << (rectype == RECORD_SEGMENT ? SEGMENT_SHIFT : LINEAR_SHIFT);
    return 0;
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
    fileLine = 0;
    endSeen = false;
    fault.clear();
    if (n <= 0)
        return 0;

    // A field that runs past the end of the input counts as a bad digit.
    auto field_fits = [n](int pos, int digits) { return pos >= 0 && pos + digits <= n; };

    // From the last extended address record; a linear one reaches 4 GiB, beyond int32_t.
    int64_t base = 0;
    int i = 0;
    while (i < n) {
        ++fileLine;
        if (s[i] != START_CODE)
            return only_blank_from(s, i, n) ? finish() : parse_error("no ':' at its start");

        int reclen = 0, offset = 0, rectype = 0;
        if (!field_fits(i + POS_LENGTH, POS_DATA - POS_LENGTH) ||
            !parseHex<2, int>(reclen, s + i + POS_LENGTH) ||
            !parseHex<4, int>(offset, s + i + POS_ADDRESS) ||
            !parseHex<2, int>(rectype, s + i + POS_TYPE))
            return parse_error("a length, address or type that is not hex");
        endSeen = rectype == RECORD_EOF;

        if (rectype == RECORD_DATA) {
            const int64_t placed = base + offset;
            if (reclen > 0 && placed + reclen > addressLimit) {
                std::ostringstream why;
                why << "data at 0x" << std::hex << std::uppercase
                    << std::max<int64_t>(placed, addressLimit) << ", at or above " << std::dec
                    << addressLimit / KIB << " KiB, where no flash of the device is";
                return parse_error(why.str().c_str());
            }
            const int32_t address = static_cast<int32_t>(placed);
            bool new_block =
                lineCount == 0 || bufAddr + bufCount != address || bufCount + reclen > BUFSIZE;
            if (new_block) {
                int rval = close_block();
                if (rval < 0)
                    return rval;
                bufCount = 0;
                bufAddr = address;
            }
            ++lineCount;

            unsigned char sum = record_sum(reclen, offset, rectype);
            for (int j = 0; j < reclen; ++j) {
                int pos = i + POS_DATA + DIGITS_PER_BYTE * j;
                unsigned char value = 0;
                if (!field_fits(pos, DIGITS_PER_BYTE) ||
                    !parseHex<2, unsigned char>(value, s + pos))
                    return parse_error("a data byte that is not hex, or a record cut short");
                buf[bufCount++] = value;
                sum = static_cast<unsigned char>(sum + value);
            }

            int pos = i + POS_DATA + DIGITS_PER_BYTE * reclen;
            unsigned char checksum = 0;
            if (!field_fits(pos, DIGITS_PER_BYTE) || !parseHex<2, unsigned char>(checksum, s + pos))
                return parse_error("a checksum that is not hex");
            if (static_cast<unsigned char>(sum + checksum) != 0)
                return parse_error("the checksum does not add up");
        } else if (rectype != RECORD_EOF) {
            if ((rectype == RECORD_SEGMENT || rectype == RECORD_LINEAR) &&
                extended_address(s + i, n - i, reclen, offset, rectype, base) != 0)
                return -1;
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
    return finish();
}

int IntelHex::finish() {
    if (bufCount == 0)
        return totalCount;
    int rval = close_block();
    return rval < 0 ? rval : totalCount;
}
