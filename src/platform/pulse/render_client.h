#pragma once

#include "platform/pulse/com_object.h"
#include "platform/pulse/playback_stream.h"

#include <memory>

namespace dualcap::pulse {

class RenderClient : public ComObject<IAudioRenderClient, IID_IAudioRenderClient> {
public:
    explicit RenderClient(std::shared_ptr<PlaybackStream> stream) : stream_(std::move(stream)) {}

    HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
        return stream_->getBuffer(frames, data);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
        return stream_->releaseBuffer(frames, flags);
    }

private:
    std::shared_ptr<PlaybackStream> stream_;
};

} // namespace dualcap::pulse
