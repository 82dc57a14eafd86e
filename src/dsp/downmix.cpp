#include "dsp/downmix.h"

#include <cstdint>
#include <cstring>

namespace dualcap {
namespace {

bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        return true;
    }
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
        return false;
    }
    // An extensible record continues past the plain one; its sub-format names the samples.
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    return IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// Packet data need not be aligned for its sample type, so samples are copied out.
template <class Sample>
Sample sampleAt(const BYTE* data, UINT32 index) {
    Sample value;
    std::memcpy(&value, data + static_cast<std::size_t>(index) * sizeof(Sample), sizeof(Sample));
    return value;
}

void downmixFloat(const BYTE* data, UINT32 frames, UINT32 channels, float* out) {
    const auto divisor = static_cast<float>(channels);
    for (UINT32 i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (UINT32 c = 0; c < channels; ++c) {
            sum += sampleAt<float>(data, i * channels + c);
        }
        out[i] = sum / divisor;
    }
}

void downmixInt16(const BYTE* data, UINT32 frames, UINT32 channels, float* out) {
    const auto divisor = static_cast<float>(channels);
    constexpr float kScale = 1.0f / 32768.0f;
    for (UINT32 i = 0; i < frames; ++i) {
        std::int32_t sum = 0;
        for (UINT32 c = 0; c < channels; ++c) {
            sum += sampleAt<std::int16_t>(data, i * channels + c);
        }
        out[i] = static_cast<float>(sum) / divisor * kScale;
    }
}

void downmixInt32(const BYTE* data, UINT32 frames, UINT32 channels, float* out) {
    const auto divisor = static_cast<double>(channels);
    constexpr double kScale = 1.0 / 2147483648.0;
    for (UINT32 i = 0; i < frames; ++i) {
        double sum = 0.0;
        for (UINT32 c = 0; c < channels; ++c) {
            sum += sampleAt<std::int32_t>(data, i * channels + c);
        }
        out[i] = static_cast<float>(sum / divisor * kScale);
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
        downmixFloat(data, frames, channels, out.data());
        return true;
    }
    switch (format.wBitsPerSample) {
    case 16:
        downmixInt16(data, frames, channels, out.data());
        return true;
    case 32:
        downmixInt32(data, frames, channels, out.data());
        return true;
    default:
        return false;
    }
}

} // namespace dualcap
