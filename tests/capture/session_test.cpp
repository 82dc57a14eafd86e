#include "app/workers.h"
#include "capture/default_device_watch.h"
#include "capture/session.h"
#include "fakes/fake_endpoint.h"
#include "platform/audio_ids.h"
#include "support/scripted_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace dualcap;
using namespace dualcap::test;
using ::testing::ElementsAreArray;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

struct SessionFixture : ::testing::Test {
    void use(bool loopback) {
        source.loopback = loopback;
        source.tag = loopback ? kSystemTag : kMicTag;
    }

    // Runs the session on this thread; with `running` false it sets up, reports and
    // tears down without entering its loop.
    std::string runOnce(bool running = false) {
        endpoint.watch(source);
        source.running = running;
        CaptureStderr();
        runSession(source, endpoint.factory());
        return GetCapturedStderr();
    }

    OutputSink sink;
    ScriptedOutput output;
    // With the keep-alive whatever the platform, so that each platform runs every test.
    CaptureSource source{.tag = kMicTag, .loopback = false, .keepAlive = true, .sink = &sink};
    FakeEndpoint endpoint;
};

const std::vector<std::string> kSetUp = {
    "create enumerator", "GetDefaultAudioEndpoint", "Activate",   "GetMixFormat",
    "Initialize",        "SetEventHandle",          "GetService", "Start"};

std::vector<std::string> setUpUpTo(std::size_t steps) {
    return {kSetUp.begin(), kSetUp.begin() + static_cast<std::ptrdiff_t>(steps)};
}

} // namespace

