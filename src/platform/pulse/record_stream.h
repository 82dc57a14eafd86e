#pragma once

#include "platform/lag_tracker.h"
#include "platform/posix/audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/server_stream.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace dualcap::pulse {

// One record stream from a source, in 32-bit float at the source's rate and channels,
// shared by the audio client that opens and starts it and the capture client that reads
// it. A packet is one fragment of the stream as the server delivered it; a hole in the
// stream is a packet flagged silent. As on Windows, each packet carries its device position
// (frames since the stream started, lost ones included) and the monotonic clock at its
// first frame, and the first packet after a loss is flagged discontinuous. Losses are the
// reader falling a whole backlog behind, and audio that the server dropped while this
// process was not running, which it does not report and the arrival times show.
//
// Each fragment is copied into a queue of packets as it arrives, and handed back at once;
// the reader takes packets from the queue. It arrives as the reader's thread turns the
// connection's loop: in its wait on the data event, or, for a stream with no event (polled),
// when it asks for the next packet's size and none is queued.
class RecordStream : public ServerStream {
public:
    RecordStream(std::shared_ptr<Connection> connection, UINT32 frameBytes);
    ~RecordStream();

    // Connects the stream, not yet running, with a buffer of `bufferDuration`.
    HRESULT open(const SourceDescription& source, REFERENCE_TIME bufferDuration);
    // Signalled whenever data becomes readable.
    void setEvent(HANDLE event);

    HRESULT nextPacketSize(UINT32* frames);
    HRESULT getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                      UINT64* qpcPosition);
    HRESULT releaseBuffer(UINT32 frames);

private:
    struct Packet {
        std::vector<BYTE> bytes;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 counter = 0; // 100 ns units
    };

    static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
    // On the loop's thread: one fragment (data null for a hole) into the queue, which by its
    // arrival began at `arrived` (100 ns units of the monotonic clock).
    void enqueue(const void* data, std::size_t bytes, UINT64 arrived);

    const UINT32 frameBytes_;
    UINT32 rate_ = 1; // the source's, once open
    std::size_t capacityBytes_ = 0;
    std::atomic<HANDLE> event_{nullptr};

    std::mutex packetsLock_;
    // The fields below are guarded by packetsLock_.
    std::deque<Packet> packets_;
    // Buffers of packets already read, kept for the next ones.
    std::vector<std::vector<BYTE>> spare_;
    std::size_t queuedBytes_ = 0;
    // Frames were lost (by our queue or by the server) since the last packet queued.
    bool discontinuous_ = false;
    bool holding_ = false;
    // Frames the server has delivered, kept or lost: the next packet's device position.
    UINT64 delivered_ = 0;
    // The clock at the first frame.
    UINT64 anchor_ = 0;
    bool anchored_ = false;
    // When the previous fragment arrived and its frames, and how far arrivals lag behind
    // the frames: the measure of what the server dropped.
    UINT64 lastArrived_ = 0;
    UINT64 lastFrames_ = 0;
    LagTracker lag_;
};

} // namespace dualcap::pulse
