#include "dsp/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace dualcap {

std::int16_t toSample(float scaled) {
    // Clamping before rounding gives the same result, since both bounds are whole numbers,
    // and keeps infinities and huge values from overflowing the conversion. A value that
    // is not a number passes the clamp unchanged and is then taken as 0.
    const float clamped = std::min(std::max(scaled, -32768.0f), 32767.0f);
    const double value = clamped == clamped ? clamped : 0.0;
    // Halves away from zero. Adding the half in double is exact for any float of this size,
    // and the conversion truncates; roundf is not used, as some C runtimes get values just
    // below a half wrong (0.49999997 -> 1). Nothing here branches, so a block of samples
    // converts at the full vector width.
    return static_cast<std::int16_t>(value + std::copysign(0.5, value));
}

namespace {

// Converts one block of interpolation inputs to samples. Kept apart from the walk along the
// positions, which is one long chain of additions, so that this part runs at full width.
void toSamples(const float* left, const float* right, const float* frac, std::size_t count,
               std::int16_t* out) {
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = toSample(((right[j] - left[j]) * frac[j] + left[j]) * kOutputScale);
    }
}

} // namespace

void resampleTo16k(CaptureSource& source, const std::vector<float>& mono, UINT32 rate,
                   std::vector<std::int16_t>& out) {
    const std::size_t n = mono.size();
    if (n == 0 || rate == 0) {
        return;
    }
    // Position k is mono[k - 1]; position 0 is the previous packet's last sample.
    const double step = static_cast<double>(rate) / kTargetRate;
    const auto count = static_cast<double>(n);
    const float* m = mono.data();
    double pos = source.resamplePos;

    constexpr std::size_t kBlock = 256;
    float left[kBlock];
    float right[kBlock];
    float frac[kBlock];
    std::int16_t samples[kBlock];
    while (count > pos) {
        std::size_t taken = 0;
        // Below position 1 the left neighbour is the previous packet's last sample.
        for (; taken < kBlock && pos < 1.0 && count > pos; ++taken, pos += step) {
            left[taken] = source.lastSample;
            right[taken] = m[0];
            frac[taken] = static_cast<float>(pos);
        }
        // From here on pos is at least 1 and below n, so truncation is the floor and both
        // neighbours lie in this packet.
        for (; taken < kBlock && count > pos; ++taken, pos += step) {
            const auto g = static_cast<std::size_t>(pos);
            left[taken] = m[g - 1];
            right[taken] = m[g];
            frac[taken] = static_cast<float>(pos - static_cast<double>(g));
        }
        toSamples(left, right, frac, taken, samples);
        out.insert(out.end(), samples, samples + taken);
    }

    source.lastSample = m[n - 1];
    const double carried = pos - count;
    source.resamplePos = carried < 0.0 ? 0.0 : carried;
}

} // namespace dualcap
