#pragma once

#include "platform/win32.h"

namespace dualcap {

// A silent render stream on the loopback endpoint. Some systems deliver no loopback packets
// at all while nothing plays, which would cut every pause of the playback out of the system
// source; with this stream something always plays. Best effort: a step that fails only
// means there is no keep-alive, and capture goes on as before.
struct KeepAlive {
    IAudioClient* client = nullptr;
    IAudioRenderClient* render = nullptr;
    UINT32 bufferFrames = 0;
};

// Opens a shared-mode render stream on `device` in `format`, fills its buffer with silence
// and starts it; on any failure releases what it got, leaves `keepAlive` empty and returns
// the failure.
HRESULT startKeepAlive(KeepAlive& keepAlive, IMMDevice* device, const WAVEFORMATEX& format,
                       REFERENCE_TIME bufferDuration);
// Fills what has played since with silence again; from the capture's wait loop.
void topUpKeepAlive(KeepAlive& keepAlive);
// Stops and releases it; nothing if there is none.
void stopKeepAlive(KeepAlive& keepAlive);

} // namespace dualcap
