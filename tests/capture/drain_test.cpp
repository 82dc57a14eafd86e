#include "capture/drain.h"
#include "fakes/fake_capture_client.h"
#include "support/chunk_parser.h"
#include "support/scripted_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace dualcap;
using namespace dualcap::test;
using ::testing::Each;
using ::testing::ElementsAre;

namespace {

WAVEFORMATEX monoFloat(DWORD rate) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = 1;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 32;
    format.nBlockAlign = 4;
    return format;
}

ScriptedPacket constantPacket(UINT32 frames, float value, DWORD flags = 0) {
    ScriptedPacket packet{frames, flags, std::vector<BYTE>(frames * sizeof(float))};
    for (UINT32 i = 0; i < frames; ++i) {
        std::memcpy(packet.data.data() + i * sizeof(float), &value, sizeof value);
    }
    return packet;
}

struct DrainFixture : ::testing::Test {
    DrainFixture() { output.attach(sink); }
    ParsedStream written() const { return parseStream(output.bytes); }

    OutputSink sink;
    ScriptedOutput output;
    CaptureSource source{.tag = kSystemTag, .loopback = true, .sink = &sink};
    FakeCaptureClient client;
};

} // namespace

TEST_F(DrainFixture, NothingPendingAsksOnceAndWritesNothing) {
    drainPackets(source, &client, monoFloat(48000));
    EXPECT_THAT(client.calls(), ElementsAre("size"));
    EXPECT_TRUE(output.bytes.empty());
}

TEST_F(DrainFixture, EachPendingPacketBecomesOneChunkAndIsReleasedBeforeTheNext) {
    client.addPacket(constantPacket(480, 0.25f));
    client.addPacket(constantPacket(480, 0.5f));
    client.addPacket(constantPacket(960, -0.5f));

    drainPackets(source, &client, monoFloat(48000));

    EXPECT_THAT(client.calls(), ElementsAre("size", "get", "release 480", "size", "get",
                                            "release 480", "size", "get", "release 960", "size"));
    const auto stream = written();
    ASSERT_EQ(stream.chunks.size(), 3u);
    EXPECT_EQ(stream.chunks[0].tag, kSystemTag);
    EXPECT_EQ(stream.chunks[0].samples.size(), 160u);
    EXPECT_THAT(stream.chunks[1].samples, Each(16384)); // 0.5 * 32767, rounded away from zero
    EXPECT_EQ(stream.chunks[2].samples.size(), 320u);
}

// A silent packet keeps its time: its chunk is as long as its frames make it, and its
// first samples still lead down from the previous packet's last sample.
TEST_F(DrainFixture, SilentPacketsBecomeZerosOfTheirFullLength) {
    client.addPacket(constantPacket(8, 0.5f));
    ScriptedPacket silent = constantPacket(16, 0.9f, AUDCLNT_BUFFERFLAGS_SILENT);
    client.addPacket(silent);

    drainPackets(source, &client, monoFloat(8000));

    const auto stream = written();
    ASSERT_EQ(stream.chunks.size(), 2u);
    ASSERT_EQ(stream.chunks[1].samples.size(), 32u);
    EXPECT_EQ(stream.chunks[1].samples[0], 16384); // the last sample of the packet before
    EXPECT_EQ(stream.chunks[1].samples[1], 8192);  // halfway down to the silence
    EXPECT_THAT(std::vector<std::int16_t>(stream.chunks[1].samples.begin() + 2,
                                          stream.chunks[1].samples.end()),
                Each(0));
    EXPECT_EQ(source.lastSample, 0.0f);
}

TEST_F(DrainFixture, PacketsThatYieldNoSampleAreReleasedWithoutAChunk) {
    client.addPacket(ScriptedPacket{.frames = 0, .announcedFrames = 480});
    client.addPacket(constantPacket(1, 0.5f)); // one frame at 16 kHz: carried to the next
    client.addPacket(constantPacket(2, 0.5f));

    drainPackets(source, &client, monoFloat(16000));

    EXPECT_THAT(client.calls(), ElementsAre("size", "get", "release 0", "size", "get", "release 1",
                                            "size", "get", "release 2", "size"));
    const auto stream = written();
    ASSERT_EQ(stream.chunks.size(), 1u);
    EXPECT_THAT(stream.chunks[0].samples, ElementsAre(16384, 16384));
}

