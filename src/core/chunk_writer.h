#pragma once

#include "core/capture_source.h"
#include "core/output_sink.h"

#include <cstdint>
#include <span>

namespace dualcap {

// Tag byte, then the payload length in bytes as unsigned 32-bit little-endian.
inline constexpr UINT32 kChunkHeaderSize = 5;

// Writes all `size` bytes, taking partial writes in further calls and retrying a failure
// that may pass. Stops when the output is gone for good (the reader closed it, the disk is
// full) or keeps failing; returns how many bytes went out. A reader that has closed its end
// is also told through the sink's `readerGone` event. The caller holds the sink's lock.
UINT32 writeAll(OutputSink& sink, const void* bytes, UINT32 size);

// Writes one chunk: header and samples (16-bit little-endian), under the sink's lock.
// The caller passes at least one sample. Write failures are not reported: a chunk that
// could not be written at all is lost, and after one that went out in part the sink
// writes nothing more.
void writeChunk(OutputSink& sink, SourceTag tag, std::span<const std::int16_t> samples);

} // namespace dualcap
