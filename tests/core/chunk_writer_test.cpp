#include "core/chunk_writer.h"
#include "support/chunk_parser.h"
#include "support/scripted_output.h"
#include "support/test_pipe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <numeric>
#include <vector>

using namespace dualcap;
using dualcap::test::parseStream;
using dualcap::test::ScriptedOutput;
using dualcap::test::TestPipe;
using ::testing::ElementsAre;

namespace {

std::vector<std::int16_t> ramp(std::size_t count, std::int16_t first) {
    std::vector<std::int16_t> samples(count);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

// The bytes of one chunk as a reader expects them.
std::vector<std::uint8_t> chunkBytes(std::uint8_t tag, const std::vector<std::int16_t>& samples) {
    const auto length = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> bytes = {
        tag, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    for (std::int16_t sample : samples) {
        const auto value = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return bytes;
}

} // namespace

TEST(WriteChunk, WritesTagLittleEndianLengthAndSamples) {
    OutputSink sink;
    ScriptedOutput output;
    output.attach(sink);
    const auto samples = ramp(160, -80);

    writeChunk(sink, kSystemTag, samples);

    ASSERT_EQ(output.bytes.size(), 5u + 320u);
    EXPECT_THAT(std::vector<std::uint8_t>(output.bytes.begin(), output.bytes.begin() + 5),
                ElementsAre(1, 0x40, 0x01, 0x00, 0x00));
    // -80 as 16-bit little-endian, then -79.
    EXPECT_THAT(std::vector<std::uint8_t>(output.bytes.begin() + 5, output.bytes.begin() + 9),
                ElementsAre(0xB0, 0xFF, 0xB1, 0xFF));
    EXPECT_EQ(output.bytes, chunkBytes(1, samples));
    EXPECT_EQ(output.calls, 1) << "a reader is woken once for a chunk";
}

TEST(WriteChunk, FinishesPartialWritesOfEverySizeInHeaderAndPayload) {
    const auto samples = ramp(4, 1000);
    const auto expected = chunkBytes(0, samples);
    for (std::size_t perCall = 1; perCall <= expected.size(); ++perCall) {
        for (bool stall : {false, true}) {
            SCOPED_TRACE(testing::Message() << perCall << " bytes a call, stalls " << stall);
            OutputSink sink;
            ScriptedOutput output;
            output.maxPerCall = perCall;
            output.stallEveryOtherCall = stall;
            output.attach(sink);

            writeChunk(sink, kMicTag, samples);
            writeChunk(sink, kMicTag, samples);

            auto twice = expected;
            twice.insert(twice.end(), expected.begin(), expected.end());
            EXPECT_EQ(output.bytes, twice);
        }
    }
}

// A write that takes nothing without failing is retried after a pause, not in a spin.
TEST(WriteChunk, WritesThatTakeNothingAreRetriedAfterYielding) {
    OutputSink sink;
    ScriptedOutput output;
    output.maxPerCall = 1;
    output.stallEveryOtherCall = true;
    output.attach(sink);
    const auto begin = std::chrono::steady_clock::now();
    writeChunk(sink, kMicTag, ramp(10, 0)); // 25 bytes, so 25 writes that take nothing
    EXPECT_EQ(output.bytes.size(), 25u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(20));
}

namespace {

// Writes chunks of 3, 5 and 2 samples; returns the offset at which the second begins.
std::size_t writeThreeChunks(OutputSink& sink) {
    writeChunk(sink, kMicTag, ramp(3, 7));
    writeChunk(sink, kSystemTag, ramp(5, -2));
    writeChunk(sink, kMicTag, ramp(2, 10));
    return chunkBytes(0, ramp(3, 7)).size();
}

} // namespace

// An output that fails for good at any byte (disk full, reader gone) leaves whole chunks
// followed by at most one cut-short chunk: never bytes that a reader would misparse.
TEST(WriteChunk, OutputThatFailsForGoodLeavesWholeChunksThenACleanTruncation) {
    const std::size_t total = 3 * 5 + 2 * (3 + 5 + 2);
    for (std::size_t failAt = 0; failAt <= total; ++failAt) {
        SCOPED_TRACE(testing::Message() << "fails from byte " << failAt);
        OutputSink sink;
        ScriptedOutput output;
        output.failAt = failAt;
        output.attach(sink);

        writeThreeChunks(sink);

        EXPECT_EQ(output.bytes.size(), failAt);
        const auto stream = parseStream(output.bytes);
        EXPECT_FALSE(stream.malformed);
        std::size_t whole = 0;
        for (const auto& chunk : stream.chunks) {
            whole += 5 + 2 * chunk.samples.size();
        }
        EXPECT_EQ(whole + stream.truncatedBytes, failAt);
    }
}

// A failure that passes loses nothing, at whatever byte it comes: calls that fail for a
// while, and a call that fails although it wrote (as Wine's pipes do under load).
TEST(WriteChunk, FailuresThatPassLoseNothing) {
    OutputSink sink;
    ScriptedOutput clean;
    clean.attach(sink);
    writeThreeChunks(sink);
    for (bool takesWhenFailing : {false, true}) {
        for (std::size_t failAt = 0; failAt < clean.bytes.size(); ++failAt) {
            SCOPED_TRACE(testing::Message()
                         << "fails at byte " << failAt << ", takes bytes " << takesWhenFailing);
            OutputSink failingSink;
            ScriptedOutput output;
            output.failAt = failAt;
            output.failures = takesWhenFailing ? 1 : 5;
            output.error = takesWhenFailing ? ERROR_INVALID_HANDLE : ERROR_WRITE_FAULT;
            output.takesWhenFailing = takesWhenFailing;
            output.attach(failingSink);

            writeThreeChunks(failingSink);

            EXPECT_EQ(output.bytes, clean.bytes);
        }
    }
}

// After one call that says the reader has gone, the output works again (a file that had
// space again, say). A chunk that failed before its first byte is lost; one that went out
// in part would put everything after it out of step, so nothing more is written.
TEST(WriteChunk, OneFailedCallLosesAChunkOrEndsTheStreamButNeverDesynchronisesIt) {
    OutputSink sink;
    ScriptedOutput clean;
    clean.attach(sink);
    const std::size_t secondAt = writeThreeChunks(sink);
    const std::size_t secondSize = chunkBytes(1, ramp(5, -2)).size();

    for (std::size_t failAt = secondAt; failAt < secondAt + secondSize; ++failAt) {
        SCOPED_TRACE(testing::Message() << "one failure at byte " << failAt);
        OutputSink failingSink;
        ScriptedOutput output;
        output.failAt = failAt;
        output.failures = 1;
        output.attach(failingSink);

        writeThreeChunks(failingSink);
        writeChunk(failingSink, kSystemTag, ramp(4, 0));

        const auto stream = parseStream(output.bytes);
        EXPECT_FALSE(stream.malformed);
        if (failAt == secondAt) {
            ASSERT_EQ(stream.chunks.size(), 3u) << "the second chunk is lost, the rest whole";
            EXPECT_EQ(stream.chunks[1].samples, ramp(2, 10));
            EXPECT_EQ(stream.truncatedBytes, 0u);
        } else {
            ASSERT_EQ(stream.chunks.size(), 1u);
            EXPECT_EQ(stream.truncatedBytes, failAt - secondAt);
            EXPECT_EQ(output.bytes.size(), failAt) << "nothing after the torn chunk";
        }
    }
}

TEST(WriteChunk, ABrokenHeaderIsNotFollowedByItsPayload) {
    for (std::size_t failAt = 0; failAt < kChunkHeaderSize; ++failAt) {
        OutputSink sink;
        ScriptedOutput output;
        output.failAt = failAt;
        output.failures = 1;
        output.attach(sink);

        writeChunk(sink, kMicTag, ramp(8, 0));

        EXPECT_EQ(output.bytes.size(), failAt);
    }
}

// Only a reader that has closed its end is told on: there is no one left to capture for.
// A handle that is not there at all, or a full disk, leaves capture to go on as before.
TEST(WriteChunk, GivesUpSilentlyOnOutputsThatCannotBeWrittenAndTellsOfAReaderGone) {
    TestPipe readerGone;
    readerGone.closeReadEnd();
    const struct {
        HANDLE handle;
        bool gone;
    } outputs[] = {{HANDLE{}, false}, {INVALID_HANDLE_VALUE, false}, {readerGone.writeEnd(), true}};
    for (const auto& [handle, gone] : outputs) {
        OutputSink sink;
        sink.handle = handle;
        sink.readerGone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeChunk(sink, kMicTag, ramp(160, 0));
        writeChunk(sink, kSystemTag, ramp(160, 0));
        EXPECT_TRUE(sink.lock.try_lock()) << "the lock is released after a failed write";
        sink.lock.unlock();
        EXPECT_EQ(WaitForSingleObject(sink.readerGone, 0) == WAIT_OBJECT_0, gone);
        CloseHandle(sink.readerGone);
    }
    for (const DWORD error :
         std::initializer_list<DWORD>{ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL, ERROR_WRITE_FAULT}) {
        OutputSink sink;
        ScriptedOutput full;
        full.failAt = 0;
        full.error = error;
        full.attach(sink);
        sink.readerGone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeChunk(sink, kMicTag, ramp(160, 0));
        EXPECT_EQ(WaitForSingleObject(sink.readerGone, 0), WAIT_TIMEOUT) << "error " << error;
        CloseHandle(sink.readerGone);
    }
}

TEST(WriteChunk, ReachesARealPipeWhole) {
    TestPipe pipe;
    pipe.startReading();
    OutputSink sink;
    sink.handle = pipe.writeEnd();
    const auto samples = ramp(160, 100);

    writeChunk(sink, kMicTag, samples);
    writeChunk(sink, kSystemTag, samples);

    const auto stream = parseStream(pipe.finish());
    ASSERT_EQ(stream.chunks.size(), 2u);
    EXPECT_EQ(stream.chunks[0].tag, 0);
    EXPECT_EQ(stream.chunks[1].tag, 1);
    EXPECT_EQ(stream.chunks[1].samples, samples);
    EXPECT_EQ(stream.truncatedBytes, 0u);
}
