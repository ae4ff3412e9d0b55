// Intel HEX text to blocks of consecutive data bytes.
#pragma once

#include <cstdint>

class IntelHex {
  public:
    enum { BUFSIZE = 65536 };

    IntelHex();
    virtual ~IntelHex() = default;
    IntelHex(const IntelHex&) = delete;
    IntelHex& operator=(const IntelHex&) = delete;

    // Called for every closed block (the first bufCount bytes of buf, at bufAddr);
    // a negative result stops the parse.
    virtual int flush();

    // Parses n bytes of text at s. Returns the number of data bytes, -1 for malformed
    // text (including a data record whose checksum does not add up), or the negative
    // result of flush. Record checksums are always verified; do_checksum is kept for
    // callers and has no further effect.
    int parse(const unsigned char* s, int n, int do_checksum);

    // Prints the parse error line, counts it and yields -1.
    int parse_error();

    // Reads exactly N hex digits at str into acc; false at the first non-digit.
    template <int N, typename T> static bool parseHex(T& acc, const unsigned char* str) {
        acc = 0;
        for (int k = 0; k < N; ++k) {
            int digit = hex_digit(str[k]);
            if (digit < 0)
                return false;
            acc = static_cast<T>((acc << 4) | digit);
        }
        return true;
    }

    int32_t bufCount;
    int32_t bufAddr;
    int32_t totalCount;
    int32_t parseError;
    unsigned char buf[BUFSIZE];
    int32_t lineCount;

    // Value of one hex digit, or -1.
    static int hex_digit(unsigned char c);

  private:
    int close_block();
};
