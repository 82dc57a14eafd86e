#include "platform/pulse/playback_stream.h"

#include <algorithm>
#include <cstring>

namespace dualcap::pulse {

PlaybackStream::PlaybackStream(std::shared_ptr<Connection> connection, UINT32 frameBytes)
    : ServerStream(std::move(connection)), frameBytes_(frameBytes) {}

PlaybackStream::~PlaybackStream() {
    if (stream_ == nullptr) {
        return;
    }
    Connection::Lock lock(*connection_);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
}

HRESULT PlaybackStream::open(const SourceDescription& endpoint, REFERENCE_TIME bufferDuration) {
    Connection::Lock lock(*connection_);
    pa_sample_spec spec;
    if (const HRESULT hr = create(endpoint, spec); FAILED(hr)) {
        return hr;
    }
    pa_stream_set_write_callback(stream_, onWritable, this);

    pa_buffer_attr buffer;
    buffer.tlength = static_cast<uint32_t>(std::max(
        pa_usec_to_bytes(toMicroseconds(bufferDuration), &spec), std::size_t{frameBytes_}));
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
    if (const HRESULT hr = connected(); FAILED(hr)) {
        return hr;
    }
    bufferFrames_ = pa_stream_get_buffer_attr(stream_)->tlength / frameBytes_;
    noteWritable();
    return S_OK;
}

void PlaybackStream::onWritable(pa_stream*, std::size_t, void* self) {
    static_cast<PlaybackStream*>(self)->noteWritable();
}

void PlaybackStream::noteWritable() {
    const std::size_t writable = pa_stream_writable_size(stream_);
    writableBytes_ = writable == static_cast<std::size_t>(-1) ? 0 : writable;
}

UINT32 PlaybackStream::writableFrames() const {
    return std::min(static_cast<UINT32>(writableBytes_.load() / frameBytes_), bufferFrames_);
}

HRESULT PlaybackStream::padding(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    connection_->pump(); // what the server has played since
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
    if (frames > writableFrames()) {
        return AUDCLNT_E_BUFFER_TOO_LARGE;
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
    const int written =
        pa_stream_write(stream_, buffer_.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE);
    noteWritable();
    connection_->pump(); // sends it
    return written == 0 ? S_OK : AUDCLNT_E_BUFFER_ERROR;
}

} // namespace dualcap::pulse
