// The flash file's way to an image, as the station takes it: a fresh parser, then the copy.
#pragma once

#include "korvodfu.h"

#include <gtest/gtest.h>

#include <string>

struct BuiltImage {
    int parsed;
    int copied;
    ByteBuffer image; // what copy left in the buffer it was given
    std::string out;  // what the parser and the copy printed
};

inline BuiltImage build_image(const std::string& text, ByteBuffer image = {}) {
    AvrParser parser;
    testing::internal::CaptureStdout();
    int parsed = parser.parse(reinterpret_cast<const unsigned char*>(text.data()),
                              static_cast<int>(text.size()), 0);
    int copied = parser.copy(image);
    return {parsed, copied, image, testing::internal::GetCapturedStdout()};
}
