#include "platform/pulse/playback_stream.h"

#include <algorithm>
#include <cstring>

namespace dualcap::pulse {

PlaybackStream::PlaybackStream(std::shared_ptr<Connection> connection, UINT32 frameBytes)
    : connection_(std::move(connection)), frameBytes_(frameBytes) {}

PlaybackStream::~PlaybackStream() {
    if (stream_ == nullptr) {
        return;
    }
    Connection::Lock lock(*connection_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

HRESULT PlaybackStream::open(const SourceDescription& endpoint, REFERENCE_TIME bufferDuration) {
    Connection::Lock lock(*connection_);
    if (!connection_->connected()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, endpoint.spec.rate, endpoint.spec.channels};
    stream_ = pa_stream_new(connection_->context(), "dualcap", &spec, &endpoint.channels);
    if (stream_ == nullptr) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    pa_stream_set_state_callback(stream_, onStateChanged, this);
    pa_buffer_attr buffer;
    const auto duration = static_cast<pa_usec_t>(std::max<REFERENCE_TIME>(bufferDuration, 0) / 10);
    buffer.tlength = static_cast<uint32_t>(
        std::max(pa_usec_to_bytes(duration, &spec), std::size_t{frameBytes_}));
    buffer.maxlength = static_cast<uint32_t>(-1);
    // Played as soon as it runs, and on through an underrun, as a Windows stream is.
    buffer.prebuf = 0;
    buffer.minreq = static_cast<uint32_t>(-1);
    buffer.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_playback(stream_, endpoint.sink.c_str(), &buffer, flags, nullptr,
                                   nullptr) < 0) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    while (pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        connection_->wait();
    }
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    bufferFrames_ = pa_stream_get_buffer_attr(stream_)->tlength / frameBytes_;
    return S_OK;
}

HRESULT PlaybackStream::run(bool running) {
    Connection::Lock lock(*connection_);
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    connection_->complete(pa_stream_cork(stream_, running ? 0 : 1, onSuccess, this));
    return failure_.load();
}

UINT32 PlaybackStream::writableFrames() const {
    const std::size_t writable = pa_stream_writable_size(stream_);
    if (writable == static_cast<std::size_t>(-1)) {
        return 0;
    }
    return std::min(static_cast<UINT32>(writable / frameBytes_), bufferFrames_);
}

HRESULT PlaybackStream::padding(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    Connection::Lock lock(*connection_);
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    *frames = bufferFrames_ - writableFrames();
    return S_OK;
}

HRESULT PlaybackStream::getBuffer(UINT32 frames, BYTE** data) {
    if (data == nullptr) {
        return E_POINTER;
    }
    *data = nullptr;
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    if (holding_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    {
        Connection::Lock lock(*connection_);
        if (frames > writableFrames()) {
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        }
    }
    buffer_.resize(std::size_t{frames} * frameBytes_);
    *data = buffer_.data();
    holding_ = true;
    return S_OK;
}

HRESULT PlaybackStream::releaseBuffer(UINT32 frames, DWORD flags) {
    if (!holding_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    const std::size_t bytes = std::size_t{frames} * frameBytes_;
    if (bytes > buffer_.size()) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    holding_ = false;
    if (bytes == 0) {
        return S_OK;
    }
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        std::memset(buffer_.data(), 0, bytes);
    }
    Connection::Lock lock(*connection_);
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    return pa_stream_write(stream_, buffer_.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0
               ? S_OK
               : AUDCLNT_E_BUFFER_ERROR;
}

void PlaybackStream::onStateChanged(pa_stream* stream, void* self) {
    auto* player = static_cast<PlaybackStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        player->failure_ = player->connection_->connected() ? AUDCLNT_E_DEVICE_INVALIDATED
                                                            : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    player->connection_->wake();
}

void PlaybackStream::onSuccess(pa_stream*, int, void* self) {
    static_cast<PlaybackStream*>(self)->connection_->wake();
}

} // namespace dualcap::pulse
