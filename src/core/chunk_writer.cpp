#include "core/chunk_writer.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace dualcap {

static_assert(std::endian::native == std::endian::little,
              "samples go out as they lie in memory, which must be little-endian");

namespace {

// The reader has closed its end of the pipe: it will not open it again. Wine says so of a
// host pipe whose reader has closed it with ERROR_PIPE_NOT_CONNECTED.
bool readerGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// The reader has gone, the handle has, or the disk is full: nothing written from now on
// would arrive.
bool goneForGood(DWORD error) {
    if (readerGone(error)) {
        return true;
    }
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return true;
    default:
        return false;
    }
}

// How many failing calls in a row, about a millisecond apart, a failure that is not a reader
// gone is given to pass before the write is given up.
constexpr int kRetries = 100;

} // namespace

UINT32 writeAll(OutputSink& sink, const void* bytes, UINT32 size) {
    const auto* data = static_cast<const BYTE*>(bytes);
    UINT32 written = 0;
    for (int failures = 0; written < size;) {
        DWORD done = 0;
        const BOOL ok = sink.writeFile(sink.handle, data + written, size - written, &done, nullptr);
        // What a call says it wrote went out, even from a call that says it failed: Wine,
        // under load, fails pipe writes that it has carried out (ERROR_INVALID_HANDLE).
        done = std::min<DWORD>(done, size - written);
        written += done;
        if (done != 0) {
            failures = 0;
            continue;
        }
        if (!ok) {
            const DWORD error = GetLastError();
            if (readerGone(error) && sink.readerGone != nullptr) {
                SetEvent(sink.readerGone);
            }
            if (goneForGood(error) || ++failures > kRetries) {
                break;
            }
        }
        // Taken nothing: the reader is not keeping up, or a failure may pass. Retrying at once
        // would spin a core while this source holds the sink's lock.
        Sleep(1);
    }
    return written;
}

void writeChunk(OutputSink& sink, SourceTag tag, std::span<const std::int16_t> samples) {
    std::lock_guard guard(sink.lock);
    if (sink.torn) {
        return;
    }
    const auto payloadBytes = static_cast<UINT32>(samples.size() * sizeof(std::int16_t));
    // Header and payload go out in one call: a reader on a pipe is woken once for a chunk,
    // not twice. Kept from chunk to chunk, so that writing allocates nothing.
    thread_local std::vector<BYTE> chunk;
    chunk.assign({
        tag,
        static_cast<BYTE>(payloadBytes & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 8) & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 16) & 0xFFu),
        static_cast<BYTE>((payloadBytes >> 24) & 0xFFu),
    });
    const auto* payload = reinterpret_cast<const BYTE*>(samples.data());
    chunk.insert(chunk.end(), payload, payload + payloadBytes);
    const auto size = static_cast<UINT32>(chunk.size());
    // A chunk that did not begin is lost, but the stream is still in step. One cut short
    // would leave its rest where readers expect the next header and throw every later
    // chunk out of step, so nothing more goes out after it.
    const UINT32 written = writeAll(sink, chunk.data(), size);
    if (written != 0 && written < size) {
        sink.torn = true;
    }
}

} // namespace dualcap
