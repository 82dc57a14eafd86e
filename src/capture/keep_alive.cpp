#include "capture/keep_alive.h"

#include "platform/audio_ids.h"

namespace dualcap {

HRESULT startKeepAlive(KeepAlive& keepAlive, IMMDevice* device, const WAVEFORMATEX& format,
                       REFERENCE_TIME bufferDuration) {
    void* client = nullptr;
    HRESULT hr = device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, &client);
    if (FAILED(hr)) {
        return hr;
    }
    keepAlive.client = static_cast<IAudioClient*>(client);
    void* render = nullptr;
    if (FAILED(hr = keepAlive.client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, bufferDuration, 0,
                                                 &format, nullptr)) ||
        FAILED(hr = keepAlive.client->GetBufferSize(&keepAlive.bufferFrames)) ||
        FAILED(hr = keepAlive.client->GetService(IID_IAudioRenderClient, &render))) {
        stopKeepAlive(keepAlive);
        return hr;
    }
    keepAlive.render = static_cast<IAudioRenderClient*>(render);
    topUpKeepAlive(keepAlive);
    if (FAILED(hr = keepAlive.client->Start())) {
        stopKeepAlive(keepAlive);
    }
    return hr;
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
