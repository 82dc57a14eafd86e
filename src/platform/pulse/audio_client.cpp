#include "platform/pulse/audio_client.h"

#include "platform/pulse/capture_client.h"
#include "platform/pulse/render_client.h"
#include "platform/wave_format.h"

namespace dualcap::pulse {
namespace {

// The server mixes in float, as Windows does; the layer reports and accepts that alone.
constexpr WORD kMixBits = static_cast<WORD>(8 * sizeof(float));

// The usual speaker layouts, as Windows reports them in a mix format.
DWORD channelMask(UINT32 channels) {
    switch (channels) {
    case 1:
        return 0x4; // front centre
    case 2:
        return 0x3; // front left, front right
    case 4:
        return 0x33; // quad
    case 6:
        return 0x3F; // 5.1
    case 8:
        return 0x63F; // 7.1
    default:
        return 0;
    }
}

} // namespace

AudioClient::AudioClient(std::shared_ptr<Connection> connection, SourceDescription source,
                         bool render)
    : connection_(std::move(connection)), source_(std::move(source)), render_(render) {}

HRESULT AudioClient::GetMixFormat(WAVEFORMATEX** format) {
    if (format == nullptr) {
        return E_POINTER;
    }
    auto* mix = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (mix == nullptr) {
        return E_OUTOFMEMORY;
    }
    const WORD channels = source_.spec.channels;
    *mix = {};
    mix->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    mix->Format.nChannels = channels;
    mix->Format.nSamplesPerSec = source_.spec.rate;
    mix->Format.wBitsPerSample = kMixBits;
    mix->Format.nBlockAlign = static_cast<WORD>(channels * sizeof(float));
    mix->Format.nAvgBytesPerSec = source_.spec.rate * mix->Format.nBlockAlign;
    mix->Format.cbSize = kExtensibleExtraBytes;
    mix->Samples.wValidBitsPerSample = kMixBits;
    mix->dwChannelMask = channelMask(channels);
    mix->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    *format = &mix->Format;
    return S_OK;
}

bool AudioClient::isMixFormat(const WAVEFORMATEX& format) const {
    return isFloatFormat(format) && format.wBitsPerSample == kMixBits &&
           format.nChannels == source_.spec.channels && format.nSamplesPerSec == source_.spec.rate;
}

HRESULT AudioClient::Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                REFERENCE_TIME bufferDuration, REFERENCE_TIME,
                                const WAVEFORMATEX* format, LPCGUID) {
    std::lock_guard guard(lock_);
    if (initialized_) {
        return AUDCLNT_E_ALREADY_INITIALIZED;
    }
    if (format == nullptr) {
        return E_POINTER;
    }
    if (shareMode != AUDCLNT_SHAREMODE_SHARED) {
        return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    }
    const bool loopback = (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
    if (loopback && !render_) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    if (!isMixFormat(*format)) {
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    if (!render_ || loopback) {
        auto stream = std::make_shared<RecordStream>(connection_, format->nBlockAlign);
        const HRESULT hr = stream->open(source_, bufferDuration);
        if (FAILED(hr)) {
            return hr;
        }
        stream_ = std::move(stream);
    } else {
        auto playback = std::make_shared<PlaybackStream>(connection_, format->nBlockAlign);
        const HRESULT hr = playback->open(source_, bufferDuration);
        if (FAILED(hr)) {
            return hr;
        }
        playback_ = std::move(playback);
    }
    initialized_ = true;
    streamFlags_ = streamFlags;
    return S_OK;
}

HRESULT AudioClient::Start() {
    std::lock_guard guard(lock_);
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if ((streamFlags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 && !eventSet_) {
        return AUDCLNT_E_EVENTHANDLE_NOT_SET;
    }
    if (started_) {
        return AUDCLNT_E_NOT_STOPPED;
    }
    const HRESULT hr = stream_ ? stream_->run(true) : playback_->run(true);
    started_ = SUCCEEDED(hr);
    return hr;
}

HRESULT AudioClient::Stop() {
    std::lock_guard guard(lock_);
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (!started_) {
        return S_FALSE;
    }
    started_ = false;
    return stream_ ? stream_->run(false) : playback_->run(false);
}

HRESULT AudioClient::SetEventHandle(HANDLE event) {
    std::lock_guard guard(lock_);
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if ((streamFlags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) == 0) {
        return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
    }
    if (event == nullptr) {
        return E_INVALIDARG;
    }
    if (stream_) {
        stream_->setEvent(event);
    }
    eventSet_ = true;
    return S_OK;
}

HRESULT AudioClient::GetService(REFIID iid, void** service) {
    if (service == nullptr) {
        return E_POINTER;
    }
    *service = nullptr;
    std::lock_guard guard(lock_);
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (IsEqualGUID(iid, IID_IAudioCaptureClient)) {
        if (!stream_) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        *service = static_cast<IAudioCaptureClient*>(new CaptureClient(stream_));
        return S_OK;
    }
    if (IsEqualGUID(iid, IID_IAudioRenderClient)) {
        if (!playback_) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        *service = static_cast<IAudioRenderClient*>(new RenderClient(playback_));
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT AudioClient::GetBufferSize(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    std::lock_guard guard(lock_);
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (!playback_) {
        return E_NOTIMPL;
    }
    *frames = playback_->bufferFrames();
    return S_OK;
}

HRESULT AudioClient::GetCurrentPadding(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    std::shared_ptr<PlaybackStream> playback;
    {
        std::lock_guard guard(lock_);
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        playback = playback_;
    }
    return playback ? playback->padding(frames) : E_NOTIMPL;
}

} // namespace dualcap::pulse
