#include "split/level_meter.h"
#include "split/stream_reader.h"
#include "split/wav_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

using namespace dualcap::tools;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string chunk(std::uint8_t tag, std::uint32_t length, std::vector<std::int16_t> samples) {
    std::string bytes = {static_cast<char>(tag), static_cast<char>(length & 0xFF),
                         static_cast<char>((length >> 8) & 0xFF),
                         static_cast<char>((length >> 16) & 0xFF), static_cast<char>(length >> 24)};
    for (std::int16_t sample : samples) {
        bytes += static_cast<char>(sample & 0xFF);
        bytes += static_cast<char>((sample >> 8) & 0xFF);
    }
    return bytes;
}

struct Read {
    StreamEnd end;
    std::vector<std::pair<int, std::vector<std::int16_t>>> chunks;
};

Read read(const std::string& bytes) {
    std::istringstream in(bytes);
    Read result;
    result.end = readStream(in, [&](std::uint8_t tag, std::span<const std::int16_t> samples) {
        result.chunks.emplace_back(tag, std::vector<std::int16_t>(samples.begin(), samples.end()));
    });
    return result;
}

} // namespace

TEST(StreamReader, HandsOverEveryWholeChunk) {
    const auto result = read(chunk(0, 4, {1, -2}) + chunk(1, 2, {300}) + chunk(0, 2, {-32768}));
    EXPECT_TRUE(result.end.clean);
    ASSERT_EQ(result.chunks.size(), 3u);
    EXPECT_EQ(result.chunks[0].second, (std::vector<std::int16_t>{1, -2}));
    EXPECT_EQ(result.chunks[1].first, 1);
    EXPECT_EQ(result.chunks[2].second, (std::vector<std::int16_t>{-32768}));
    EXPECT_TRUE(read("").end.clean);
}

// Whatever is wrong, the chunks before it are delivered and the reason is named.
TEST(StreamReader, StopsAtTheFirstBrokenChunkWithItsReason) {
    const std::string good = chunk(0, 4, {1, 2});
    const std::string whole = chunk(1, 6, {1, 2, 3});
    // Truncations end the input; the malformed headers have good chunks after them.
    struct Case {
        std::string tail;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{
             {whole.substr(0, 3), "inside a chunk header"},
             {whole.substr(0, 8), "inside a chunk's samples"},
             {chunk(0, 3, {1, 2}) + good, "impossible payload length 3"},
             {chunk(0, 0, {}) + good, "impossible payload length 0"},
             {chunk(1, 0x40000000, {1}) + good, "impossible payload length 1073741824"},
             {chunk(2, 2, {1}) + good, "unknown source tag 2"},
         }) {
        SCOPED_TRACE(c.reason);
        const auto result = read(good + c.tail);
        EXPECT_FALSE(result.end.clean);
        EXPECT_EQ(result.end.truncated, c.reason.starts_with("inside"));
        EXPECT_THAT(result.end.problem, HasSubstr(c.reason));
        EXPECT_EQ(result.end.offset, good.size());
        ASSERT_EQ(result.chunks.size(), 1u);
    }
}

TEST(WavWriter, WritesA16kMonoFileWithItsSizesFilledIn) {
    const std::string path = ::testing::TempDir() + "split_test.wav";
    {
        WavWriter wav(path);
        const std::int16_t samples[] = {1, -1, 256};
        wav.write(samples);
        ASSERT_TRUE(wav.close());
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 44u + 6u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(bytes[4], 36 + 6);
    EXPECT_THAT(std::vector<unsigned char>(bytes.begin() + 22, bytes.begin() + 28),
                ElementsAre(1, 0, 0x80, 0x3E, 0, 0)); // mono, 16000 Hz
    EXPECT_EQ(bytes[40], 6);                          // data size
    EXPECT_THAT(std::vector<unsigned char>(bytes.begin() + 44, bytes.end()),
                ElementsAre(1, 0, 0xFF, 0xFF, 0, 1));
    std::remove(path.c_str());
}

// Levels, the held peak and the rate as the meter shows them, at instants chosen here.
TEST(LevelMeter, ShowsLevelHeldPeakSecondsAndRate) {
    using namespace std::chrono_literals;
    const auto start = LevelMeter::Clock::time_point{};
    LevelMeter meter(start);
    const std::vector<std::int16_t> loud(160, 32767), tenth(160, -3277);
    for (int i = 0; i < 10; ++i) {
        meter.add(0, loud);
    }
    auto lines = meter.lines(start + 100ms);
    EXPECT_THAT(lines[0], HasSubstr("mic    [" + std::string(29, '#') + "|]    0.0 dBFS"));
    EXPECT_THAT(lines[0], HasSubstr("0.1 s    100 chunks/s"));
    EXPECT_THAT(lines[1], HasSubstr("system [" + std::string(30, '-') + "]   -inf dBFS"));

    // Quieter: the bar falls to -20 dBFS at once; the peak stays held for a while.
    meter.add(0, tenth);
    lines = meter.lines(start + 1s);
    EXPECT_THAT(lines[0], HasSubstr("[" + std::string(20, '#') + std::string(9, '-') + "|]"));
    EXPECT_THAT(lines[0], HasSubstr("-20.0 dBFS"));
    EXPECT_THAT(lines[0], HasSubstr("11 chunks/s"));
    meter.add(0, tenth);
    EXPECT_THAT(meter.lines(start + 1700ms)[0], HasSubstr("[" + std::string(19, '#') + "|"));
    EXPECT_EQ(meter.summary(start + 2s), "mic peak -inf dBFS, 0.1 s, 1 chunks/s | "
                                         "system peak -inf dBFS, 0.0 s, 0 chunks/s");
}
