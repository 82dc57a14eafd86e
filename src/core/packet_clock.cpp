#include "core/packet_clock.h"

#include <algorithm>

namespace dualcap {
namespace {

bool stamped(const PacketPosition& packet) {
    return packet.counter != 0 && (packet.flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0;
}

} // namespace

Gap gapBefore(PacketClock& clock, const PacketPosition& packet, UINT32 rate) {
    if (packet.frames == 0 || rate == 0) {
        return {};
    }
    UINT64 lost = 0;
    if (clock.started) {
        // Where the platform counts lost frames in the device position, it says exactly how
        // many; the counter then only has to agree, and its jitter never adds to them.
        if (packet.devicePosition > clock.nextDevicePosition) {
            lost = packet.devicePosition - clock.nextDevicePosition;
        }
        if (stamped(packet) && clock.lastCounter != 0) {
            const std::int64_t covered = framesToCounter(clock.lastFrames, rate);
            const std::int64_t elapsed = LagTracker::difference(packet.counter, clock.lastCounter);
            const std::uint64_t lagLost =
                clock.lag.observe(elapsed - covered - framesToCounter(lost, rate),
                                  static_cast<std::uint64_t>(covered));
            lost += counterToFrames(lagLost, rate);
        } else {
            clock.lag.reset();
        }
    }
    clock.started = true;
    clock.nextDevicePosition = packet.devicePosition + packet.frames;
    clock.lastCounter = stamped(packet) ? packet.counter : 0;
    clock.lastFrames = packet.frames;
    const UINT64 bound = UINT64{kMaxFillSeconds} * rate;
    return {std::min(lost, bound), lost - std::min(lost, bound)};
}

} // namespace dualcap
