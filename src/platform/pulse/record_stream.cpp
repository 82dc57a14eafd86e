#include "platform/pulse/record_stream.h"

#include "platform/lag_tracker.h"
#include "platform/posix/events.h"

#include <algorithm>
#include <chrono>

namespace dualcap::pulse {
namespace {

// About the 10 ms period Windows uses in shared mode, but a hair over: 512 frames at 48 kHz.
// PipeWire runs its graph in power-of-two cycles no longer than the shortest latency a client
// asks for, so a fragment of 10 ms (480 frames) would halve its cycles to 256 frames and wake
// the server, and every client of it, twice as often. This one leaves them at 512; at 44.1 kHz
// it is 471 frames, still more than 512 of the graph's 48 kHz.
constexpr pa_usec_t kFragment = 10'700;
// How far the reader may fall behind before audio is lost. More than the stream's own
// buffer: the reader is blocked whenever the program's output is, and a consumer that
// pauses for a second or two should not cost audio. Memory is taken only as it is used.
constexpr pa_usec_t kBacklog = 4'000'000;

} // namespace

RecordStream::RecordStream(std::shared_ptr<Connection> connection, UINT32 frameBytes)
    : ServerStream(std::move(connection)), frameBytes_(frameBytes) {}

RecordStream::~RecordStream() {
    if (stream_ == nullptr) {
        return;
    }
    Connection::Lock lock(*connection_);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
}

HRESULT RecordStream::open(const SourceDescription& source, REFERENCE_TIME bufferDuration) {
    Connection::Lock lock(*connection_);
    pa_sample_spec spec;
    if (const HRESULT hr = create(source, spec); FAILED(hr)) {
        return hr;
    }
    rate_ = std::max<UINT32>(source.spec.rate, 1);
    pa_stream_set_read_callback(stream_, onReadable, this);

    pa_buffer_attr buffer;
    buffer.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragment, &spec));
    buffer.maxlength =
        std::max(static_cast<uint32_t>(pa_usec_to_bytes(toMicroseconds(bufferDuration), &spec)),
                 2 * buffer.fragsize);
    capacityBytes_ = std::max<std::size_t>(buffer.maxlength, pa_usec_to_bytes(kBacklog, &spec));
    buffer.tlength = buffer.prebuf = buffer.minreq = static_cast<uint32_t>(-1);
    // Kept on its device, as on Windows: if the device goes, the stream goes with it.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, source.name.c_str(), &buffer, flags) < 0) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    return connected();
}

void RecordStream::setEvent(HANDLE event) {
    // Its waiters turn the loop, whose callbacks set it.
    posix::setEventSource(event, connection_);
    event_ = event;
}

HRESULT RecordStream::nextPacketSize(UINT32* frames) {
    if (frames == nullptr) {
        return E_POINTER;
    }
    *frames = 0;
    std::unique_lock guard(packetsLock_);
    if (packets_.empty() && event_.load() == nullptr) {
        // Polled: what has come since the last poll waits in the connection. The thread's
        // waits between polls turn it, so that the poll after one ends as the next packet
        // comes in, not on a timer of its own.
        posix::setPolledSource(connection_);
        guard.unlock();
        connection_->pump();
        guard.lock();
    }
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    // While a packet is held, it is still the next one: asking for the size and then for
    // the buffer sees one packet.
    if (!packets_.empty()) {
        *frames = static_cast<UINT32>(packets_.front().bytes.size() / frameBytes_);
    }
    return S_OK;
}

