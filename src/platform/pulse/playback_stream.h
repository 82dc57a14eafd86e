#pragma once

#include "platform/posix/audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/server_stream.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace dualcap::pulse {

// One playback stream to a sink, in 32-bit float at the endpoint's rate and channels,
// shared by the audio client that opens and starts it and the render client that fills
// it. Its buffer is the server's: the padding is what the server holds unplayed, and a
// released buffer goes to the server at once.
//
// How much the server asks for is noted whenever it asks, as the connection's loop turns,
// and after each write. The padding turns the loop first, to hear what was played since;
// getBuffer reads what the padding heard.
class PlaybackStream : public ServerStream {
public:
    PlaybackStream(std::shared_ptr<Connection> connection, UINT32 frameBytes);
    ~PlaybackStream();

    // Connects the stream to the endpoint's sink, not yet running, with a buffer of
    // `bufferDuration`.
    HRESULT open(const SourceDescription& endpoint, REFERENCE_TIME bufferDuration);

    UINT32 bufferFrames() const { return bufferFrames_; }
    HRESULT padding(UINT32* frames);
    HRESULT getBuffer(UINT32 frames, BYTE** data);
    HRESULT releaseBuffer(UINT32 frames, DWORD flags);

private:
    static void onWritable(pa_stream* stream, std::size_t bytes, void* self);
    // With the connection's lock held: takes in what the server asks for now.
    void noteWritable();
    UINT32 writableFrames() const;

    const UINT32 frameBytes_;
    UINT32 bufferFrames_ = 0;
    // What the server asks for, in bytes; changed only with the connection's lock held.
    std::atomic<std::size_t> writableBytes_{0};
    // The buffer handed out by getBuffer; only the render client's thread touches it.
    std::vector<BYTE> buffer_;
    bool holding_ = false;
};

} // namespace dualcap::pulse
