#include "dsp/resampler.h"

#include <cmath>
#include <cstddef>

namespace dualcap {

std::int16_t toSample(float scaled) {
    if (std::isnan(scaled)) {
        return 0;
    }
    // Clamping before rounding gives the same result, since both bounds are whole numbers,
    // and keeps infinities and huge values from overflowing the conversion.
    const float clamped = scaled < -32768.0f ? -32768.0f : (scaled > 32767.0f ? 32767.0f : scaled);
    // Halves away from zero. Adding the half in double is exact for any float of this size,
    // and the conversion truncates; roundf is not used, as some C runtimes get values just
    // below a half wrong (0.49999997 -> 1).
    const double value = clamped;
    return static_cast<std::int16_t>(value < 0.0 ? value - 0.5 : value + 0.5);
}

void resampleTo16k(CaptureSource& source, const std::vector<float>& mono, UINT32 rate,
                   std::vector<std::int16_t>& out) {
    const std::size_t n = mono.size();
    if (n == 0 || rate == 0) {
        return;
    }
    // Position k is mono[k - 1]; position 0 is the previous packet's last sample.
    const double step = static_cast<double>(rate) / kTargetRate;
    const auto count = static_cast<double>(n);
    const float previous = source.lastSample;
    double pos = source.resamplePos;
    while (count > pos) {
        // pos is never negative and below n here, so truncation is the floor, and the
        // right neighbour g + 1 is at most n.
        const auto g = static_cast<std::size_t>(pos);
        const auto frac = static_cast<float>(pos - static_cast<double>(g));
        const float x0 = g == 0 ? previous : mono[g - 1];
        const float x1 = mono[g];
        out.push_back(toSample(((x1 - x0) * frac + x0) * kOutputScale));
        pos += step;
    }
    source.lastSample = mono[n - 1];
    const double carried = pos - count;
    source.resamplePos = carried < 0.0 ? 0.0 : carried;
}

} // namespace dualcap
