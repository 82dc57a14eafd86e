#include "capture/default_device_watch.h"
#include "capture/session.h"
#include "platform/audio_ids.h"
#include "platform/pulse/main_loop.h"
#include "platform/win32.h"
#include "pulse/private_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include <sys/time.h>
#include <unistd.h>

using namespace dualcap;
using dualcap::test::PrivateServer;

namespace {

template <class T>
struct Releaser {
    void operator()(T* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, Releaser<T>>;

struct FormatFree {
    void operator()(WAVEFORMATEX* format) const { CoTaskMemFree(format); }
};

// The default endpoint of one direction, activated.
struct Endpoint {
    explicit Endpoint(EDataFlow flow) {
        IMMDeviceEnumerator* rawEnumerator = nullptr;
        EXPECT_EQ(createEndpointEnumerator(&rawEnumerator), S_OK);
        enumerator.reset(rawEnumerator);
        IMMDevice* rawDevice = nullptr;
        EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &rawDevice), S_OK);
        device.reset(rawDevice);
        void* rawClient = nullptr;
        EXPECT_EQ(device->Activate(dualcap::IID_IAudioClient, CLSCTX_ALL, nullptr, &rawClient),
                  S_OK);
        client.reset(static_cast<IAudioClient*>(rawClient));
        WAVEFORMATEX* rawFormat = nullptr;
        EXPECT_EQ(client->GetMixFormat(&rawFormat), S_OK);
        format.reset(rawFormat);
    }

    HRESULT initialize(DWORD flags) {
        return client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 1'000'000, 0, format.get(),
                                  nullptr);
    }

    ComPtr<IAudioCaptureClient> captureClient() {
        void* raw = nullptr;
        EXPECT_EQ(client->GetService(dualcap::IID_IAudioCaptureClient, &raw), S_OK);
        return ComPtr<IAudioCaptureClient>(static_cast<IAudioCaptureClient*>(raw));
    }

    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> client;
    std::unique_ptr<WAVEFORMATEX, FormatFree> format;
};

// What a run of packets said of their time: their device positions must follow on from
// each other, and their clock readings keep to the time their frames cover.
struct Positions {
    bool started = false;
    UINT64 nextDevicePosition = 0;
    UINT64 firstCounter = 0;
    UINT64 framesSinceFirst = 0;
    int breaks = 0;             // packets whose device position does not follow on
    double worstCounterLag = 0; // seconds
};

// Drains every pending packet; returns the frames, or the first failure.
HRESULT drain(IAudioCaptureClient* capture, UINT32& frames, int& silentPackets,
              Positions& positions, double rate) {
    UINT32 pending = 0;
    HRESULT hr;
    while (SUCCEEDED(hr = capture->GetNextPacketSize(&pending)) && pending != 0) {
        BYTE* data = nullptr;
        UINT32 count = 0;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 counter = 0;
        if (FAILED(hr = capture->GetBuffer(&data, &count, &flags, &devicePosition, &counter))) {
            return hr;
        }
        if (!positions.started) {
            positions = {true, devicePosition, counter};
        }
        positions.breaks += devicePosition != positions.nextDevicePosition;
        const double lag = static_cast<double>(counter - positions.firstCounter) / 1e7 -
                           static_cast<double>(positions.framesSinceFirst) / rate;
        positions.worstCounterLag = std::max(positions.worstCounterLag, std::abs(lag));
        positions.nextDevicePosition = devicePosition + count;
        positions.framesSinceFirst += count;
        frames += count;
        silentPackets += (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
        capture->ReleaseBuffer(count);
    }
    return hr;
}

// Asks for the next packet's size for up to two seconds; what the first failing call
// gave, or S_OK if none failed.
HRESULT firstFailure(IAudioCaptureClient* capture) {
    UINT32 pending = 0;
    HRESULT hr = S_OK;
    for (int i = 0; i < 100 && hr == S_OK; ++i) {
        Sleep(20);
        hr = capture->GetNextPacketSize(&pending);
    }
    return hr;
}

// One server for the suite: speakers at 48 kHz stereo, a microphone at 44.1 kHz mono
// (the monitor of a null sink that a tone plays into).
class PulseLayer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new PrivateServer();
        server->pactl("load-module module-null-sink sink_name=speakers rate=48000 channels=2");
        server->pactl("load-module module-null-sink sink_name=microphone rate=44100 channels=1");
        server->pactl("load-module module-sine sink=microphone frequency=440");
        server->pactl("load-module module-sine sink=speakers frequency=1000");
        server->pactl("set-default-sink speakers");
        server->pactl("set-default-source microphone.monitor");
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }

    static PrivateServer* server;
};
PrivateServer* PulseLayer::server = nullptr;

} // namespace

