#pragma once

#include "platform/win32.h"

#include <cstdint>

namespace dualcap {

// Where a source's previous packet ended, by the device position and by the performance
// counter, so that the next packet's positions tell how much time was lost between them.
struct PacketClock {
    bool started = false;
    // Where the next packet starts if no frame is lost, in device frames.
    UINT64 nextDevicePosition = 0;
    // The previous packet's counter position in 100 ns units; 0 when it had none.
    UINT64 lastCounter = 0;
    UINT32 lastFrames = 0;
};

// What GetBuffer says of one packet.
struct PacketPosition {
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    UINT64 counter = 0;
};

// Counter time between two packets beyond what the first one's frames cover that is still
// taken as jitter, not loss, unless the platform flags the packet as discontinuous. Above
// the tens of milliseconds by which a packet's time stamp may come late, below any stall
// that a reader can cause. Drift between the counter and the device clock never adds up
// to it: it is measured afresh between each two packets.
inline constexpr UINT64 kCounterJitter = 1'000'000; // 100 ms
// The most silence one gap may add: enough for any stall that the capture buffers and a
// blocked reader can cause, but a machine back from sleep does not flood its reader with
// hours of silence (10 s is 320 KB of a source's stream).
inline constexpr UINT32 kMaxFillSeconds = 10;

// The frames lost before `packet`, at most kMaxFillSeconds of them (none before the first
// packet, whose discontinuity flag means nothing), and moves the clock on past it.
UINT64 framesLostBefore(PacketClock& clock, const PacketPosition& packet, UINT32 rate);

} // namespace dualcap
