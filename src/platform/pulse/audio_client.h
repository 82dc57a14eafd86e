#pragma once

#include "platform/pulse/com_object.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/playback_stream.h"
#include "platform/pulse/record_stream.h"

#include <memory>
#include <mutex>

namespace dualcap::pulse {

// A shared-mode stream client on one endpoint. Capture endpoints record their source;
// render endpoints play to their sink, or are recorded in loopback, from its monitor.
class AudioClient : public ComObject<IAudioClient, IID_IAudioClient> {
public:
    AudioClient(std::shared_ptr<Connection> connection, SourceDescription source, bool render);

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID sessionGuid) override;
    // Render streams only, which is all the program asks them of.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override;
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override;
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override;

private:
    bool isMixFormat(const WAVEFORMATEX& format) const;

    const std::shared_ptr<Connection> connection_;
    const SourceDescription source_;
    const bool render_;

    std::mutex lock_;
    bool initialized_ = false;
    DWORD streamFlags_ = 0;
    bool eventSet_ = false;
    bool started_ = false;
    // One of the two, once initialised.
    std::shared_ptr<RecordStream> stream_;
    std::shared_ptr<PlaybackStream> playback_;
};

} // namespace dualcap::pulse
