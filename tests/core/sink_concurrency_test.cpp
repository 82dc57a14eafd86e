#include "core/chunk_writer.h"
#include "support/chunk_parser.h"
#include "support/test_pipe.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace dualcap;
using dualcap::test::parseStream;
using dualcap::test::samplesOf;
using dualcap::test::TestPipe;

namespace {

// Each writer sends a counting sequence in chunks of varying length, so that a chunk
// of one source cut into by the other, or a lost or repeated chunk, shows in the sequence.
void writeCountingChunks(OutputSink& sink, SourceTag tag, int chunks, std::int16_t first) {
    std::int16_t next = first;
    for (int i = 0; i < chunks; ++i) {
        std::vector<std::int16_t> samples(1 + static_cast<std::size_t>(i % 200));
        for (auto& sample : samples) {
            sample = next++;
        }
        writeChunk(sink, tag, samples);
    }
}

std::vector<std::int16_t> countingSequence(int chunks, std::int16_t first) {
    std::vector<std::int16_t> sequence;
    std::int16_t next = first;
    for (int i = 0; i < chunks; ++i) {
        for (int k = 0; k <= i % 200; ++k) {
            sequence.push_back(next++);
        }
    }
    return sequence;
}

} // namespace

TEST(SinkConcurrency, TwoSourcesWritingAtOnceProduceWholeChunksInEachSourcesOrder) {
    constexpr int kChunks = 3000;
    TestPipe pipe;
    pipe.startReading();
    OutputSink sink;
    sink.handle = pipe.writeEnd();

    std::thread mic([&] { writeCountingChunks(sink, kMicTag, kChunks, 0); });
    std::thread system([&] { writeCountingChunks(sink, kSystemTag, kChunks, -20000); });
    mic.join();
    system.join();

    const auto stream = parseStream(pipe.finish());
    EXPECT_FALSE(stream.malformed);
    EXPECT_EQ(stream.truncatedBytes, 0u);
    EXPECT_EQ(stream.chunks.size(), 2u * kChunks);
    EXPECT_EQ(samplesOf(stream, kMicTag), countingSequence(kChunks, 0));
    EXPECT_EQ(samplesOf(stream, kSystemTag), countingSequence(kChunks, -20000));
}
