#include "app/console_control.h"
#include "app/workers.h"
#include "fakes/fake_endpoint.h"
#include "support/chunk_parser.h"
#include "support/test_pipe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace dualcap;
using namespace dualcap::test;
using ::testing::ElementsAre;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

// 10 ms of 48 kHz stereo float at a constant level.
ScriptedPacket tenMilliseconds(float level) {
    ScriptedPacket packet{480, 0, std::vector<BYTE>(480 * 2 * sizeof(float))};
    for (std::size_t i = 0; i < 480 * 2; ++i) {
        std::memcpy(packet.data.data() + i * sizeof(float), &level, sizeof level);
    }
    return packet;
}

// Both sources of a process, on one sink writing into a real pipe, with their workers
// running scripted endpoints that deliver one packet per drain.
struct ProcessFixture : ::testing::Test {
    ProcessFixture() {
        pipe.startReading();
        sink.handle = pipe.writeEnd();
        micEndpoint.captureClient.packetPerDrain = [] { return tenMilliseconds(0.25f); };
        systemEndpoint.captureClient.packetPerDrain = [] { return tenMilliseconds(-0.5f); };
        micEndpoint.watch(mic);
        systemEndpoint.watch(system);
        CaptureStderr();
        startWorker(mic, micEndpoint.factory());
        startWorker(system, systemEndpoint.factory());
        g_micSource = &mic;
        g_systemSource = &system;
    }
    ~ProcessFixture() override {
        onConsoleControl(CTRL_C_EVENT);
        g_micSource = nullptr;
        g_systemSource = nullptr;
        GetCapturedStderr();
    }

    void waitForBothToCapture() {
        ASSERT_TRUE(micEndpoint.captureClient.waitForSizeQueriesAbove(3, 5000));
        ASSERT_TRUE(systemEndpoint.captureClient.waitForSizeQueriesAbove(3, 5000));
    }

    static std::vector<std::string> stops(const std::vector<std::string>& log) {
        std::vector<std::string> result;
        // The capture streams' stops; the system source's keep-alive stops with its own.
        for (const auto& entry : log) {
            if ((entry.find("Stop") != std::string::npos &&
                 entry.find("keep-alive") == std::string::npos) ||
                entry.find("release enumerator") != std::string::npos) {
                result.push_back(entry);
            }
        }
        return result;
    }

    TestPipe pipe;
    OutputSink sink;
    CaptureSource mic{.tag = kMicTag, .loopback = false, .sink = &sink};
    CaptureSource system{.tag = kSystemTag, .loopback = true, .sink = &sink};
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    FakeEndpoint micEndpoint{"mic", log};
    FakeEndpoint systemEndpoint{"system", log};
};

} // namespace

TEST_F(ProcessFixture, BothSourcesInterleaveWholeChunksOnOneOutput) {
    waitForBothToCapture();
    onConsoleControl(CTRL_C_EVENT);

    const auto stream = parseStream(pipe.finish());
    EXPECT_EQ(stream.truncatedBytes, 0u);
    EXPECT_FALSE(stream.malformed);
    std::size_t micChunks = 0;
    for (const auto& chunk : stream.chunks) {
        ASSERT_EQ(chunk.samples.size(), 160u);
        const std::int16_t expected = chunk.tag == kMicTag ? 8192 : -16384;
        EXPECT_EQ(chunk.samples.front(), expected);
        micChunks += chunk.tag == kMicTag;
    }
    EXPECT_GE(micChunks, 1u);
    EXPECT_GE(stream.chunks.size() - micChunks, 3u);
}

