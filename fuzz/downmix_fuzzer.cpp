// Any format record and any packet through the downmix, checked against the plain
// frame-by-frame arithmetic: the fast paths must give the same bits, and no format,
// however odd, may read outside the packet.

#include "dsp/downmix.h"
#include "platform/win32.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

using namespace dualcap;

template <class Sample>
Sample load(const BYTE* data, std::size_t index) {
    Sample value;
    std::memcpy(&value, data + index * sizeof(Sample), sizeof value);
    return value;
}

// The downmix as defined, one frame and one channel at a time.
std::vector<float> reference(const BYTE* data, UINT32 frames, const WAVEFORMATEXTENSIBLE& f) {
    std::vector<float> out(frames, 0.0f);
    const std::size_t channels = f.Format.nChannels == 0 ? 1 : f.Format.nChannels;
    if (data == nullptr) {
        return out;
    }
    const bool isFloat =
        f.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
        (f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.Format.cbSize >= 22 &&
         std::memcmp(&f.SubFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, sizeof(GUID)) == 0);
    for (std::size_t i = 0; i < frames; ++i) {
        if (isFloat && f.Format.wBitsPerSample == 32) {
            float sum = 0.0f;
            for (std::size_t c = 0; c < channels; ++c) {
                sum += load<float>(data, i * channels + c);
            }
            out[i] = sum / static_cast<float>(channels);
        } else if (!isFloat && f.Format.wBitsPerSample == 16) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < channels; ++c) {
                sum += load<std::int16_t>(data, i * channels + c);
            }
            out[i] = static_cast<float>(sum) / static_cast<float>(channels) * (1.0f / 32768.0f);
        } else if (!isFloat && f.Format.wBitsPerSample == 32) {
            double sum = 0.0;
            for (std::size_t c = 0; c < channels; ++c) {
                sum += load<std::int32_t>(data, i * channels + c);
            }
            out[i] = static_cast<float>(sum / static_cast<double>(channels) * (1.0 / 2147483648.0));
        }
    }
    return out;
}

bool sameValue(float a, float b) {
    // Not-a-number payloads may differ with the order of an addition's operands.
    return std::isnan(a) ? std::isnan(b) : std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    // The record first, then one byte of choices, then the packet.
    WAVEFORMATEXTENSIBLE format{};
    if (size < sizeof format + 1) {
        return 0;
    }
    std::memcpy(&format, input, sizeof format);
    const std::uint8_t choices = input[sizeof format];
    const BYTE* data = input + sizeof format + 1;
    const std::size_t bytes = size - sizeof format - 1;
    // Mostly the formats that convert, so that the arithmetic gets the attention.
    static const WORD kBits[] = {16, 32, 32, 8, 24, 64};
    if ((choices & 0x80) == 0) {
        format.Format.wBitsPerSample = kBits[((choices >> 4) & 0x7) % std::size(kBits)];
    }
    if ((choices & 0x08) == 0) {
        format.Format.nChannels = static_cast<WORD>(format.Format.nChannels % 9);
    }
    if ((choices & 0x04) != 0) {
        format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    const bool silent = (choices & 0x03) == 0x03;

    const std::size_t channels = format.Format.nChannels == 0 ? 1 : format.Format.nChannels;
    const std::size_t sampleBytes = format.Format.wBitsPerSample == 16 ? 2 : 4;
    const auto frames = static_cast<UINT32>(bytes / (channels * sampleBytes));
    // A copy of exactly the packet's length, so that reading past it is caught.
    std::vector<BYTE> packet(data, data + frames * channels * sampleBytes);
    const BYTE* packetData = silent ? nullptr : packet.data();

    std::vector<float> out;
    downmixToMono(packetData, frames, format.Format, out);
    const auto expected = reference(packetData, frames, format);
    if (out.size() != expected.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!sameValue(out[i], expected[i])) {
            std::abort();
        }
    }
    return 0;
}
