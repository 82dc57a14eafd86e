#include "dsp/resampler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace dualcap;
using ::testing::ElementsAre;

namespace {

// Distinct values that map to distinct output samples: value k is k / 32767.
std::vector<float> steps(std::size_t count, int first = 1) {
    std::vector<float> mono(count);
    for (std::size_t i = 0; i < count; ++i) {
        mono[i] = static_cast<float>(first + static_cast<int>(i)) / 32767.0f;
    }
    return mono;
}

std::vector<std::int16_t> resample(CaptureSource& source, const std::vector<float>& mono,
                                   UINT32 rate) {
    std::vector<std::int16_t> out;
    resampleTo16k(source, mono, rate, out);
    return out;
}

} // namespace

TEST(Resampler, At48kEveryThirdSampleIsTakenAndThePositionReturnsToOne) {
    CaptureSource source;
    const auto mono = steps(480);
    for (int packet = 0; packet < 3; ++packet) {
        const auto out = resample(source, mono, 48000);
        ASSERT_EQ(out.size(), 160u);
        for (std::size_t k = 0; k < out.size(); ++k) {
            EXPECT_EQ(out[k], static_cast<std::int16_t>(1 + 3 * k)) << "output " << k;
        }
        EXPECT_EQ(source.resamplePos, 1.0);
        EXPECT_EQ(source.lastSample, mono.back());
    }
}

TEST(Resampler, At44100PacketCountsAndCarriedPositionsFollowTheRatio) {
    CaptureSource exact;
    EXPECT_EQ(resample(exact, steps(441), 44100).size(), 160u);
    EXPECT_NEAR(exact.resamplePos, 1.0, 1e-11);

    CaptureSource source;
    const std::vector<std::size_t> counts = {163, 162, 163, 162, 163, 162, 163, 162, 163, 163};
    const std::vector<double> positions = {2.26875, 0.78125, 2.05,  0.5625,  1.83125,
                                           0.34375, 1.6125,  0.125, 1.39375, 2.6625};
    for (std::size_t packet = 0; packet < counts.size(); ++packet) {
        SCOPED_TRACE(testing::Message() << "packet " << packet);
        EXPECT_EQ(resample(source, steps(448), 44100).size(), counts[packet]);
        EXPECT_NEAR(source.resamplePos, positions[packet], 1e-9);
    }
}

TEST(Resampler, At8kEachInputGivesTwoOutputsThatBridgePacketBoundaries) {
    CaptureSource source;
    const auto first = resample(source, steps(80, 2), 8000);
    ASSERT_EQ(first.size(), 158u); // positions 1.0 to 79.5
    EXPECT_THAT(std::vector<std::int16_t>(first.begin(), first.begin() + 3), ElementsAre(2, 3, 3));
    EXPECT_EQ(source.resamplePos, 0.0);

    // Value 100, then halfway between 100 and 200 (150), then 200.
    std::vector<float> second(80, 200.0f / 32767.0f);
    source.lastSample = 100.0f / 32767.0f;
    const auto out = resample(source, second, 8000);
    ASSERT_EQ(out.size(), 160u);
    EXPECT_THAT(std::vector<std::int16_t>(out.begin(), out.begin() + 3),
                ElementsAre(100, 150, 200));
    EXPECT_EQ(resample(source, second, 8000).size(), 160u);
}

TEST(Resampler, AOneFramePacketAt16kCarriesItsSampleIntoTheNextPacket) {
    CaptureSource source;
    EXPECT_TRUE(resample(source, {0.5f}, 16000).empty());
    EXPECT_EQ(source.lastSample, 0.5f);
    EXPECT_EQ(source.resamplePos, 0.0);

    const auto out = resample(source, {0.25f, 0.25f}, 16000);
    EXPECT_THAT(out, ElementsAre(16384, 8192)); // 0.5 * 32767 = 16383.5 rounds away from zero
}

TEST(Resampler, EmptyPacketsAndAZeroRateLeaveEverythingAsItWas) {
    CaptureSource source;
    source.resamplePos = 0.75;
    source.lastSample = 0.125f;
    EXPECT_TRUE(resample(source, {}, 48000).empty());
    EXPECT_TRUE(resample(source, steps(480), 0).empty());
    EXPECT_EQ(source.resamplePos, 0.75);
    EXPECT_EQ(source.lastSample, 0.125f);
}

TEST(Resampler, ScalesTo32767AndClampsToSixteenBits) {
    CaptureSource source;
    const auto out = resample(source, {1.0f, -1.0f, 1.5f, -1.5f, 60000.0f, -60000.0f, 0.0f}, 16000);
    // The last value is the one carried over; its own output comes with the next packet.
    EXPECT_THAT(out, ElementsAre(32767, -32767, 32767, -32768, 32767, -32768));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THAT(resample(source, {nan, 0.25f, 0.25f}, 16000), ElementsAre(0, 0, 8192));
}

TEST(ToSample, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(toSample(0.5f), 1);
    EXPECT_EQ(toSample(-0.5f), -1);
    EXPECT_EQ(toSample(2.5f), 3);
    EXPECT_EQ(toSample(-2.5f), -3);
    EXPECT_EQ(toSample(0.49999997f), 0);
    EXPECT_EQ(toSample(32766.5f), 32767);
    EXPECT_EQ(toSample(-32767.5f), -32768);
}

TEST(ToSample, SaturatesWhereRoundingCouldNotBeRepresented) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(toSample(inf), 32767);
    EXPECT_EQ(toSample(-inf), -32768);
    EXPECT_EQ(toSample(2147483648.0f), 32767);
    EXPECT_EQ(toSample(-3e38f), -32768);
    EXPECT_EQ(toSample(std::numeric_limits<float>::quiet_NaN()), 0);
}

// Interpolation is (x1 - x0) * frac + x0, every operation rounded to float on its own.
// A fused multiply-add, or the whole sum worked in double, would round differently.
TEST(Resampler, InterpolatesInSinglePrecisionOperationByOperation) {
    CaptureSource source;
    source.resamplePos = 0.3; // frac 0.3 between the last sample and the first
    source.lastSample = 0.1f;
    const std::vector<float> mono = {0.7f};
    const auto out = resample(source, mono, 16000);

    volatile float frac = static_cast<float>(0.3);
    volatile float difference = mono[0] - 0.1f;
    volatile float product = difference * frac;
    volatile float sum = product + 0.1f;
    volatile float scaled = sum * 32767.0f;
    EXPECT_THAT(out, ElementsAre(static_cast<std::int16_t>(std::round(scaled))));
}
