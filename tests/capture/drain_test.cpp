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
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

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

// A packet goes back to the engine before its chunk is written, so a reader that blocks the
// write never holds the engine's buffer.
TEST_F(DrainFixture, EachPendingPacketIsReleasedThenWrittenAsOneChunk) {
    client.addPacket(constantPacket(480, 0.25f));
    client.addPacket(constantPacket(480, 0.5f));
    client.addPacket(constantPacket(960, -0.5f));
    std::vector<std::string> lastCallBeforeWrite;
    output.onWrite = [&] { lastCallBeforeWrite.push_back(client.calls().back()); };

    drainPackets(source, &client, monoFloat(48000));

    EXPECT_THAT(client.calls(), ElementsAre("size", "get", "release 480", "size", "get",
                                            "release 480", "size", "get", "release 960", "size"));
    // Each chunk, one write.
    EXPECT_THAT(lastCallBeforeWrite, ElementsAre("release 480", "release 480", "release 960"));
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

// Time lost before a packet comes out first in its chunk, as silence: a 10 ms packet at
// 48 kHz gives its own 160 samples plus a third of each lost frame. A loss that only the
// counter shows is filled once the packets after it confirm it (within 25 of them).
TEST_F(DrainFixture, LostTimeComesOutAsSilenceBeforeThePacket) {
    constexpr UINT64 kStart = 1'000'000'000, kPacket = 100'000, kSecond = 10'000'000;
    constexpr DWORD kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    struct Row {
        const char* what;
        UINT64 devicePosition; // of the second packet, after the first
        UINT64 counter;
        DWORD flags;
        std::size_t filled; // samples of silence
        const char* said = "";
    } rows[] = {
        {"in time", 480, kStart + kPacket, 0, 0},
        {"overrun counted in the device position", 960, kStart + 2 * kPacket, kGap, 160},
        {"loss the counter shows, not the device position", 480, kStart + kPacket + kSecond, 0,
         16000},
        {"both show the same loss", 480 + 48000, kStart + kPacket + kSecond, kGap, 16000},
        {"a late time stamp, not flagged", 480, kStart + kPacket + 600'000, 0, 0},
        {"a flagged packet 30 ms late", 480, kStart + kPacket + 300'000, kGap, 0},
        {"a bad time stamp", 480, kStart + kPacket + kSecond, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR,
         0},
        {"back from an hour's sleep: ten seconds at most", 480, kStart + 3600 * kSecond, kGap,
         160000,
         "error: mic lost 3600.0 s of audio; only 10 s of it filled with silence, so it runs "
         "3590.0 s late from here\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CaptureSource fresh{.tag = kMicTag, .sink = &sink};
        output.bytes.clear();
        // The first packet's flag means nothing: there is no packet before it.
        ScriptedPacket first = constantPacket(480, 0.5f, kGap);
        first.devicePosition = 1'000'000; // positions need not start at 0
        first.counter = kStart;
        client.addPacket(first);
        for (UINT64 i = 0; i < 25; ++i) {
            ScriptedPacket next = constantPacket(480, 0.5f, i == 0 ? row.flags : 0);
            next.devicePosition = first.devicePosition + row.devicePosition + i * 480;
            next.counter = row.counter + i * kPacket;
            client.addPacket(next);
        }

        CaptureStderr();
        EXPECT_EQ(drainPackets(fresh, &client, monoFloat(48000)), S_OK);
        EXPECT_EQ(GetCapturedStderr(), row.said);

        const auto stream = written();
        ASSERT_EQ(stream.chunks.size(), 26u);
        std::size_t filled = 0;
        for (const auto& chunk : stream.chunks) {
            const auto& samples = chunk.samples;
            ASSERT_GE(samples.size(), 160u);
            filled += samples.size() - 160;
            if (samples.size() > 160) {
                // Down from the packet before to silence, then the packet's own samples.
                EXPECT_THAT(std::vector<std::int16_t>(samples.begin() + 1, samples.end() - 160),
                            Each(0));
                EXPECT_EQ(samples.back(), 16384);
            }
        }
        EXPECT_EQ(filled, row.filled);
    }
}

// A packet of no frames, however the platform says so, is no packet: it leaves the clock
// where the packet before left it, whatever positions came with it.
TEST_F(DrainFixture, APacketOfNoFramesNeitherMovesTheClockNorFills) {
    for (HRESULT status : {S_OK, AUDCLNT_S_BUFFER_EMPTY}) {
        ScriptedPacket packet = constantPacket(480, 0.5f);
        packet.devicePosition = 48'000;
        packet.counter = 1'000'000'000;
        client.addPacket(packet);
        client.addPacket(ScriptedPacket{.frames = 0, .announcedFrames = 480, .status = status});
        packet.devicePosition += 480;
        packet.counter += 100'000;
        client.addPacket(packet);
    }
    drainPackets(source, &client, monoFloat(48000));
    const auto stream = written();
    ASSERT_EQ(stream.chunks.size(), 4u);
    for (const auto& chunk : stream.chunks) {
        EXPECT_EQ(chunk.samples.size(), 160u);
    }
}

namespace {

// What the clock fills over a run of 10 ms packets at 48 kHz, in frames. `late`: how late
// each packet's counter position comes, in 100 ns units; `skipped`: device frames lost
// before it, as the device position shows.
struct Packet {
    std::int64_t late = 0;
    UINT64 skipped = 0;
    DWORD flags = 0;
};

UINT64 filledOver(const std::vector<Packet>& packets) {
    PacketClock clock;
    UINT64 devicePosition = 0, time = 1'000'000'000, filled = 0;
    for (const Packet& packet : packets) {
        devicePosition += packet.skipped;
        time += packet.skipped * 10'000'000 / 48'000;
        const PacketPosition position{
            480, packet.flags, devicePosition,
            static_cast<UINT64>(static_cast<std::int64_t>(time) + packet.late)};
        filled += gapBefore(clock, position, 48'000).fill;
        devicePosition += 480;
        time += 100'000;
    }
    return filled;
}

std::vector<Packet> live(int count, std::int64_t late = 0) {
    return std::vector<Packet>(static_cast<std::size_t>(count), Packet{late});
}

std::vector<Packet> operator+(std::vector<Packet> a, const std::vector<Packet>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(PacketClock, FillsWhatWasLostOnceAndOnlyThat) {
    constexpr DWORD kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    constexpr std::int64_t kMs = 10'000;
    // Stamps jitter by up to 25 ms, late or early, at random.
    std::uint32_t random = 7;
    std::vector<Packet> jittered = live(300);
    for (Packet& packet : jittered) {
        random = random * 1664525u + 1013904223u;
        packet.late = static_cast<std::int64_t>(random % 50) * kMs - 25 * kMs;
    }
    // A process that was stopped for 5 s, with 2 s of it kept: when it runs again, the kept
    // backlog of 200 packets is read at once, every one stamped when it was read.
    std::vector<Packet> backlog;
    for (int i = 0; i < 200; ++i) {
        backlog.push_back({(5000 - 10 * i) * kMs});
    }
    const Packet markedWrong{2000 * kMs, 0, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR};
    // Where the stamps decide, they are right to within their jitter (30 ms of frames).
    constexpr double kJitter = 48 * 30;
    struct Row {
        const char* what;
        std::vector<Packet> packets;
        UINT64 filled;
        double within = 0;
    } rows[] = {
        {"a device position loss, its stamps jittered",
         live(10) + std::vector<Packet>{{140 * kMs, 4800, kGap}} + jittered, 4800},
        {"a loss only the counter shows", live(10) + live(40, 1000 * kMs), 48'000, kJitter},
        {"a late stamp that the next one takes back", live(10) + live(1, 300 * kMs) + live(40), 0},
        {"a backlog stamped when it was read", live(10) + backlog + live(40, 3000 * kMs), 144'000,
         kJitter},
        {"stamps that are marked wrong", live(10) + std::vector<Packet>(40, markedWrong) + live(10),
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_NEAR(static_cast<double>(filledOver(row.packets)), static_cast<double>(row.filled),
                    row.within)
            << "frames filled";
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
        lost += gapBefore(clock, {480, 0, packet * 480, counter}, 48000).fill;
    }
    EXPECT_EQ(lost, 0u);
}
