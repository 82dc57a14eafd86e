#include "support/chunk_parser.h"

#include "split/stream_reader.h"

#include <sstream>
#include <string>

namespace dualcap::test {

// Read as dualcap-split reads it, so the tests and the tool agree on what a stream is.
ParsedStream parseStream(std::span<const std::uint8_t> bytes) {
    ParsedStream stream;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    const auto end = tools::readStream(in, [&](std::uint8_t tag,
                                               std::span<const std::int16_t> samples) {
        stream.chunks.push_back({tag, std::vector<std::int16_t>(samples.begin(), samples.end())});
    });
    if (end.truncated) {
        stream.truncatedBytes = bytes.size() - static_cast<std::size_t>(end.offset);
    } else if (!end.clean) {
        stream.malformed = true;
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
