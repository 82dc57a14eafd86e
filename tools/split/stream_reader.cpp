#include "split/stream_reader.h"

#include <algorithm>
#include <vector>

namespace dualcap::tools {
namespace {

// Reads the payload in steps, so that a corrupt header's length costs memory only as far
// as the stream really goes. False if the stream ends first.
bool readPayload(std::istream& in, std::uint32_t length, std::vector<std::int16_t>& samples) {
    constexpr std::size_t kStepBytes = 64 * 1024;
    samples.clear();
    for (std::size_t have = 0; have < length;) {
        const std::size_t step = std::min<std::size_t>(length - have, kStepBytes);
        samples.resize((have + step) / 2);
        in.read(reinterpret_cast<char*>(samples.data()) + have, static_cast<std::streamsize>(step));
        if (static_cast<std::size_t>(in.gcount()) < step) {
            return false;
        }
        have += step;
    }
    return true;
}

} // namespace

StreamEnd readStream(std::istream& in, const ChunkHandler& onChunk) {
    StreamEnd end;
    std::vector<std::int16_t> samples;
    for (;;) {
        unsigned char header[5];
        in.read(reinterpret_cast<char*>(header), sizeof header);
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) {
            return end;
        }
        end.clean = false;
        if (got < sizeof header) {
            end.truncated = true;
            end.problem = "the stream ends inside a chunk header";
            return end;
        }
        std::uint32_t length = 0;
        for (int i = 4; i >= 1; --i) {
            length = length << 8 | header[i];
        }
        if (header[0] > 1) {
            end.problem = "unknown source tag " + std::to_string(header[0]);
            return end;
        }
        if (length == 0 || length % 2 != 0 || length > kMaxPayloadBytes) {
            end.problem = "impossible payload length " + std::to_string(length);
            return end;
        }
        if (!readPayload(in, length, samples)) {
            end.truncated = true;
            end.problem = "the stream ends inside a chunk's samples";
            return end;
        }
        // Samples are little-endian in the stream, as in memory on every platform we build for.
        onChunk(header[0], samples);
        end.clean = true;
        end.offset += sizeof header + length;
    }
}

} // namespace dualcap::tools