TEST_F(ProcessFixture, AControlEventStopsTheMicrophoneThenTheSystemSourceAndReturns) {
    waitForBothToCapture();
    EXPECT_EQ(onConsoleControl(CTRL_C_EVENT), TRUE);

    EXPECT_THAT(stops(log->entries()), ElementsAre("mic: Stop", "mic: release enumerator",
                                                   "system: Stop", "system: release enumerator"));
    for (const CaptureSource* source : {&mic, &system}) {
        EXPECT_FALSE(source->running);
        EXPECT_FALSE(source->worker.joinable());
        EXPECT_EQ(source->stopEvent, nullptr);
    }
    // Nothing is written once both have stopped.
    const int micDrains = micEndpoint.captureClient.sizeQueries();
    Sleep(50);
    EXPECT_EQ(micEndpoint.captureClient.sizeQueries(), micDrains);

    // A later event finds both stopped and does nothing.
    EXPECT_EQ(onConsoleControl(CTRL_BREAK_EVENT), TRUE);
    EXPECT_EQ(stops(log->entries()).size(), 4u);
}

TEST_F(ProcessFixture, OverlappingControlEventsJoinEachWorkerOnceAndAllReturn) {
    waitForBothToCapture();
    std::vector<std::thread> handlers;
    for (int i = 0; i < 16; ++i) {
        handlers.emplace_back([] { EXPECT_EQ(onConsoleControl(CTRL_C_EVENT), TRUE); });
    }
    for (auto& handler : handlers) {
        handler.join();
    }
    EXPECT_THAT(stops(log->entries()), ElementsAre("mic: Stop", "mic: release enumerator",
                                                   "system: Stop", "system: release enumerator"));
}

// The reader closes its end (a real pipe's) while both capture: the next write tells of it,
// and both sources stop as on Ctrl+C, with one line that says why.
TEST_F(ProcessFixture, AReaderThatClosesItsEndStopsBothSourcesWithOneLine) {
    const HANDLE readerGone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sink.readerGone = readerGone;
    waitForBothToCapture();
    TestPipe closed;
    closed.closeReadEnd();
    {
        std::lock_guard guard(sink.lock);
        sink.handle = closed.writeEnd();
    }

    stopWhenReaderGone(readerGone);

    EXPECT_THAT(stops(log->entries()), ElementsAre("mic: Stop", "mic: release enumerator",
                                                   "system: Stop", "system: release enumerator"));
    for (const CaptureSource* source : {&mic, &system}) {
        EXPECT_FALSE(source->running);
        EXPECT_FALSE(source->worker.joinable());
    }
    const std::string said = GetCapturedStderr();
    CaptureStderr();
    const std::string line = "error: output closed; capture stopped\n";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << "said once: " << said;
    CloseHandle(readerGone);
}

TEST(Stop, OfASourceWhoseSessionFailedJoinsItsFinishedWorker) {
    OutputSink sink;
    CaptureSource mic{.tag = kMicTag, .loopback = false, .sink = &sink};
    FakeEndpoint noMicrophone;
    noMicrophone.results.defaultEndpoint = E_NOTFOUND;
    CaptureStderr();
    startWorker(mic, noMicrophone.factory());
    while (noMicrophone.log().empty() || noMicrophone.log().back() != "release enumerator") {
        Sleep(1);
    }
    stop(mic);
    EXPECT_EQ(GetCapturedStderr(),
              "error: get default endpoint failed\n"
              "hint: mic: no such device (hr=0x80070490): there is no default device for this "
              "source; connect or enable one and start again\n");
    EXPECT_FALSE(mic.worker.joinable());
}

// A stop may come at any moment of a session's short life, including while it closes its
// stop event. Run under ThreadSanitizer, this shows the two never touch the event at once.
TEST(Stop, RacingTheEndOfASessionIsSafe) {
    OutputSink sink;
    CaptureStderr();
    for (int i = 0; i < 200; ++i) {
        CaptureSource source{.tag = kMicTag, .loopback = (i % 2) != 0, .sink = &sink};
        FakeEndpoint endpoint;
        endpoint.results.start = (i % 3) == 0 ? S_OK : E_FAIL;
        startWorker(source, endpoint.factory());
        if (i % 4 == 0) {
            std::this_thread::yield();
        }
        std::thread other([&source] { stop(source); });
        stop(source);
        other.join();
        EXPECT_FALSE(source.worker.joinable());
        EXPECT_EQ(source.stopEvent, nullptr);
    }
    GetCapturedStderr();
}
