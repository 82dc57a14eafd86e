#include "dsp/downmix.h"

#include "platform/wave_format.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace dualcap {
namespace {

// Packet data need not be aligned for its sample type, so samples are copied out.
template <class Sample>
Sample sampleAt(const BYTE* frame, std::size_t channel) {
    Sample value;
    std::memcpy(&value, frame + channel * sizeof(Sample), sizeof(Sample));
    return value;
}

// Adds up each frame's channels in `Sum`, in channel order from 0, and stores `finish` of
// the sum. The loop is written once for a channel count that is either a compile-time
// constant, for the common layouts, which the compiler then unrolls and vectorises, or a
// run-time value for the rest. Dividing by a constant power of two becomes an exact
// multiplication, so the results are the same bits either way.
template <class Sample, class Sum, class Channels, class Finish>
void mixFrames(const BYTE* data, UINT32 frames, Channels channels, float* out,
               const Finish& finish) {
    const std::size_t stride = channels * sizeof(Sample);
    for (std::size_t i = 0; i < frames; ++i) {
        const BYTE* frame = data + i * stride;
        Sum sum = 0;
        for (std::size_t c = 0; c < channels; ++c) {
            sum += sampleAt<Sample>(frame, c);
        }
        out[i] = finish(sum);
    }
}

template <class Channels>
void downmixFloat(const BYTE* data, UINT32 frames, Channels channels, float* out) {
    const auto divisor = static_cast<float>(channels);
    mixFrames<float, float>(data, frames, channels, out, [=](float sum) { return sum / divisor; });
}

template <class Channels>
void downmixInt16(const BYTE* data, UINT32 frames, Channels channels, float* out) {
    const auto divisor = static_cast<float>(channels);
    constexpr float kScale = 1.0f / 32768.0f;
    mixFrames<std::int16_t, std::int32_t>(data, frames, channels, out, [=](std::int32_t sum) {
        return static_cast<float>(sum) / divisor * kScale;
    });
}

template <class Channels>
void downmixInt32(const BYTE* data, UINT32 frames, Channels channels, float* out) {
    const auto divisor = static_cast<double>(channels);
    constexpr double kScale = 1.0 / 2147483648.0;
    mixFrames<std::int32_t, double>(data, frames, channels, out, [=](double sum) {
        return static_cast<float>(sum / divisor * kScale);
    });
}

template <class Kernel>
void withChannelCount(UINT32 channels, const Kernel& kernel) {
    switch (channels) {
    case 1:
        kernel(std::integral_constant<UINT32, 1>{});
        return;
    case 2:
        kernel(std::integral_constant<UINT32, 2>{});
        return;
    default:
        kernel(channels);
    }
}

} // namespace

bool downmixToMono(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format,
                   std::vector<float>& out) {
    out.assign(frames, 0.0f);
    const UINT32 channels = format.nChannels == 0 ? 1u : format.nChannels;
    if (data == nullptr) {
        return true;
    }
    if (isFloatFormat(format)) {
        if (format.wBitsPerSample != 32) {
            return false;
        }
        withChannelCount(channels, [&](auto n) { downmixFloat(data, frames, n, out.data()); });
        return true;
    }
    switch (format.wBitsPerSample) {
    case 16:
        withChannelCount(channels, [&](auto n) { downmixInt16(data, frames, n, out.data()); });
        return true;
    case 32:
        withChannelCount(channels, [&](auto n) { downmixInt32(data, frames, n, out.data()); });
        return true;
    default:
        return false;
    }
}

} // namespace dualcap
