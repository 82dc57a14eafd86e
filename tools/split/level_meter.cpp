#include "split/level_meter.h"

#include "split/source_summary.h"
#include "split/stream_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace dualcap::tools {
namespace {

// Where a level falls on the bar, 0 to kBarWidth.
int barPosition(double db) {
    if (!(db > LevelMeter::kFloorDb)) {
        return 0;
    }
    const double fraction = 1.0 - std::min(db, 0.0) / LevelMeter::kFloorDb;
    return static_cast<int>(std::lround(fraction * LevelMeter::kBarWidth));
}

std::string decibels(double db, int width) {
    char text[16];
    if (std::isinf(db)) {
        std::snprintf(text, sizeof text, "%*s", width, "-inf");
    } else {
        std::snprintf(text, sizeof text, "%*.1f", width, db);
    }
    return text;
}

} // namespace

LevelMeter::LevelMeter(Clock::time_point start) : start_(start) {
    for (Source& source : sources_) {
        source.windowStart = start;
    }
}

void LevelMeter::add(std::uint8_t tag, std::span<const std::int16_t> samples) {
    Source& source = sources_[tag];
    ++source.chunks;
    source.samples += samples.size();
    for (std::int16_t sample : samples) {
        source.windowPeak = std::max(source.windowPeak, std::abs(static_cast<int>(sample)));
    }
}

LevelMeter::Reading LevelMeter::look(Source& source, Clock::time_point now) {
    const double levelDb = dbfs(source.windowPeak);
    source.windowPeak = 0;
    if (levelDb >= source.heldDb || now - source.heldAt >= kPeakHold) {
        source.heldDb = levelDb;
        source.heldAt = now;
    }
    // The rate is counted over whole windows, so that it does not flicker from look to look;
    // until the first window is over it is counted from the start.
    const std::chrono::duration<double> window = now - source.windowStart;
    const auto counted = static_cast<double>(source.chunks - source.chunksAtWindowStart);
    if (window >= kRateWindow) {
        source.chunksPerSecond = counted / window.count();
        source.chunksAtWindowStart = source.chunks;
        source.windowStart = now;
    } else if (source.windowStart == start_ && window.count() > 0) {
        source.chunksPerSecond = counted / window.count();
    }
    return {levelDb, source.heldDb, static_cast<double>(source.samples) / kSampleRate,
            source.chunksPerSecond};
}

std::array<std::string, 2> LevelMeter::lines(Clock::time_point now) {
    std::array<std::string, 2> result;
    for (std::size_t tag = 0; tag < 2; ++tag) {
        const Reading reading = look(sources_[tag], now);
        std::string bar(kBarWidth, '-');
        std::fill_n(bar.begin(), barPosition(reading.levelDb), '#');
        if (const int held = barPosition(reading.heldDb); held > 0) {
            bar[static_cast<std::size_t>(held - 1)] = '|';
        }
        char tail[64];
        std::snprintf(tail, sizeof tail, " dBFS %8.1f s %6.0f chunks/s", reading.seconds,
                      reading.chunksPerSecond);
        char name[8];
        std::snprintf(name, sizeof name, "%-6s", kSourceNames[tag]);
        result[tag] = std::string(name) + " [" + bar + "] " + decibels(reading.levelDb, 6) + tail;
    }
    return result;
}

std::string LevelMeter::summary(Clock::time_point now) {
    std::string line;
    for (std::size_t tag = 0; tag < 2; ++tag) {
        const Reading reading = look(sources_[tag], now);
        char text[128];
        std::snprintf(text, sizeof text, "%s%s peak %s dBFS, %.1f s, %.0f chunks/s",
                      tag == 0 ? "" : " | ", kSourceNames[tag],
                      decibels(reading.levelDb, 0).c_str(), reading.seconds,
                      reading.chunksPerSecond);
        line += text;
    }
    return line;
}

} // namespace dualcap::tools
