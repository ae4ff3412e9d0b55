// Counts what the program writes to a stream and throws it away, so the fuzz targets can
// check that output stays in proportion to the input without printing it.
#pragma once

#include <cstddef>
#include <streambuf>

class OutputCounter : public std::streambuf {
  public:
    size_t count = 0;

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            ++count;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char_type*, std::streamsize n) override {
        count += static_cast<size_t>(n);
        return n;
    }
};
