#pragma once

#include "platform/pulse/com_object.h"
#include "platform/pulse/record_stream.h"

#include <memory>

namespace dualcap::pulse {

class CaptureClient : public ComObject<IAudioCaptureClient, IID_IAudioCaptureClient> {
public:
    explicit CaptureClient(std::shared_ptr<RecordStream> stream) : stream_(std::move(stream)) {}

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* qpcPosition) override {
        return stream_->getBuffer(data, frames, flags, devicePosition, qpcPosition);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return stream_->releaseBuffer(frames);
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return stream_->nextPacketSize(frames);
    }

private:
    std::shared_ptr<RecordStream> stream_;
};

} // namespace dualcap::pulse