// Each failing step prints its line, then releases exactly what was acquired, in reverse.
TEST_F(SessionFixture, EachFailingStepPrintsItsLineAndReleasesWhatWasAcquired) {
    struct Row {
        HRESULT FakeEndpoint::Results::*step;
        std::size_t callsMade;
        std::string message;
        std::vector<std::string> releases;
    };
    const HRESULT failure = AUDCLNT_E_DEVICE_INVALIDATED;
    const std::vector<Row> rows = {
        {&FakeEndpoint::Results::create, 1, "error: create device enumerator failed\n", {}},
        {&FakeEndpoint::Results::defaultEndpoint,
         2,
         "error: get default endpoint failed\n",
         {"release enumerator"}},
        {&FakeEndpoint::Results::activate,
         3,
         "error: activate audio client failed\n",
         {"release device", "release enumerator"}},
        {&FakeEndpoint::Results::mixFormat,
         4,
         "error: get mix format failed\n",
         {"release audio client", "release device", "release enumerator"}},
        {&FakeEndpoint::Results::initialize,
         5,
         "error: mic audio client Initialize failed (hr=0x88890004)\n",
         {"release audio client", "release device", "release enumerator"}},
        {&FakeEndpoint::Results::getService,
         7,
         "error: get capture service failed\n",
         {"release audio client", "release device", "release enumerator"}},
        {&FakeEndpoint::Results::start,
         8,
         "error: mic audio client Start failed (hr=0x88890004)\n",
         {"release capture client", "release audio client", "release device",
          "release enumerator"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        FakeEndpoint failing;
        failing.results.*row.step = failure;
        failing.watch(source);
        source.running = true;
        CaptureStderr();
        runSession(source, failing.factory());

        EXPECT_EQ(GetCapturedStderr(), row.message);
        auto expected = setUpUpTo(row.callsMade);
        expected.insert(expected.end(), row.releases.begin(), row.releases.end());
        EXPECT_THAT(failing.log(), ElementsAreArray(expected));
        for (const auto& [object, probe] : failing.releaseProbes()) {
            EXPECT_TRUE(probe.comInitialised) << object;
            EXPECT_FALSE(probe.dataEventOpen) << object << ": the data event is closed first";
        }
        EXPECT_EQ(source.stopEvent, nullptr);
        EXPECT_FALSE(comInitialisedOnThisThread());
        EXPECT_EQ(failing.captureClient.sizeQueries(), 0);
    }
}

TEST_F(SessionFixture, StreamFailuresNameTheSourceAndTheCodeInEightHexDigits) {
    use(true);
    endpoint.results.initialize = AUDCLNT_E_UNSUPPORTED_FORMAT;
    EXPECT_EQ(runOnce(true), "error: system audio client Initialize failed (hr=0x88890008)\n");

    FakeEndpoint startFails;
    startFails.results.start = E_OUTOFMEMORY;
    source.running = true;
    CaptureStderr();
    runSession(source, startFails.factory());
    EXPECT_EQ(GetCapturedStderr(), "error: system audio client Start failed (hr=0x8007000E)\n");
}

// The codes users can act on get one line more, after the step's own, naming the source,
// the code and what to do; whichever step met them, and where the advice fits the source.
TEST_F(SessionFixture, FailuresAUserCanActOnAddOneHintLine) {
    struct Row {
        HRESULT FakeEndpoint::Results::*step;
        bool loopback;
        HRESULT failure;
        std::string lines;
    } rows[] = {
        {&FakeEndpoint::Results::activate, false, E_ACCESSDENIED,
         "error: activate audio client failed\n"
         "hint: mic: access denied (hr=0x80070005): Windows' privacy settings may be blocking "
         "the microphone; allow it in Settings > Privacy & security > Microphone, \"Let desktop "
         "apps access your microphone\"\n"},
        {&FakeEndpoint::Results::activate, true, E_ACCESSDENIED,
         "error: activate audio client failed\n"}, // no microphone advice for loopback
        {&FakeEndpoint::Results::initialize, true, AUDCLNT_E_DEVICE_IN_USE,
         "error: system audio client Initialize failed (hr=0x8889000A)\n"
         "hint: system: device in use (hr=0x8889000A): another program holds the device in "
         "exclusive mode; close that program and start again\n"},
        {&FakeEndpoint::Results::defaultEndpoint, true, E_NOTFOUND,
         "error: get default endpoint failed\n"
         "hint: system: no such device (hr=0x80070490): there is no default device for this "
         "source; connect or enable one and start again\n"},
        {&FakeEndpoint::Results::create, false, AUDCLNT_E_SERVICE_NOT_RUNNING,
         "error: create device enumerator failed\n"
         "hint: mic: audio service not running (hr=0x88890010): start the Windows Audio "
         "service (on Linux, the sound server) and start again\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines);
        FakeEndpoint failing;
        failing.results.*row.step = row.failure;
        use(row.loopback);
        failing.watch(source);
        source.running = true;
        CaptureStderr();
        runSession(source, failing.factory());
        EXPECT_EQ(GetCapturedStderr(), row.lines);
    }
}

// A thread already in a single-threaded apartment cannot join ours: the session says so
// and leaves the thread's COM as it found it.
TEST_F(SessionFixture, ACoInitializeExFailureEndsTheSessionWithoutUninitialising) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(runOnce(true), "error: CoInitializeEx failed\n");
    EXPECT_TRUE(endpoint.log().empty());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE)
        << "the thread's own initialisation is still there";
    CoUninitialize();
    CoUninitialize();
}

TEST_F(SessionFixture, OpensTheMicrophoneEventDrivenInSharedModeWithA2sBuffer) {
    EXPECT_EQ(runOnce(), "mic capture started\n");
    const auto r = endpoint.recorded();
    EXPECT_EQ(r.flow, eCapture);
    EXPECT_EQ(r.role, eConsole);
    EXPECT_TRUE(IsEqualGUID(r.activateIid, dualcap::IID_IAudioClient));
    EXPECT_EQ(r.activateContext, static_cast<DWORD>(CLSCTX_ALL));
    EXPECT_FALSE(r.activationParams);
    EXPECT_EQ(r.shareMode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(r.streamFlags, static_cast<DWORD>(AUDCLNT_STREAMFLAGS_EVENTCALLBACK));
    EXPECT_EQ(r.bufferDuration, 20'000'000);
    EXPECT_EQ(r.periodicity, 0);
    EXPECT_EQ(r.initializeFormat, r.givenFormat) << "the stream is in the mix format";
    EXPECT_FALSE(r.sessionGuid);
    EXPECT_NE(r.eventHandle, nullptr);
    EXPECT_TRUE(IsEqualGUID(r.serviceIid, dualcap::IID_IAudioCaptureClient));
}

TEST_F(SessionFixture, OpensTheRenderEndpointInLoopbackWithoutADataEvent) {
    use(true);
    EXPECT_EQ(runOnce(), "system capture started\n");
    const auto r = endpoint.recorded();
    EXPECT_EQ(r.flow, eRender);
    EXPECT_EQ(r.role, eConsole);
    EXPECT_EQ(r.streamFlags, static_cast<DWORD>(AUDCLNT_STREAMFLAGS_LOOPBACK));
    EXPECT_EQ(r.eventHandle, nullptr);
    EXPECT_THAT(endpoint.log(), ::testing::Not(::testing::Contains("SetEventHandle")));
}

// Stopped before its loop: it still starts and says so, then stops without draining and
// tears down in order: data event, capture client, mix format, audio client, device,
// enumerator, stop event, COM.
TEST_F(SessionFixture, AStopBeforeTheLoopStillStartsThenTearsDownInOrder) {
    EXPECT_EQ(runOnce(false), "mic capture started\n");
    auto expected = kSetUp;
    expected.insert(expected.end(), {"Stop", "release capture client", "release audio client",
                                     "release device", "release enumerator"});
    EXPECT_THAT(endpoint.log(), ElementsAreArray(expected));
    EXPECT_EQ(endpoint.captureClient.sizeQueries(), 0);

    const auto probes = endpoint.releaseProbes();
    EXPECT_FALSE(probes.at("capture client").dataEventOpen);
    EXPECT_TRUE(probes.at("enumerator").stopEventOpen) << "the stop event is closed last";
    EXPECT_TRUE(probes.at("enumerator").comInitialised);
    EXPECT_EQ(source.stopEvent, nullptr);
    EXPECT_FALSE(comInitialisedOnThisThread());
}

// A stop wakes the waiting session at once: had it waited out its timeout instead, it
// would have drained once more before seeing the cleared flag.
TEST_F(SessionFixture, AStopWhileWaitingEndsTheLoopWithoutAnotherDrain) {
    for (bool loopback : {false, true}) {
        SCOPED_TRACE(loopback ? "system" : "mic");
        FakeEndpoint waiting;
        use(loopback);
        waiting.watch(source);
        CaptureStderr();
        startWorker(source, waiting.factory());
        ASSERT_TRUE(waiting.captureClient.waitForSizeQueriesAbove(0, 5000));
        const int drains = waiting.captureClient.sizeQueries();
        stop(source);
        GetCapturedStderr();

        EXPECT_EQ(waiting.captureClient.sizeQueries(), drains);
        EXPECT_FALSE(source.worker.joinable());
        EXPECT_EQ(source.stopEvent, nullptr);
        EXPECT_EQ(waiting.log().back(), "release enumerator");
    }
}

// Five data events drain five times well within what the 200 ms wait alone would take.
TEST_F(SessionFixture, EachDataEventDrainsAtOnce) {
    source.sink = &sink;
    output.attach(sink);
    CaptureStderr();
    startWorker(source, endpoint.factory());
    ASSERT_TRUE(endpoint.waitUntilStarted(5000));
    const HANDLE dataEvent = endpoint.recorded().eventHandle;

    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        const int before = endpoint.captureClient.sizeQueries();
        ASSERT_TRUE(SetEvent(dataEvent));
        ASSERT_TRUE(endpoint.captureClient.waitForSizeQueriesAbove(before, 5000));
    }
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    stop(source);
    GetCapturedStderr();
    EXPECT_LT(elapsed, std::chrono::milliseconds(800));
}

// A lost endpoint (device, its format or the audio service gone) ends its session by itself, saying
// so once, through the usual teardown; a failure of any other kind only ends that drain.
TEST_F(SessionFixture, ALostEndpointSaysSoOnceAndEndsItsSession) {
    struct Row {
        bool loopback;
        HRESULT failure;
        bool inGetBuffer;
        std::string line;
    } rows[] = {
        {true, AUDCLNT_E_DEVICE_INVALIDATED, false, "error: system capture lost (hr=0x88890004)\n"},
        {false, AUDCLNT_E_SERVICE_NOT_RUNNING, true, "error: mic capture lost (hr=0x88890010)\n"},
        {false, AUDCLNT_E_RESOURCES_INVALIDATED, false,
         "error: mic capture lost (hr=0x88890026)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        FakeEndpoint lost;
        use(row.loopback);
        lost.captureClient.failure = row.failure;
        if (row.inGetBuffer) {
            lost.captureClient.addPacket({.frames = 480});
            lost.captureClient.failGetBufferAt = 1;
        } else {
            lost.captureClient.failSizeQueryAt = 3;
        }
        lost.watch(source);
        source.running = true;
        CaptureStderr();
        runSession(source, lost.factory()); // returns by itself
        EXPECT_EQ(GetCapturedStderr(),
                  std::string(sourceLabel(source)) + " capture started\n" + row.line);
        EXPECT_EQ(lost.captureClient.sizeQueries(), row.inGetBuffer ? 1 : 3);
        const auto log = lost.log();
        EXPECT_THAT(log, ::testing::Contains("Stop"));
        EXPECT_EQ(log.back(), "release enumerator");
        EXPECT_EQ(source.stopEvent, nullptr);
    }

    FakeEndpoint failing;
    use(true);
    failing.captureClient.failure = E_FAIL;
    failing.captureClient.failSizeQueryAt = 1;
    CaptureStderr();
    startWorker(source, failing.factory());
    EXPECT_TRUE(failing.captureClient.waitForSizeQueriesAbove(3, 5000)) << "it drains on";
    stop(source);
    EXPECT_EQ(GetCapturedStderr(), "system capture started\n");
}

// Windows sends a burst of notifications for one change, for each role. A change of the
// default of the source's own flow, for the console role, is said once it settles; one that
// ends back at the captured endpoint says nothing; the registration ends with the session.
TEST_F(SessionFixture, ADefaultDeviceChangeIsSaidOnceItSettles) {
    use(true);
    const auto notify = [this](EDataFlow flow, ERole role, LPCWSTR id) {
        return endpoint.notifyDefaultChanged(flow, role, id);
    };
    const auto settle = [] { std::this_thread::sleep_for(DefaultDeviceWatch::kQuietTime * 4); };
    CaptureStderr();
    startWorker(source, endpoint.factory());
    for (int waited = 0; !notify(eCapture, eConsole, L"a microphone") && waited < 5000; ++waited) {
        Sleep(1);
    }
    for (const ERole role : {eConsole, eMultimedia, eCommunications, eConsole}) {
        notify(eRender, role, L"headset");
    }
    settle();
    notify(eRender, eConsole, L"speakers");
    notify(eRender, eConsole, FakeEndpoint::kDeviceId);
    settle();
    notify(eRender, eCommunications, L"headset");
    notify(eRender, eConsole, nullptr); // no default output at all
    settle();
    stop(source);

    const std::string changed =
        "error: system default device changed; still capturing the previous one\n";
    EXPECT_EQ(GetCapturedStderr(), "system capture started\n" + changed + changed);
    EXPECT_FALSE(notify(eRender, eConsole, L"headset")) << "still registered";
}

TEST(WaitPaced, AWaitThatCannotWaitSleepsOutItsTimeout) {
    const HANDLE none = nullptr;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(waitPaced(1, &none, 50), WAIT_FAILED);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(45));
}

// The system source keeps a silent stream playing on its endpoint: filled with silence and
// started once capture runs, topped up as the loop turns, stopped and released before
// anything else in the teardown. A failure to start it is said once and changes nothing
// else for capture.
TEST_F(SessionFixture, TheSystemSourceKeepsASilentStreamPlayingWithoutDependingOnIt) {
    use(true);
    EXPECT_EQ(runOnce(false), "system capture started\n");
    std::vector<std::string> expected = {"create enumerator",
                                         "GetDefaultAudioEndpoint",
                                         "Activate",
                                         "GetMixFormat",
                                         "Initialize",
                                         "GetService",
                                         "Start",
                                         "Activate",
                                         "keep-alive Activate",
                                         "keep-alive Initialize",
                                         "keep-alive GetBufferSize",
                                         "keep-alive GetService",
                                         "keep-alive GetCurrentPadding",
                                         "keep-alive fill 480 silent",
                                         "keep-alive Start",
                                         "Stop",
                                         "keep-alive Stop",
                                         "release keep-alive render client",
                                         "release keep-alive client",
                                         "release capture client",
                                         "release audio client",
                                         "release device",
                                         "release enumerator"};
    EXPECT_THAT(endpoint.log(), ElementsAreArray(expected));

    // Where loopback delivers without it, there is none: not even the device is activated
    // a second time.
    FakeEndpoint bare;
    bare.watch(source);
    source.keepAlive = false;
    CaptureStderr();
    runSession(source, bare.factory());
    EXPECT_EQ(GetCapturedStderr(), "system capture started\n");
    std::erase_if(expected, [](const std::string& entry) {
        return entry.find("keep-alive") != std::string::npos;
    });
    expected.erase(expected.begin() + 7); // the keep-alive's Activate
    EXPECT_THAT(bare.log(), ElementsAreArray(expected));
    source.keepAlive = true;

    for (const char* failing : {"", "Activate", "Initialize", "GetBufferSize", "GetService",
                                "Start", "GetCurrentPadding"}) {
        SCOPED_TRACE(failing);
        FakeEndpoint keptAlive;
        keptAlive.keepAliveFailsAt = failing;
        CaptureStderr();
        startWorker(source, keptAlive.factory());
        ASSERT_TRUE(keptAlive.captureClient.waitForSizeQueriesAbove(3, 5000)) << "it captures";
        stop(source);
        const bool running =
            std::string(failing).empty() || std::string(failing) == "GetCurrentPadding";
        EXPECT_EQ(GetCapturedStderr(),
                  std::string(running ? ""
                                      : "error: system keep-alive stream refused (hr=0x88890004); "
                                        "while nothing plays, the device may deliver nothing and "
                                        "pauses may come out late\n") +
                      "system capture started\n");
        const auto log = keptAlive.log();
        const auto count = [&log](const std::string& entry) {
            return std::count(log.begin(), log.end(), entry);
        };
        EXPECT_EQ(count("release keep-alive client"), std::string(failing) == "Activate" ? 0 : 1);
        EXPECT_EQ(count("keep-alive Stop"), running                              ? 1
                                            : std::string(failing) == "Activate" ? 0
                                                                                 : 1);
        if (running) {
            EXPECT_GT(count("keep-alive GetCurrentPadding"), 2) << "topped up as the loop turns";
        }
        EXPECT_EQ(log.back(), "release enumerator");
    }
}
