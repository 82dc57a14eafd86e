#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <span>
#include <string>

namespace dualcap::tools {

// Samples per second of every chunk, as the stream's format promises it. The tool knows the
// format as any reader does, not from the program's headers.
inline constexpr std::uint32_t kSampleRate = 16000;

// Longer than any capture packet ever makes (about 8 minutes of samples): a header that
// claims more is taken as corrupt rather than believed.
inline constexpr std::uint32_t kMaxPayloadBytes = 16u << 20;

struct StreamEnd {
    bool clean = true;
    bool truncated = false;   // the input ended inside a chunk (else: a corrupt header)
    std::uint64_t offset = 0; // of the chunk at which reading stopped
    std::string problem;      // why it was not clean
};

using ChunkHandler = std::function<void(std::uint8_t tag, std::span<const std::int16_t> samples)>;

// Reads a dualcap stream, handing every whole chunk to `onChunk`, until the input ends.
// An input that ends inside a chunk, or a header that no writer makes (unknown tag, odd,
// zero or absurd length), ends the reading with the reason.
StreamEnd readStream(std::istream& in, const ChunkHandler& onChunk);

} // namespace dualcap::tools
