#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

namespace dualcap::tools {

// What `dualcap-split --meter` shows of each source while it splits: the level since the
// last look, the highest level of the last moments (held, so that a short peak stays
// visible), the seconds captured and the chunks a second. Time is passed in, so that what
// it shows depends only on the chunks and the instants it is asked at.
class LevelMeter {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kBarWidth = 30;
    static constexpr double kFloorDb = -60.0; // the bar's left end
    static constexpr auto kPeakHold = std::chrono::milliseconds(1500);
    static constexpr auto kRateWindow = std::chrono::seconds(1);

    explicit LevelMeter(Clock::time_point start);

    void add(std::uint8_t tag, std::span<const std::int16_t> samples);

    // One line per source, as the terminal shows them; each look starts a new level window.
    std::array<std::string, 2> lines(Clock::time_point now);
    // Both sources on one line, for a log: each one's peak since the last look.
    std::string summary(Clock::time_point now);

private:
    struct Source {
        std::uint64_t samples = 0;
        std::uint64_t chunks = 0;
        int windowPeak = 0; // highest magnitude since the last look
        double heldDb = -std::numeric_limits<double>::infinity();
        Clock::time_point heldAt{};
        std::uint64_t chunksAtWindowStart = 0;
        Clock::time_point windowStart{};
        double chunksPerSecond = 0;
    };
    struct Reading {
        double levelDb;
        double heldDb;
        double seconds;
        double chunksPerSecond;
    };

    Reading look(Source& source, Clock::time_point now);

    Clock::time_point start_;
    std::array<Source, 2> sources_;
};

} // namespace dualcap::tools
