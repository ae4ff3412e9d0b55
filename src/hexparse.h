// Intel HEX text to blocks of consecutive data bytes.
#pragma once

#include "hextext.h"

#include <cstdint>
#include <string>

class IntelHex {
  public:
    enum { BUFSIZE = 65536 };
    // Data addresses are 16 bits unless extended address records reach further: a part with
    // more flash than 64 KiB raises addressLimit to its flash size.
    static constexpr int32_t ADDRESS_SPACE = 0x10000;
    int32_t addressLimit = ADDRESS_SPACE;

    IntelHex();
    virtual ~IntelHex() = default;
    IntelHex(const IntelHex&) = delete;
    IntelHex& operator=(const IntelHex&) = delete;

    // Called for every closed block (the first bufCount bytes of buf, at bufAddr);
    // a negative result stops the parse.
    virtual int flush();

    // Parses n bytes of text at s. Returns the number of data bytes, -1 for malformed
    // text (including a data record whose checksum does not add up, and data placed at or
    // above addressLimit), or the negative result of flush. Record checksums are always
    // verified; do_checksum is kept for callers and has no further effect. Blank lines at
    // the end of the text are accepted; extended address records (02, 04) place the data
    // records after them as the Intel HEX standard says.
    int parse(const unsigned char* s, int n, int do_checksum);

    // Prints the parse error line, keeps `why` in fault, counts it and yields -1.
    int parse_error(const char* why);

    // Reads exactly N hex digits at str into acc; false at the first non-digit.
    template <int N, typename T> static bool parseHex(T& acc, const unsigned char* str) {
        acc = 0;
        for (int k = 0; k < N; ++k) {
            int digit = hextext::digit(str[k]);
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
    // The text's own line number of the record being read, from 1.
    int32_t fileLine;
    // Whether the last record read was an end-of-file record (01): a file cut short lacks it.
    bool endSeen;
    // Why the last parse failed, with the line; empty when it did not fail in the text.
    std::string fault;

  private:
    int close_block();
    // At the end of the text: closes the last block; the parse's result.
    int finish();
    // Reads the extended address record (02, 04) at `record`, `left` bytes before the end of
    // the text, into base; -1 when it is malformed.
    int extended_address(const unsigned char* record, int left, int reclen, int offset, int rectype,
                         int64_t& base);
};
