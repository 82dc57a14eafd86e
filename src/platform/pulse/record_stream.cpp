#include "platform/pulse/record_stream.h"

#include "platform/posix/events.h"

#include <algorithm>
#include <chrono>

namespace dualcap::pulse {
namespace {

constexpr pa_usec_t kFragment = 10'000; // 10 ms, the period Windows uses in shared mode

// REFERENCE_TIME is in 100-nanosecond units.
constexpr pa_usec_t toMicroseconds(REFERENCE_TIME duration) {
    return duration > 0 ? static_cast<pa_usec_t>(duration) / 10 : 0;
}

} // namespace

RecordStream::RecordStream(std::shared_ptr<Connection> connection, UINT32 frameBytes)
    : connection_(std::move(connection)), frameBytes_(frameBytes) {}

RecordStream::~RecordStream() {
    if (stream_ == nullptr) {
        return;
    }
    Connection::Lock lock(*connection_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

HRESULT RecordStream::open(const SourceDescription& source, REFERENCE_TIME bufferDuration) {
    Connection::Lock lock(*connection_);
    if (!connection_->connected()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, source.spec.rate, source.spec.channels};
    stream_ = pa_stream_new(connection_->context(), "dualcap", &spec, &source.channels);
    if (stream_ == nullptr) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    pa_stream_set_state_callback(stream_, onStateChanged, this);
    pa_stream_set_read_callback(stream_, onReadable, this);
    pa_stream_set_overflow_callback(stream_, onOverflow, this);

    pa_buffer_attr buffer;
    buffer.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragment, &spec));
    buffer.maxlength =
        std::max(static_cast<uint32_t>(pa_usec_to_bytes(toMicroseconds(bufferDuration), &spec)),
                 2 * buffer.fragsize);
    buffer.tlength = buffer.prebuf = buffer.minreq = static_cast<uint32_t>(-1);
    // Kept on its device, as on Windows: if the device goes, the stream goes with it.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, source.name.c_str(), &buffer, flags) < 0) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    while (pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        connection_->wait();
    }
    return health();
}

HRESULT RecordStream::run(bool running) {
    Connection::Lock lock(*connection_);
    const HRESULT hr = health();
    if (FAILED(hr)) {
        return hr;
    }
    connection_->complete(pa_stream_cork(stream_, running ? 0 : 1, onSuccess, this));
    return health();
}

void RecordStream::setEvent(HANDLE event) {
    Connection::Lock lock(*connection_);
    event_ = event;
}

HRESULT RecordStream::nextPacketSize(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    *frames = 0;
    Connection::Lock lock(*connection_);
    const void* data = nullptr;
    std::size_t bytes = 0;
    const HRESULT hr = peek(&data, &bytes);
    *frames = static_cast<UINT32>(bytes / frameBytes_);
    return hr;
}

HRESULT RecordStream::getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                UINT64* qpcPosition) {
    if (data == nullptr || frames == nullptr || flags == nullptr) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    Connection::Lock lock(*connection_);
    if (holding_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    const void* peeked = nullptr;
    std::size_t bytes = 0;
    const HRESULT hr = peek(&peeked, &bytes);
    if (FAILED(hr)) {
        return hr;
    }
    if (bytes == 0) {
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    if (peeked == nullptr) {
        // A hole: the server has no data for this stretch. It still takes its time.
        silence_.assign(bytes, 0);
        peeked = silence_.data();
        *flags |= AUDCLNT_BUFFERFLAGS_SILENT;
    }
    if (overflowed_) {
        *flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        overflowed_ = false;
    }
    // The peeked fragment stays where it is until it is dropped, lock or no lock.
    *data = static_cast<BYTE*>(const_cast<void*>(peeked));
    *frames = static_cast<UINT32>(bytes / frameBytes_);
    if (devicePosition != nullptr) {
        *devicePosition = position_;
    }
    if (qpcPosition != nullptr) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        *qpcPosition = static_cast<UINT64>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100);
    }
    holding_ = true;
    heldFrames_ = *frames;
    return S_OK;
}

HRESULT RecordStream::releaseBuffer(UINT32 frames) {
    Connection::Lock lock(*connection_);
    if (!holding_) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    if (frames != 0 && frames != heldFrames_) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    holding_ = false;
    // Releasing no frames leaves the packet to be read again, as on Windows.
    if (frames != 0 || heldFrames_ == 0) {
        pa_stream_drop(stream_);
        position_ += frames;
    }
    return S_OK;
}

HRESULT RecordStream::peek(const void** data, std::size_t* bytes) {
    const HRESULT hr = health();
    if (FAILED(hr)) {
        return hr;
    }
    // Peeking again before a drop gives the same fragment, so asking for the size and then
    // for the buffer sees one packet.
    return pa_stream_peek(stream_, data, bytes) < 0 ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
}

HRESULT RecordStream::health() const {
    if (!connection_->connected()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    return pa_stream_get_state(stream_) == PA_STREAM_READY ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
}

void RecordStream::onStateChanged(pa_stream*, void* self) {
    static_cast<RecordStream*>(self)->connection_->wake();
}

void RecordStream::onReadable(pa_stream*, std::size_t, void* self) {
    auto* stream = static_cast<RecordStream*>(self);
    if (stream->event_ != nullptr) {
        SetEvent(stream->event_);
    }
}

void RecordStream::onOverflow(pa_stream*, void* self) {
    static_cast<RecordStream*>(self)->overflowed_ = true;
}

void RecordStream::onSuccess(pa_stream*, int, void* self) {
    static_cast<RecordStream*>(self)->connection_->wake();
}

} // namespace dualcap::pulse
