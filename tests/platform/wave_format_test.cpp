#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

// Packet readers index into these records by the offsets Windows defines; a layout that
// differs here would read the wrong fields on one platform only.
TEST(WaveFormat, FieldsSitAtTheWindowsOffsets) {
    EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, wFormatTag), 0u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nChannels), 2u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nAvgBytesPerSec), 8u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nBlockAlign), 12u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, wBitsPerSample), 14u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);

    EXPECT_EQ(sizeof(WAVEFORMATEXTENSIBLE), 40u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, Samples), 18u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
}

TEST(WaveFormat, TagsAndFloatSubFormatHaveTheirWindowsValues) {
    EXPECT_EQ(WAVE_FORMAT_PCM, 1);
    EXPECT_EQ(WAVE_FORMAT_IEEE_FLOAT, 3);
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, 0xFFFE);

    // 00000003-0000-0010-8000-00AA00389B71, byte for byte as it lies in a format record.
    const BYTE expected[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const GUID floatFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(std::memcmp(&floatFormat, expected, sizeof expected), 0);
    EXPECT_TRUE(IsEqualGUID(floatFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    EXPECT_FALSE(IsEqualGUID(floatFormat, KSDATAFORMAT_SUBTYPE_PCM));
}
