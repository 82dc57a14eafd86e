#include "dsp/downmix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace dualcap;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::FloatEq;

namespace {

WAVEFORMATEXTENSIBLE plainFormat(WORD tag, WORD channels, WORD bits) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = tag;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = 48000;
    format.Format.wBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    return format;
}

WAVEFORMATEXTENSIBLE extensibleFormat(const GUID& subFormat, WORD channels, WORD bits) {
    WAVEFORMATEXTENSIBLE format = plainFormat(WAVE_FORMAT_EXTENSIBLE, channels, bits);
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = bits;
    format.SubFormat = subFormat;
    return format;
}

template <class Sample>
std::vector<BYTE> bytesOf(const std::vector<Sample>& samples) {
    std::vector<BYTE> bytes(samples.size() * sizeof(Sample));
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

struct Downmixed {
    bool converted;
    std::vector<float> mono;
};

Downmixed downmix(const std::vector<BYTE>& data, UINT32 frames,
                  const WAVEFORMATEXTENSIBLE& format) {
    Downmixed result;
    result.converted =
        downmixToMono(data.empty() ? nullptr : data.data(), frames, format.Format, result.mono);
    return result;
}

} // namespace

TEST(Downmix, FloatChannelsAreAveraged) {
    const auto data = bytesOf<float>({0.5f, -0.5f, 1.0f, 1.0f, -0.25f, 0.75f});
    for (const auto& format : {plainFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 32),
                               extensibleFormat(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 32)}) {
        const auto result = downmix(data, 3, format);
        EXPECT_TRUE(result.converted);
        EXPECT_THAT(result.mono, ElementsAre(0.0f, 1.0f, 0.25f));
    }
}

TEST(Downmix, FloatChannelsAreAddedInChannelOrderInSinglePrecision) {
    // (1e8 + 1) - 1e8 is 0 in single precision, whereas any other order gives 1.
    const auto result =
        downmix(bytesOf<float>({1e8f, 1.0f, -1e8f}), 1, plainFormat(WAVE_FORMAT_IEEE_FLOAT, 3, 32));
    EXPECT_THAT(result.mono, ElementsAre(0.0f));
    // No clamping: loud float input stays loud.
    EXPECT_THAT(downmix(bytesOf<float>({3.0f}), 1, plainFormat(WAVE_FORMAT_IEEE_FLOAT, 1, 32)).mono,
                ElementsAre(3.0f));
}

TEST(Downmix, SixteenBitIntegersScaleByOneOver32768) {
    const auto data = bytesOf<std::int16_t>({32767, 32767, -32768, -32768, 100, -100});
    for (const auto& format :
         {plainFormat(WAVE_FORMAT_PCM, 2, 16), extensibleFormat(KSDATAFORMAT_SUBTYPE_PCM, 2, 16)}) {
        const auto result = downmix(data, 3, format);
        EXPECT_TRUE(result.converted);
        EXPECT_THAT(result.mono, ElementsAre(FloatEq(32767.0f / 32768.0f), -1.0f, 0.0f));
    }
}

TEST(Downmix, ThirtyTwoBitIntegersScaleByTwoToTheMinus31) {
    const auto data = bytesOf<std::int32_t>({0x40000000, INT32_MIN, 0x7FFFFFFF});
    const auto result = downmix(data, 3, plainFormat(WAVE_FORMAT_PCM, 1, 32));
    EXPECT_TRUE(result.converted);
    EXPECT_THAT(result.mono, ElementsAre(0.5f, -1.0f, 1.0f));

    // A sum of two full-scale channels would overflow 32 bits; it is added in double.
    const auto stereo = downmix(bytesOf<std::int32_t>({0x7FFFFFFF, 0x7FFFFFFF}), 1,
                                extensibleFormat(KSDATAFORMAT_SUBTYPE_PCM, 2, 32));
    EXPECT_THAT(stereo.mono, ElementsAre(1.0f));

    // An extensible record too short to hold its sub-format is not read as float.
    auto truncated = extensibleFormat(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 1, 32);
    truncated.Format.cbSize = 21;
    EXPECT_THAT(downmix(bytesOf<std::int32_t>({0x40000000}), 1, truncated).mono, ElementsAre(0.5f));
}

TEST(Downmix, ZeroChannelsAreTakenAsMono) {
    const auto result =
        downmix(bytesOf<std::int16_t>({16384, -16384}), 2, plainFormat(WAVE_FORMAT_PCM, 0, 16));
    EXPECT_TRUE(result.converted);
    EXPECT_THAT(result.mono, ElementsAre(0.5f, -0.5f));
}

TEST(Downmix, UnsupportedSampleSizesGiveSilenceOfTheRightLength) {
    const std::vector<BYTE> data(480 * 2 * 8, 0x7F);
    for (const auto& format :
         {plainFormat(WAVE_FORMAT_PCM, 2, 8), plainFormat(WAVE_FORMAT_PCM, 2, 24),
          extensibleFormat(KSDATAFORMAT_SUBTYPE_PCM, 2, 24),
          plainFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 64),
          extensibleFormat(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 16)}) {
        SCOPED_TRACE(testing::Message() << "tag " << format.Format.wFormatTag << ", "
                                        << format.Format.wBitsPerSample << " bits");
        const auto result = downmix(data, 480, format);
        EXPECT_FALSE(result.converted);
        EXPECT_EQ(result.mono.size(), 480u);
        EXPECT_THAT(result.mono, Each(0.0f));
    }
}

TEST(Downmix, SilentPacketsGiveZerosWhateverTheFormat) {
    for (const auto& format :
         {plainFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 32), plainFormat(WAVE_FORMAT_PCM, 6, 16),
          plainFormat(WAVE_FORMAT_PCM, 2, 24), plainFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 64)}) {
        const auto result = downmix({}, 480, format);
        EXPECT_TRUE(result.converted);
        EXPECT_EQ(result.mono.size(), 480u);
        EXPECT_THAT(result.mono, Each(0.0f));
    }
}

TEST(Downmix, EmptyPacketsGiveNothing) {
    const std::vector<BYTE> data(16, 0);
    EXPECT_TRUE(downmix(data, 0, plainFormat(WAVE_FORMAT_PCM, 2, 16)).converted);
    EXPECT_TRUE(downmix({}, 0, plainFormat(WAVE_FORMAT_PCM, 2, 24)).converted);
    const auto unsupported = downmix(data, 0, plainFormat(WAVE_FORMAT_PCM, 2, 24));
    EXPECT_FALSE(unsupported.converted);
    EXPECT_TRUE(unsupported.mono.empty());
}

TEST(Downmix, OutputIsReplacedNotAppendedTo) {
    std::vector<float> mono = {9.0f, 9.0f, 9.0f};
    const auto format = plainFormat(WAVE_FORMAT_PCM, 1, 16);
    downmixToMono(nullptr, 2, format.Format, mono);
    EXPECT_THAT(mono, ElementsAre(0.0f, 0.0f));
}

TEST(Downmix, ReadsPacketsAtAnyAlignment) {
    auto data = bytesOf<float>({0.25f, 0.75f});
    data.insert(data.begin(), 0);
    std::vector<float> mono;
    downmixToMono(data.data() + 1, 1, plainFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 32).Format, mono);
    EXPECT_THAT(mono, ElementsAre(0.5f));
}
