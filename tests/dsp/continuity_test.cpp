#include "dsp/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using namespace dualcap;

namespace {

std::vector<float> sine(double frequency, UINT32 rate, std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>(0.8 * std::sin(2.0 * 3.14159265358979323846 * frequency *
                                                       static_cast<double>(i) / rate));
    }
    return samples;
}

// The interpolation at the exact positions 1 + k * rate / 16000 (taken in whole numbers,
// with no rounding carried from one sample to the next), before any packet split.
std::vector<std::int16_t> idealOutput(const std::vector<float>& signal, UINT32 rate) {
    std::vector<std::int16_t> out;
    const std::uint64_t end = signal.size() * 16000ull;
    for (std::uint64_t at = 16000; at < end; at += rate) {
        const std::size_t g = at / 16000;
        const auto frac = static_cast<float>(static_cast<double>(at % 16000) / 16000.0);
        const float x0 = g == 0 ? 0.0f : signal[g - 1];
        const float x1 = signal[g];
        out.push_back(toSample(((x1 - x0) * frac + x0) * kOutputScale));
    }
    return out;
}

std::vector<std::int16_t> inRandomPackets(const std::vector<float>& signal, UINT32 rate,
                                          unsigned seed) {
    CaptureSource source;
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> size(1, 1200);
    std::vector<std::int16_t> out;
    for (std::size_t at = 0; at < signal.size();) {
        const std::size_t take = std::min(size(random), signal.size() - at);
        const std::vector<float> packet(signal.begin() + static_cast<std::ptrdiff_t>(at),
                                        signal.begin() + static_cast<std::ptrdiff_t>(at + take));
        std::vector<std::int16_t> chunk;
        resampleTo16k(source, packet, rate, chunk);
        out.insert(out.end(), chunk.begin(), chunk.end());
        at += take;
    }
    return out;
}

} // namespace

// Packet boundaries must not show in the output: no gap, repeat or click, whatever the
// packet sizes. Split into packets, a signal gives exactly the samples of one seamless
// interpolation. (One very long packet would not: its read position grows large and
// loses precision, which is why the position is carried relative to each packet.)
TEST(Continuity, RandomPacketSizesGiveOneSeamlessInterpolation) {
    for (UINT32 rate : {44100u, 48000u, 22050u, 8000u}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        const auto signal = sine(440.0, rate, rate * 3);
        const auto ideal = idealOutput(signal, rate);
        ASSERT_NEAR(static_cast<double>(ideal.size()), 48000.0, 2.0);
        for (unsigned seed : {1u, 2u, 3u}) {
            EXPECT_EQ(inRandomPackets(signal, rate, seed), ideal) << "seed " << seed;
        }
    }
}

// Over a long capture the position's rounding errors must not add up to a drift: an hour
// at 44,100 Hz, in packets of varying sizes, comes out as 16,000 samples a second to
// within one sample.
TEST(Continuity, AnHourAt44100HzGives16000SamplesASecond) {
    constexpr UINT32 kRate = 44100;
    constexpr std::uint64_t kFrames = 3600ull * kRate;
    const auto tone = sine(440.0, kRate, 2048);
    CaptureSource source;
    std::mt19937 random(4);
    std::uniform_int_distribution<std::size_t> size(1, 2048);
    std::vector<float> packet;
    std::vector<std::int16_t> out;
    std::uint64_t samples = 0;
    for (std::uint64_t done = 0; done < kFrames;) {
        const std::size_t take = std::min<std::uint64_t>(size(random), kFrames - done);
        packet.assign(tone.begin(), tone.begin() + static_cast<std::ptrdiff_t>(take));
        out.clear();
        resampleTo16k(source, packet, kRate, out);
        samples += out.size();
        done += take;
    }
    EXPECT_LT(std::abs(static_cast<double>(samples) - 16000.0 * 3600.0), 1.0) << samples;
}