HRESULT RecordStream::getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                UINT64* qpcPosition) {
    if (data == nullptr || frames == nullptr || flags == nullptr) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    std::lock_guard guard(packetsLock_);
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    if (holding_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (packets_.empty()) {
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    // The queue only grows at its back, so the front packet stays where it is until it
    // is released, lock or no lock.
    Packet& packet = packets_.front();
    *data = packet.bytes.data();
    *frames = static_cast<UINT32>(packet.bytes.size() / frameBytes_);
    *flags = packet.flags;
    if (devicePosition != nullptr) {
        *devicePosition = packet.devicePosition;
    }
    if (qpcPosition != nullptr) {
        *qpcPosition = packet.counter;
    }
    holding_ = true;
    return S_OK;
}

HRESULT RecordStream::releaseBuffer(UINT32 frames) {
    std::lock_guard guard(packetsLock_);
    if (!holding_) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    Packet& packet = packets_.front();
    const auto held = static_cast<UINT32>(packet.bytes.size() / frameBytes_);
    if (frames != 0 && frames != held) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    holding_ = false;
    // Releasing no frames leaves the packet to be read again, as on Windows.
    if (frames != 0 || held == 0) {
        queuedBytes_ -= packet.bytes.size();
        spare_.push_back(std::move(packet.bytes));
        packets_.pop_front();
    }
    return S_OK;
}

void RecordStream::enqueue(const void* data, std::size_t bytes, UINT64 arrived) {
    const UINT64 frames = bytes / frameBytes_;
    std::lock_guard guard(packetsLock_);
    if (!anchored_) {
        anchor_ = arrived;
        anchored_ = true;
    } else {
        // The server drops what it cannot send while we are not running (a stopped process,
        // a paused machine) and says nothing of it: that time shows only in when the frames
        // after it arrive, against where the frames delivered say the stream should be.
        const std::int64_t covered = framesToCounter(lastFrames_, rate_);
        const std::int64_t gap = LagTracker::difference(arrived, lastArrived_) - covered;
        if (const UINT64 lost = lag_.observe(gap, static_cast<UINT64>(covered)); lost != 0) {
            delivered_ += counterToFrames(lost, rate_);
            discontinuous_ = true;
        }
    }
    lastArrived_ = arrived;
    lastFrames_ = frames;
    // The clock at the stream's first frame, carried on by the frames delivered since, lost
    // ones included: as steady as the device's own clock, which arrival times are not.
    const UINT64 counter = anchor_ + delivered_ * kCounterPerSecond / rate_;
    const UINT64 devicePosition = delivered_;
    delivered_ += frames;
    if (queuedBytes_ + bytes > capacityBytes_) {
        // The reader has fallen a whole buffer behind: this stretch is lost, and the next
        // packet says so, as a Windows capture buffer that overruns does.
        discontinuous_ = true;
        return;
    }
    std::vector<BYTE> storage;
    if (!spare_.empty()) {
        storage = std::move(spare_.back());
        spare_.pop_back();
    }
    DWORD flags = 0;
    if (data == nullptr) {
        // A hole: the server has no data for this stretch. It still takes its time.
        storage.assign(bytes, 0);
        flags |= AUDCLNT_BUFFERFLAGS_SILENT;
    } else {
        const auto* begin = static_cast<const BYTE*>(data);
        storage.assign(begin, begin + bytes);
    }
    if (discontinuous_) {
        flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        discontinuous_ = false;
    }
    packets_.push_back({std::move(storage), flags, devicePosition, counter});
    queuedBytes_ += bytes;
}

void RecordStream::onReadable(pa_stream* stream, std::size_t readable, void* self) {
    auto* recorder = static_cast<RecordStream*>(self);
    // Everything readable has been captured by now: the fragment in hand began as long ago
    // as it and all that follows it last.
    const auto now = static_cast<UINT64>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count() /
                                         100);
    // `readable` is all there is: every call into libpulse costs a system call (it checks
    // for a fork), so the stream is not asked again, nor peeked once more to find it empty.
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (readable != 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes != 0) {
        readable = std::max(readable, bytes);
        const UINT64 ago = readable / recorder->frameBytes_ * kCounterPerSecond / recorder->rate_;
        recorder->enqueue(data, bytes, now - std::min(now, ago));
        pa_stream_drop(stream);
        readable -= bytes;
    }
    if (const HANDLE event = recorder->event_.load(); event != nullptr) {
        SetEvent(event);
    }
}

} // namespace dualcap::pulse
