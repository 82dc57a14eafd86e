#include "support/chunk_parser.h"

namespace dualcap::test {
namespace {

std::uint32_t littleEndian32(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

ParsedStream parseStream(std::span<const std::uint8_t> bytes) {
    ParsedStream stream;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5) {
            stream.truncatedBytes = bytes.size() - at;
            break;
        }
        const std::uint32_t length = littleEndian32(bytes.subspan(at + 1, 4));
        if (length == 0 || length % 2 != 0) {
            stream.malformed = true;
            break;
        }
        if (bytes.size() - at - 5 < length) {
            stream.truncatedBytes = bytes.size() - at;
            break;
        }
        ParsedChunk chunk{bytes[at], std::vector<std::int16_t>(length / 2)};
        for (std::size_t i = 0; i < chunk.samples.size(); ++i) {
            const std::size_t lo = at + 5 + 2 * i;
            chunk.samples[i] = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(bytes[lo] | static_cast<unsigned>(bytes[lo + 1]) << 8));
        }
        stream.chunks.push_back(std::move(chunk));
        at += 5 + length;
    }
    return stream;
}

std::vector<std::int16_t> samplesOf(const ParsedStream& stream, std::uint8_t tag) {
    std::vector<std::int16_t> samples;
    for (const ParsedChunk& chunk : stream.chunks) {
        if (chunk.tag == tag) {
            samples.insert(samples.end(), chunk.samples.begin(), chunk.samples.end());
        }
    }
    return samples;
}

} // namespace dualcap::test
