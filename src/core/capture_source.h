#pragma once

#include "core/output_sink.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdint>
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
    OutputSink* sink = nullptr;
    std::thread worker;
    std::atomic<bool> running{false};
    HANDLE stopEvent = nullptr;
    // Resampler state carried from one packet to the next. Starting at position 1.0 with
    // a last sample of 0.0 makes the first output sample the first captured sample.
    double resamplePos = 1.0;
    float lastSample = 0.0f;
};

} // namespace dualcap
