#include "core/chunk_writer.h"

#include <array>
#include <bit>

namespace dualcap {

static_assert(std::endian::native == std::endian::little,
              "samples go out as they lie in memory, which must be little-endian");

UINT32 writeAll(OutputSink& sink, const void* bytes, UINT32 size) {
    const auto* data = static_cast<const BYTE*>(bytes);
    UINT32 written = 0;
    while (written < size) {
        DWORD done = 0;
        if (!sink.writeFile(sink.handle, data + written, size - written, &done, nullptr)) {
            break;
        }
        if (done == 0) {
            // Taken nothing, yet no failure: the reader is not keeping up. Retrying at once
            // would spin a core while this source holds the sink's lock.
            Sleep(1);
        }
        written += done;
    }
    return written;
}

void writeChunk(OutputSink& sink, SourceTag tag, std::span<const std::int16_t> samples) {
    std::lock_guard guard(sink.lock);
    if (sink.torn) {
        return;
    }
    const auto payloadBytes = static_cast<UINT32>(samples.size() * sizeof(std::int16_t));
    const std::array<BYTE, kChunkHeaderSize> header = {
        tag,
        static_cast<BYTE>(payloadBytes & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 8) & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 16) & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 24) & 0xFFu),
    };
    // A payload after a broken header would stand where readers expect the next header
    // and throw every later chunk out of step, so it goes out only behind a whole header.
    const UINT32 headerWritten = writeAll(sink, header.data(), kChunkHeaderSize);
    if (headerWritten == 0) {
        return; // this chunk is lost, but the stream is still in step
    }
    if (headerWritten < kChunkHeaderSize ||
        writeAll(sink, samples.data(), payloadBytes) < payloadBytes) {
        sink.torn = true;
    }
}

} // namespace dualcap
