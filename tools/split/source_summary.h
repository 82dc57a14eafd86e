#pragma once

#include "split/stream_reader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace dualcap::tools {

// Each tag's name, as the files and the lines that speak of it use it.
inline constexpr const char* kSourceNames[2] = {"mic", "system"};

// What one source carried: chunks, samples, and its level.
struct SourceSummary {
    std::uint64_t chunks = 0;
    std::uint64_t samples = 0;
    int peak = 0;
    double sumOfSquares = 0;

    void add(std::span<const std::int16_t> chunk) {
        ++chunks;
        samples += chunk.size();
        for (std::int16_t sample : chunk) {
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
            sumOfSquares += static_cast<double>(sample) * sample;
        }
    }
    double seconds() const { return static_cast<double>(samples) / kSampleRate; }
    double rms() const {
        return samples == 0 ? 0.0 : std::sqrt(sumOfSquares / static_cast<double>(samples));
    }
};

// Level relative to full scale; minus infinity for silence.
inline double dbfs(double level) {
    return 20.0 * std::log10(level / 32767.0);
}

} // namespace dualcap::tools
