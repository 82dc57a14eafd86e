#pragma once

#include "platform/posix/audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/server_stream.h"

#include <memory>
#include <vector>

namespace dualcap::pulse {

// One playback stream to a sink, in 32-bit float at the endpoint's rate and channels,
// shared by the audio client that opens and starts it and the render client that fills
// it. Its buffer is the server's: the padding is what the server holds unplayed, and a
// released buffer goes to the server at once.
class PlaybackStream : public ServerStream {
public:
    PlaybackStream(std::shared_ptr<Connection> connection, UINT32 frameBytes);

    // Connects the stream to the endpoint's sink, not yet running, with a buffer of
    // `bufferDuration`.
    HRESULT open(const SourceDescription& endpoint, REFERENCE_TIME bufferDuration);

    UINT32 bufferFrames() const { return bufferFrames_; }
    HRESULT padding(UINT32* frames);
    HRESULT getBuffer(UINT32 frames, BYTE** data);
    HRESULT releaseBuffer(UINT32 frames, DWORD flags);

private:
    // With the connection's lock held.
    UINT32 writableFrames() const;

    const UINT32 frameBytes_;
    UINT32 bufferFrames_ = 0;
    // The buffer handed out by getBuffer; only the render client's thread touches it.
    std::vector<BYTE> buffer_;
    bool holding_ = false;
};

} // namespace dualcap::pulse
