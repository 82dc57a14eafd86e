#include "capture/keep_alive.h"

#include "capture/audio_ids.h"

namespace dualcap {

void startKeepAlive(KeepAlive& keepAlive, IMMDevice* device, const WAVEFORMATEX& format,
                    REFERENCE_TIME bufferDuration) {
    void* client = nullptr;
    if (FAILED(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, &client))) {
        return;
    }
    keepAlive.client = static_cast<IAudioClient*>(client);
    void* render = nullptr;
    if (FAILED(keepAlive.client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, bufferDuration, 0, &format,
                                            nullptr)) ||
        FAILED(keepAlive.client->GetBufferSize(&keepAlive.bufferFrames)) ||
        FAILED(keepAlive.client->GetService(IID_IAudioRenderClient, &render))) {
        stopKeepAlive(keepAlive);
        return;
    }
    keepAlive.render = static_cast<IAudioRenderClient*>(render);
    topUpKeepAlive(keepAlive);
    if (FAILED(keepAlive.client->Start())) {
        stopKeepAlive(keepAlive);
    }
}

void topUpKeepAlive(KeepAlive& keepAlive) {
    UINT32 padding = 0;
    if (keepAlive.render == nullptr || FAILED(keepAlive.client->GetCurrentPadding(&padding)) ||
        padding >= keepAlive.bufferFrames) {
        return;
    }
    const UINT32 frames = keepAlive.bufferFrames - padding;
    BYTE* data = nullptr;
    if (SUCCEEDED(keepAlive.render->GetBuffer(frames, &data))) {
        keepAlive.render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
    }
}

void stopKeepAlive(KeepAlive& keepAlive) {
    if (keepAlive.client == nullptr) {
        return;
    }
    keepAlive.client->Stop();
    if (keepAlive.render != nullptr) {
        keepAlive.render->Release();
    }
    keepAlive.client->Release();
    keepAlive = {};
}

} // namespace dualcap
