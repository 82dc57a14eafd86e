#include "core/packet_clock.h"

#include <algorithm>

namespace dualcap {
namespace {

constexpr UINT64 kCounterPerSecond = 10'000'000;

UINT64 counterGapFrames(const PacketClock& clock, const PacketPosition& packet, UINT32 rate) {
    if (clock.lastCounter == 0 || packet.counter <= clock.lastCounter ||
        (packet.flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) != 0) {
        return 0;
    }
    const UINT64 elapsed = packet.counter - clock.lastCounter;
    const UINT64 covered = UINT64{clock.lastFrames} * kCounterPerSecond / rate;
    const bool flagged = (packet.flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
    const UINT64 tolerance = flagged ? 0 : kCounterJitter;
    if (elapsed <= covered + tolerance) {
        return 0;
    }
    // Capped before it is scaled, so that no counter reading can overflow the product.
    const UINT64 gap = std::min(elapsed - covered, UINT64{kMaxFillSeconds} * kCounterPerSecond);
    return (gap * rate + kCounterPerSecond / 2) / kCounterPerSecond;
}

} // namespace

UINT64 framesLostBefore(PacketClock& clock, const PacketPosition& packet, UINT32 rate) {
    UINT64 lost = 0;
    if (clock.started && rate > 0) {
        // Where the platform counts lost frames in the device position, it says exactly how
        // many; some count only what they deliver, and then the counter tells.
        if (packet.devicePosition > clock.nextDevicePosition) {
            lost = packet.devicePosition - clock.nextDevicePosition;
        }
        lost = std::min(std::max(lost, counterGapFrames(clock, packet, rate)),
                        UINT64{kMaxFillSeconds} * rate);
    }
    clock.started = true;
    clock.nextDevicePosition = packet.devicePosition + packet.frames;
    clock.lastCounter =
        (packet.flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) != 0 ? 0 : packet.counter;
    clock.lastFrames = packet.frames;
    return lost;
}

} // namespace dualcap
