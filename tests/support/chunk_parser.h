#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dualcap::test {

struct ParsedChunk {
    std::uint8_t tag;
    std::vector<std::int16_t> samples;
};

// What a reader of the stream makes of a byte sequence: the whole chunks, and how many
// bytes at the end belong to a chunk that was cut short.
struct ParsedStream {
    std::vector<ParsedChunk> chunks;
    std::size_t truncatedBytes = 0;
    // A header that no writer produces (unknown tag, odd, zero or absurd length).
    bool malformed = false;
};

ParsedStream parseStream(std::span<const std::uint8_t> bytes);

// The samples of all whole chunks with the given tag, in stream order.
std::vector<std::int16_t> samplesOf(const ParsedStream& stream, std::uint8_t tag);

} // namespace dualcap::test
