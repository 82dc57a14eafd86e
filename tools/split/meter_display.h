#pragma once

#include "split/level_meter.h"

#include <cstdio>

namespace dualcap::tools {

// Shows the level meter on a stream (standard error): on a terminal, one line per source,
// redrawn in place about ten times a second; anywhere else one summary line a second, so
// that a log gets a readable record rather than a screenful of redraws.
class MeterDisplay {
public:
    explicit MeterDisplay(std::FILE* out);

    void add(std::uint8_t tag, std::span<const std::int16_t> samples);
    // Draws what the meter shows at the end.
    void finish();

private:
    void draw(LevelMeter::Clock::time_point now);

    std::FILE* out_;
    bool terminal_;
    bool drawn_ = false;
    LevelMeter::Clock::duration interval_;
    LevelMeter::Clock::time_point next_;
    LevelMeter meter_;
};

} // namespace dualcap::tools