TEST_F(PulseLayer, MixFormatsAreFloatInTheDevicesOwnRateAndChannels) {
    for (auto [flow, channels, rate] : {std::tuple{eCapture, 1, 44100}, {eRender, 2, 48000}}) {
        Endpoint endpoint(flow);
        const auto& format = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(*endpoint.format);
        EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(format.Format.cbSize, 22);
        EXPECT_TRUE(IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
        EXPECT_EQ(format.Format.wBitsPerSample, 32);
        EXPECT_EQ(format.Format.nChannels, channels);
        EXPECT_EQ(format.Format.nSamplesPerSec, static_cast<DWORD>(rate));
        EXPECT_EQ(format.Format.nBlockAlign, 4 * channels);
    }
}

// About a second of capture: the packets' frames add up to the device's rate, and the
// data event fires as they come.
TEST_F(PulseLayer, PacketsAddUpToTheRateAndSignalTheEvent) {
    for (auto [flow, flags, rate] :
         {std::tuple{eCapture, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 44100.0},
          {eRender, AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 48000.0}}) {
        Endpoint endpoint(flow);
        ASSERT_EQ(endpoint.initialize(flags), S_OK);
        const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(endpoint.client->SetEventHandle(event), S_OK);
        auto capture = endpoint.captureClient();
        ASSERT_EQ(endpoint.client->Start(), S_OK);

        // Counted from the first packet on: a monitor may take a moment to deliver.
        UINT32 frames = 0;
        int silent = 0;
        Positions positions;
        for (int wait = 0; frames == 0; ++wait) {
            ASSERT_LT(wait, 50) << "no data within ten seconds";
            WaitForSingleObject(event, 200);
            ASSERT_EQ(drain(capture.get(), frames, silent, positions, rate), S_OK);
        }
        const auto first = std::chrono::steady_clock::now();
        frames = 0;
        int signalled = 0;
        while (std::chrono::steady_clock::now() - first < std::chrono::seconds(1)) {
            signalled += WaitForSingleObject(event, 200) == WAIT_OBJECT_0;
            ASSERT_EQ(drain(capture.get(), frames, silent, positions, rate), S_OK);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
        EXPECT_NEAR(frames / seconds, rate, rate * 0.1);
        EXPECT_GT(signalled, 20);
        EXPECT_EQ(positions.breaks, 0) << "nothing was lost";
        EXPECT_LT(positions.worstCounterLag, 0.05) << "the clock readings keep time";
        EXPECT_EQ(endpoint.client->Stop(), S_OK);
        CloseHandle(event);
    }
}

TEST_F(PulseLayer, MisuseGetsTheCodesWindowsGives) {
    Endpoint microphone(eCapture);
    EXPECT_EQ(microphone.client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(microphone.initialize(AUDCLNT_STREAMFLAGS_LOOPBACK), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    auto otherRate = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(*microphone.format);
    otherRate.Format.nSamplesPerSec = 8000;
    EXPECT_EQ(microphone.client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1'000'000, 0,
                                            &otherRate.Format, nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    ASSERT_EQ(microphone.initialize(AUDCLNT_STREAMFLAGS_EVENTCALLBACK), S_OK);
    EXPECT_EQ(microphone.initialize(AUDCLNT_STREAMFLAGS_EVENTCALLBACK),
              AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_EQ(microphone.client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);

    Endpoint speakers(eRender);
    ASSERT_EQ(speakers.initialize(0), S_OK) << "a render stream, which cannot be captured";
    void* service = nullptr;
    EXPECT_EQ(speakers.client->GetService(dualcap::IID_IAudioCaptureClient, &service),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(speakers.client->SetEventHandle(nullptr), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);

    Endpoint loopback(eRender);
    ASSERT_EQ(loopback.initialize(AUDCLNT_STREAMFLAGS_LOOPBACK), S_OK);
    auto capture = loopback.captureClient();
    ASSERT_EQ(loopback.client->Start(), S_OK);
    UINT32 pending = 0;
    for (int i = 0; i < 100 && pending == 0; ++i) {
        Sleep(20);
        ASSERT_EQ(capture->GetNextPacketSize(&pending), S_OK);
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, pending);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(capture->ReleaseBuffer(frames + 1), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
}

// A render stream plays to the sink: its buffer is filled, played out as it runs, and the
// server holds it as one of its playback streams until it is released.
TEST_F(PulseLayer, ARenderStreamPlaysWhatIsWrittenToTheSink) {
    const auto playbackStreams = [] {
        const std::string list = server->pactl("list short sink-inputs");
        std::size_t count = 0;
        for (std::size_t at = 0; (at = list.find("protocol-native", at)) != std::string::npos;
             ++at) {
            ++count;
        }
        return count;
    };
    {
        Endpoint speakers(eRender);
        ASSERT_EQ(speakers.initialize(0), S_OK);
        UINT32 bufferFrames = 0;
        ASSERT_EQ(speakers.client->GetBufferSize(&bufferFrames), S_OK);
        EXPECT_NEAR(bufferFrames, 4800, 48) << "100 ms at 48 kHz";
        void* raw = nullptr;
        ASSERT_EQ(speakers.client->GetService(dualcap::IID_IAudioRenderClient, &raw), S_OK);
        ComPtr<IAudioRenderClient> render(static_cast<IAudioRenderClient*>(raw));
        BYTE* data = nullptr;
        EXPECT_EQ(render->GetBuffer(bufferFrames + 1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
        ASSERT_EQ(render->GetBuffer(bufferFrames, &data), S_OK);
        EXPECT_EQ(render->GetBuffer(1, &data), AUDCLNT_E_OUT_OF_ORDER);
        ASSERT_EQ(render->ReleaseBuffer(bufferFrames, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
        UINT32 padding = 0;
        ASSERT_EQ(speakers.client->GetCurrentPadding(&padding), S_OK);
        EXPECT_EQ(padding, bufferFrames) << "not playing yet";
        ASSERT_EQ(speakers.client->Start(), S_OK);
        EXPECT_EQ(playbackStreams(), 1u);
        // A null sink takes what it plays in blocks as long as its latency, up to a second.
        for (int wait = 0; wait < 60 && padding == bufferFrames; ++wait) {
            Sleep(50);
            ASSERT_EQ(speakers.client->GetCurrentPadding(&padding), S_OK);
        }
        EXPECT_LT(padding, bufferFrames) << "it plays";
        EXPECT_EQ(speakers.client->Stop(), S_OK);
    }
    EXPECT_EQ(playbackStreams(), 0u);
}

TEST_F(PulseLayer, AStreamWhoseDeviceGoesAwayReportsItInvalidated) {
    const std::string module =
        server->pactl("load-module module-null-sink sink_name=headset rate=48000 channels=2");
    server->pactl("set-default-sink headset");
    Endpoint headset(eRender);
    server->pactl("set-default-sink speakers");
    ASSERT_EQ(headset.initialize(AUDCLNT_STREAMFLAGS_LOOPBACK), S_OK);
    auto capture = headset.captureClient();
    ASSERT_EQ(headset.client->Start(), S_OK);

    server->pactl("unload-module " + module);
    EXPECT_EQ(firstFailure(capture.get()), AUDCLNT_E_DEVICE_INVALIDATED);
}

// A new default sink reaches a watch of the old one while its monitor is polled, which
// turns the connection; the change back to the device it captures says nothing.
TEST_F(PulseLayer, ANewDefaultSinkReachesAWatchOfTheOldOne) {
    Endpoint speakers(eRender);
    ASSERT_EQ(speakers.initialize(AUDCLNT_STREAMFLAGS_LOOPBACK), S_OK);
    auto capture = speakers.captureClient();
    ASSERT_EQ(speakers.client->Start(), S_OK);
    DefaultDeviceWatch watch;
    watch.start(speakers.enumerator.get(), speakers.device.get(), eRender);
    const auto pollFor = [&](int milliseconds) {
        bool said = false;
        UINT32 frames = 0;
        int silent = 0;
        Positions positions;
        for (int waited = 0; waited < milliseconds && !said; waited += 10) {
            Sleep(10);
            EXPECT_EQ(drain(capture.get(), frames, silent, positions, 48000.0), S_OK);
            said = watch.changeSettled();
        }
        return said;
    };
    server->pactl("set-default-sink microphone");
    EXPECT_TRUE(pollFor(5000));
    server->pactl("set-default-sink speakers");
    EXPECT_FALSE(pollFor(500));
    watch.stop();
}

// With no server, or none any more, or no device, each call fails as the Windows one
// would, at once: nothing hangs.
TEST(PulseLayerWithoutAServer, FailsCleanlyAtEachStage) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        PrivateServer empty;
        IMMDeviceEnumerator* enumerator = nullptr;
        ASSERT_EQ(createEndpointEnumerator(&enumerator), S_OK);
        IMMDevice* device = nullptr;
        EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), E_NOTFOUND);
        EXPECT_EQ(device, nullptr);

        empty.pactl("load-module module-null-sink sink_name=speakers");
        empty.pactl("set-default-sink speakers");
        Endpoint speakers(eRender);
        ASSERT_EQ(speakers.initialize(AUDCLNT_STREAMFLAGS_LOOPBACK), S_OK);
        auto capture = speakers.captureClient();
        ASSERT_EQ(speakers.client->Start(), S_OK);
        empty.kill();
        EXPECT_EQ(firstFailure(capture.get()), AUDCLNT_E_SERVICE_NOT_RUNNING);
        EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device),
                  AUDCLNT_E_SERVICE_NOT_RUNNING);
        enumerator->Release();
    }
    IMMDeviceEnumerator* enumerator = nullptr;
    EXPECT_EQ(createEndpointEnumerator(&enumerator), AUDCLNT_E_SERVICE_NOT_RUNNING);
    CoUninitialize();
}

// The loop libpulse runs on: deferred work runs at once without waiting, a timer when it is
// due, a descriptor when it is ready, a freed event's destroy callback once; and a round
// with none of these ends when another thread interrupts it.
TEST(MainLoop, RunsDeferredWorkTimersAndDescriptorsAndIsInterrupted) {
    pulse::MainLoop loop;
    ASSERT_TRUE(loop.valid());
    pa_mainloop_api* api = loop.api();
    int calls = 0;
    pa_defer_event* deferred = api->defer_new(
        api,
        [](pa_mainloop_api*, pa_defer_event*, void* counter) { ++*static_cast<int*>(counter); },
        &calls);
    EXPECT_EQ(loop.turn(-1), 1);
    api->defer_enable(deferred, 0);
    // A destroy callback is given the event's own data.
    api->defer_set_destroy(deferred, [](pa_mainloop_api*, pa_defer_event*, void* counter) {
        ++*static_cast<int*>(counter);
    });
    api->defer_free(deferred);

    timeval due{};
    gettimeofday(&due, nullptr);
    due.tv_usec += 20'000;
    api->time_new(
        api, &due,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* counter) {
            ++*static_cast<int*>(counter);
        },
        &calls);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.turn(-1), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(15));
    EXPECT_EQ(calls, 3) << "deferred work, its destroy callback and the timer";

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    pa_io_event* io = api->io_new(
        api, fds[0], PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t events, void* counter) {
            *static_cast<int*>(counter) += (events & PA_IO_EVENT_INPUT) != 0 ? 1 : 100;
        },
        &calls);
    EXPECT_EQ(loop.turn(-1), 1);
    api->io_free(io);
    EXPECT_EQ(loop.turn(0), 0) << "a freed descriptor is no longer watched";
    EXPECT_EQ(calls, 4);

    std::thread interrupter([&] {
        Sleep(20);
        loop.interrupt();
    });
    EXPECT_EQ(loop.turn(-1), 0);
    interrupter.join();
    close(fds[0]);
    close(fds[1]);
}
