#pragma once

#include <algorithm>
#include <cstdint>

namespace dualcap {

// The unit of performance-counter positions, as capture packets carry them: 100 ns.
inline constexpr std::uint64_t kCounterPerSecond = 10'000'000;

// Tells from the time stamps of a stream's packets how much of its time was lost. Shared by
// the capture code, which judges the platform's stamps, and the Linux layer, which stamps
// each fragment by when it arrived; both meet the same two kinds of lag:
// - a lag that lasts: the stamps run behind the frames by the time that was lost;
// - a lag that passes: a late stamp that the next ones take back (jitter), or a backlog read
//   in one go whose stamps all say when it was read, so that its lag shrinks by each packet's
//   length until the stream runs live again.
// So a lag above the tolerance is only suspected at first, and confirmed once it has stopped
// shrinking for a while; what it then is, at its lowest, is the time lost. A backlog that
// was kept is thus never counted as lost too.
class LagTracker {
public:
    // One packet: `gap`, its stamp less where the previous packet's stamp and frames (and any
    // loss that the device position showed) say it should be; `span`, the time those frames
    // cover. Both in 100 ns units. Returns the time confirmed lost, if any, and takes it off
    // the lag.
    std::uint64_t observe(std::int64_t gap, std::uint64_t span) {
        std::int64_t lag = lag_ + std::clamp(gap, -kLongest, kLongest);
        // Drift is allowed for only between losses: a lag being judged must not shrink
        // while it is.
        if (!suspected_ && lag <= kTolerance) {
            lag -= static_cast<std::int64_t>(span / kDriftDivisor);
        }
        lag_ = std::clamp(lag, std::int64_t{0}, kLongest);
        if (lag_ <= kTolerance) {
            suspected_ = false;
            return 0;
        }
        if (!suspected_) {
            suspected_ = true;
            lowest_ = shrinkingFrom_ = lag_;
            settled_ = 0;
            return 0;
        }
        lowest_ = std::min(lowest_, lag_);
        if (shrinkingFrom_ - lowest_ > kShrink) {
            shrinkingFrom_ = lowest_;
            settled_ = 0;
            return 0;
        }
        settled_ += span;
        if (settled_ < kSettle) {
            return 0;
        }
        suspected_ = false;
        lag_ -= lowest_;
        return static_cast<std::uint64_t>(lowest_);
    }

    // Forgets the lag: the stamps no longer say anything of the time before.
    void reset() { *this = {}; }

    // `later` less `earlier`, two stamps, saturating at a year either way.
    static std::int64_t difference(std::uint64_t later, std::uint64_t earlier) {
        constexpr auto longest = static_cast<std::uint64_t>(kLongest);
        return later >= earlier ? static_cast<std::int64_t>(std::min(later - earlier, longest))
                                : -static_cast<std::int64_t>(std::min(earlier - later, longest));
    }

    // No lag counts for more than a year, so that the sums cannot overflow.
    static constexpr std::int64_t kLongest = 365LL * 86'400 * 10'000'000;

private:
    // A lag up to this is jitter of the stamps, never loss (100 ms).
    static constexpr std::int64_t kTolerance = 1'000'000;
    // A suspected lag that shrinks by more than this is still catching up (50 ms).
    static constexpr std::int64_t kShrink = 500'000;
    // How long a suspected lag must keep from shrinking to be confirmed (200 ms of frames).
    static constexpr std::uint64_t kSettle = 2'000'000;
    // Stamps and frames may drift apart by this share of the time (0.5 %): a device clock
    // that runs slow against the counter never adds up to a loss.
    static constexpr std::uint64_t kDriftDivisor = 200;

    std::int64_t lag_ = 0;
    bool suspected_ = false;
    std::int64_t lowest_ = 0;
    std::int64_t shrinkingFrom_ = 0;
    std::uint64_t settled_ = 0;
};

// Frames as counter time, saturating at LagTracker::kLongest so that nothing overflows.
inline std::int64_t framesToCounter(std::uint64_t frames, std::uint32_t rate) {
    constexpr std::uint64_t longestSeconds = LagTracker::kLongest / kCounterPerSecond;
    const std::uint64_t seconds = frames / rate;
    if (seconds >= longestSeconds) {
        return LagTracker::kLongest;
    }
    return static_cast<std::int64_t>(seconds * kCounterPerSecond +
                                     frames % rate * kCounterPerSecond / rate);
}

// Counter time as frames, to the nearest.
inline std::uint64_t counterToFrames(std::uint64_t time, std::uint32_t rate) {
    return time / kCounterPerSecond * rate +
           (time % kCounterPerSecond * rate + kCounterPerSecond / 2) / kCounterPerSecond;
}

} // namespace dualcap
