#pragma once

#include "platform/lag_tracker.h"
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
    // How far the counter positions run behind the frames.
    LagTracker lag;
};

// What GetBuffer says of one packet.
struct PacketPosition {
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    UINT64 counter = 0;
};

// The most silence one gap may add: enough for any stall that the capture buffers and a
// blocked reader can cause, but a machine back from sleep does not flood its reader with
// hours of silence (10 s is 320 KB of a source's stream).
inline constexpr UINT32 kMaxFillSeconds = 10;

// The time lost before a packet, in device frames.
struct Gap {
    UINT64 fill = 0; // to be filled with silence: at most kMaxFillSeconds
    UINT64 cut = 0;  // lost beyond that bound, and not filled
};

// The time lost before `packet`, and moves the clock on past it. Where the device position
// shows a loss, it alone says how much. Where it shows none, the counter positions may: a lag
// of theirs that lasts is filled once it is sure, at the packet where it is (see
// LagTracker). Nothing is lost before the first packet, whose discontinuity flag means
// nothing; a packet of no frames is no packet and leaves the clock as it was.
Gap gapBefore(PacketClock& clock, const PacketPosition& packet, UINT32 rate);

} // namespace dualcap
