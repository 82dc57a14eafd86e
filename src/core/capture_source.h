#pragma once

#include "core/output_sink.h"
#include "core/packet_clock.h"
#include "platform/loopback.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace dualcap {

// The first byte of every chunk: which source it came from.
using SourceTag = std::uint8_t;
inline constexpr SourceTag kMicTag = 0;
inline constexpr SourceTag kSystemTag = 1;

// Everything about one captured endpoint. There are two for the life of the process:
// the microphone and the system playback (loopback).
struct CaptureSource {
    SourceTag tag = kMicTag;
    // false: the default capture endpoint; true: the default render endpoint in loopback.
    bool loopback = false;
    // Loopback only: keeps a silent stream playing on the endpoint while capturing.
    bool keepAlive = kLoopbackNeedsKeepAlive;
    OutputSink* sink = nullptr;
    std::thread worker;
    std::atomic<bool> running{false};
    // Created and closed by the worker's session, signalled by `stop` from other threads;
    // both hold `stopEventLock`, so a stop never signals an event that has been closed.
    HANDLE stopEvent = nullptr;
    // Resampler state carried from one packet to the next. Starting at position 1.0 with
    // a last sample of 0.0 makes the first output sample the first captured sample.
    double resamplePos = 1.0;
    float lastSample = 0.0f;
    // Where the previous packet ended, to tell time lost before the next one.
    PacketClock clock;

    std::mutex stopEventLock;
    // Held for the whole of a `stop`, so that of stops that come together one joins the
    // worker and the others find it already joined.
    std::mutex stopLock;
};

// The source's name in messages.
inline const char* sourceLabel(const CaptureSource& source) {
    return source.loopback ? "system" : "mic";
}

} // namespace dualcap