TEST_F(DrainFixture, AFailingBufferRequestEndsTheDrainWithoutARelease) {
    client.addPacket(constantPacket(480, 0.1f));
    client.addPacket(constantPacket(480, 0.2f));
    client.failGetBufferAt = 2;

    drainPackets(source, &client, monoFloat(48000));

    EXPECT_THAT(client.calls(), ElementsAre("size", "get", "release 480", "size", "get"));
    EXPECT_EQ(written().chunks.size(), 1u);
}

TEST_F(DrainFixture, AFailingSizeQueryEndsTheDrain) {
    client.addPacket(constantPacket(480, 0.1f));
    client.addPacket(constantPacket(480, 0.2f));
    client.failSizeQueryAt = 2;
    drainPackets(source, &client, monoFloat(48000));
    EXPECT_THAT(client.calls(), ElementsAre("size", "get", "release 480", "size"));

    FakeCaptureClient failsAtOnce;
    failsAtOnce.addPacket(constantPacket(480, 0.1f));
    failsAtOnce.failSizeQueryAt = 1;
    drainPackets(source, &failsAtOnce, monoFloat(48000));
    EXPECT_THAT(failsAtOnce.calls(), ElementsAre("size"));
}

// Time lost before a packet comes out first in its chunk, as silence: the second of two
// 10 ms packets at 48 kHz gives its own 160 samples plus a third of each lost frame.
TEST_F(DrainFixture, LostTimeComesOutAsSilenceBeforeThePacket) {
    constexpr UINT64 kStart = 1'000'000'000, kPacket = 100'000, kSecond = 10'000'000;
    constexpr DWORD kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    struct Row {
        const char* what;
        UINT64 devicePosition;
        UINT64 counter;
        DWORD flags;
        std::size_t filled; // samples of silence
    } rows[] = {
        {"in time", 480, kStart + kPacket, 0, 0},
        {"overrun counted in the device position", 960, kStart + 2 * kPacket, kGap, 160},
        {"loss the counter shows, not the device position", 480, kStart + kPacket + kSecond, 0,
         16000},
        {"both show the same loss", 480 + 48000, kStart + kPacket + kSecond, kGap, 16000},
        {"a late time stamp, not flagged", 480, kStart + kPacket + 600'000, 0, 0},
        {"a flagged packet 30 ms late", 480, kStart + kPacket + 300'000, kGap, 480},
        {"a bad time stamp", 480, kStart + kPacket + kSecond, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR,
         0},
        {"back from an hour's sleep: ten seconds at most", 480, kStart + 3600 * kSecond, kGap,
         160000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CaptureSource fresh{.tag = kMicTag, .sink = &sink};
        output.bytes.clear();
        // The first packet's flag means nothing: there is no packet before it.
        ScriptedPacket first = constantPacket(480, 0.5f, kGap);
        first.devicePosition = 1'000'000; // positions need not start at 0
        first.counter = kStart;
        ScriptedPacket second = constantPacket(480, 0.5f, row.flags);
        second.devicePosition = first.devicePosition + row.devicePosition;
        second.counter = row.counter;
        client.addPacket(first);
        client.addPacket(second);

        EXPECT_EQ(drainPackets(fresh, &client, monoFloat(48000)), S_OK);

        const auto stream = written();
        ASSERT_EQ(stream.chunks.size(), 2u);
        EXPECT_EQ(stream.chunks[0].samples.size(), 160u);
        const auto& samples = stream.chunks[1].samples;
        ASSERT_EQ(samples.size(), 160 + row.filled);
        if (row.filled != 0) {
            // Down from the packet before to silence, then the packet's own samples.
            EXPECT_THAT(std::vector<std::int16_t>(samples.begin() + 1,
                                                  samples.begin() + static_cast<long>(row.filled)),
                        Each(0));
            EXPECT_EQ(samples.back(), 16384);
        }
    }
}

// An hour of 10 ms packets whose time stamps run 0.1 % fast and come up to 40 ms late, at
// random, without a frame lost: nothing is filled.
TEST(PacketClock, JitterAndDriftAreNeverTakenForLoss) {
    PacketClock clock;
    std::uint32_t random = 12345;
    UINT64 lost = 0;
    for (UINT64 packet = 0; packet < 360'000; ++packet) {
        random = random * 1664525u + 1013904223u;
        const UINT64 late = random % 400'000;
        const auto counter =
            static_cast<UINT64>(1e9 + static_cast<double>(packet) * 100'100.0) + late;
        lost += framesLostBefore(clock, {480, 0, packet * 480, counter}, 48000);
    }
    EXPECT_EQ(lost, 0u);
}
