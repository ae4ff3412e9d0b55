// Any bytes as an Intel HEX flash file: parse into a flash image, copy it out, and check
// that count, blocks and image agree.
#include "korvodfu.h"
#include "output_counter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// The flash image as the station builds it, keeping a copy of every block it is handed.
struct CheckedParser : AvrParser {
    std::vector<std::pair<int32_t, ByteBuffer>> blocks;
    int flush() override {
        if (bufCount > 0)
            blocks.emplace_back(bufAddr, ByteBuffer(buf, buf + bufCount));
        return AvrParser::flush();
    }
};

const ByteBuffer UNTOUCHED = {0xA5, 0x5A, 0xA5};
OutputCounter out;

// Every message names at most one record, so messages grow no faster than the input.
constexpr size_t OUTPUT_PER_INPUT_BYTE = 4;
constexpr size_t OUTPUT_SLACK = 256;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(&out); // printing the parser's messages would dominate the run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX))
        return -1;
    out.count = 0;
    auto parser = std::make_unique<CheckedParser>();
    int count = parser->parse(data, static_cast<int>(size), 0);
    ByteBuffer image = UNTOUCHED;
    int copied = parser->copy(image);
    check(out.count <= OUTPUT_PER_INPUT_BYTE * size + OUTPUT_SLACK);

    // -1 or a count; every data byte takes two hex digits of the input.
    check(count >= -1);
    check(count < 0 || static_cast<size_t>(count) <= size / 2);
    // Every recorded block is one the parser handed over, and flushBuffer lists them all.
    check(parser->flushBuffer.size() == 2 * parser->blocks.size());
    int32_t low = INT32_MAX, high = 0;
    int64_t sum = 0;
    for (size_t k = 0; k < parser->blocks.size(); ++k) {
        const auto& block = parser->blocks[k];
        check(parser->flushBuffer[2 * k] == block.first);
        check(parser->flushBuffer[2 * k + 1] == static_cast<int32_t>(block.second.size()));
        // Data at or above 64 KiB fails the parse before its block is handed over.
        check(block.first >= 0 &&
              block.first + static_cast<int32_t>(block.second.size()) <= IntelHex::ADDRESS_SPACE);
        check(block.second.size() <= static_cast<size_t>(IntelHex::BUFSIZE));
        low = std::min(low, block.first);
        high = std::max(high, block.first + static_cast<int32_t>(block.second.size()));
        sum += static_cast<int64_t>(block.second.size());
    }
    // A count is the sum of the blocks' lengths, and 0 means no block.
    check(count < 0 || sum == count);

    if (copied != 0) {
        check(copied == -1);
        check(image == UNTOUCHED);
        // Refused only for no data, or a conflict (which fails the parse).
        check(count < 0 || parser->blocks.empty());
        return 0;
    }
    // The image spans exactly the blocks, fits 16 bits, and holds every block's bytes at
    // its address. (A count may exceed the image: bytes given twice with the same value
    // are counted twice.)
    check(!parser->blocks.empty());
    check(image.size() == static_cast<size_t>(high - low));
    check(image.size() <= static_cast<size_t>(IntelHex::ADDRESS_SPACE));
    for (const auto& block : parser->blocks)
        check(std::equal(block.second.begin(), block.second.end(),
                         image.begin() + (block.first - low)));
    return 0;
}
