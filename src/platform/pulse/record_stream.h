#pragma once

#include "platform/posix/audio.h"
#include "platform/pulse/connection.h"

#include <memory>
#include <vector>

namespace dualcap::pulse {

// One record stream from a source, in 32-bit float at the source's rate and channels,
// shared by the audio client that opens and starts it and the capture client that reads
// it. A packet is one fragment of the stream as the server delivered it; a hole in the
// stream is a packet flagged silent.
class RecordStream {
public:
    RecordStream(std::shared_ptr<Connection> connection, UINT32 frameBytes);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Connects the stream, not yet running, with a buffer of `bufferDuration`.
    HRESULT open(const SourceDescription& source, REFERENCE_TIME bufferDuration);
    HRESULT run(bool running);
    // Signalled whenever data becomes readable.
    void setEvent(HANDLE event);

    HRESULT nextPacketSize(UINT32* frames);
    HRESULT getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                      UINT64* qpcPosition);
    HRESULT releaseBuffer(UINT32 frames);

private:
    static void onStateChanged(pa_stream* stream, void* self);
    static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
    static void onOverflow(pa_stream* stream, void* self);
    static void onSuccess(pa_stream* stream, int success, void* self);
    // With the loop locked: the next fragment (data null for a hole, no bytes when empty).
    HRESULT peek(const void** data, std::size_t* bytes);
    // With the loop locked: what a call on a stream that is no longer there returns.
    HRESULT health() const;

    std::shared_ptr<Connection> connection_;
    const UINT32 frameBytes_;
    pa_stream* stream_ = nullptr;
    // The fields below are guarded by the connection's lock.
    HANDLE event_ = nullptr;
    bool overflowed_ = false;
    bool holding_ = false;
    UINT32 heldFrames_ = 0;
    UINT64 position_ = 0;
    std::vector<BYTE> silence_;
};

} // namespace dualcap::pulse
