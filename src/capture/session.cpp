#include "capture/session.h"

#include "capture/default_device_watch.h"
#include "capture/drain.h"
#include "capture/keep_alive.h"
#include "platform/audio_ids.h"

#include <cstdint>
#include <cstdio>

namespace dualcap {
namespace {

// 2 s, in 100-nanosecond units. Shared mode still delivers a packet every engine period, so
// this costs no latency; it is how long the reader may keep the program's writes blocked
// (a full pipe) before the platform has to drop audio.
constexpr REFERENCE_TIME kBufferDuration = 20'000'000;
constexpr DWORD kDataWaitTimeout = 200; // ms; the microphone drains at least this often
constexpr DWORD kPollInterval = 10;     // ms; loopback has no data event

// Everything a session acquires, in the order it does.
struct Session {
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDevice* device = nullptr;
    IAudioClient* audioClient = nullptr;
    WAVEFORMATEX* mixFormat = nullptr;
    HANDLE dataEvent = nullptr;
    IAudioCaptureClient* captureClient = nullptr;
    KeepAlive keepAlive; // system source only
    DefaultDeviceWatch defaultWatch;
};

void printError(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
}

unsigned long hrBits(HRESULT hr) {
    return static_cast<unsigned long>(static_cast<std::uint32_t>(hr));
}

void printStreamError(const char* label, const char* step, HRESULT hr) {
    std::fprintf(stderr, "error: %s audio client %s failed (hr=0x%08lX)\n", label, step,
                 hrBits(hr));
    std::fflush(stderr);
}

// The set-up failures users meet and can do something about. After the step's error line,
// each gets one line more: "hint: <label>: <what> (hr=0x...): <what to do>".
struct FailureHint {
    HRESULT code;
    bool microphoneOnly; // advice that would mislead for the loopback source
    const char* what;
    const char* toDo;
};

// Not constexpr: the SDK may spell E_NOTFOUND through an inline function.
const FailureHint kFailureHints[] = {
    {E_ACCESSDENIED, true, "access denied",
     "Windows' privacy settings may be blocking the microphone; allow it in Settings > Privacy "
     "& security > Microphone, \"Let desktop apps access your microphone\""},
    {AUDCLNT_E_DEVICE_IN_USE, false, "device in use",
     "another program holds the device in exclusive mode; close that program and start again"},
    {E_NOTFOUND, false, "no such device",
     "there is no default device for this source; connect or enable one and start again"},
    {AUDCLNT_E_SERVICE_NOT_RUNNING, false, "audio service not running",
     "start the Windows Audio service (on Linux, the sound server) and start again"},
};

void printHint(const CaptureSource& source, HRESULT hr) {
    const char* label = sourceLabel(source);
    for (const FailureHint& hint : kFailureHints) {
        if (hint.code == hr && !(hint.microphoneOnly && source.loopback)) {
            std::fprintf(stderr, "hint: %s: %s (hr=0x%08lX): %s\n", label, hint.what, hrBits(hr),
                         hint.toDo);
            std::fflush(stderr);
            return;
        }
    }
}

// A step of opening a source failed: its line, then the hint for the code, if there is one.
bool setUpFailed(const CaptureSource& source, const char* message, HRESULT hr) {
    printError(message);
    printHint(source, hr);
    return false;
}

bool streamSetUpFailed(const CaptureSource& source, const char* step, HRESULT hr) {
    printStreamError(sourceLabel(source), step, hr);
    printHint(source, hr);
    return false;
}

// The endpoint is gone (unplugged, reconfigured, taken exclusively), its format or spatial
// sound setting changed under the stream, or the audio service is gone: nothing more will
// come from this session, however often it asks.
bool endpointLost(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_RESOURCES_INVALIDATED ||
           hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

// A failed call's out-pointer is not ours to release, whatever it was left holding.
template <class T>
bool obtained(HRESULT hr, T*& object) {
    if (FAILED(hr)) {
        object = nullptr;
        return false;
    }
    return true;
}

template <class T>
void release(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

void closeEvent(HANDLE& event) {
    if (event != nullptr) {
        CloseHandle(event);
        event = nullptr;
    }
}

bool setUp(CaptureSource& source, Session& session, const EnumeratorFactory& createEnumerator) {
    const char* label = sourceLabel(source);
    HRESULT hr = createEnumerator(&session.enumerator);
    if (!obtained(hr, session.enumerator)) {
        return setUpFailed(source, "error: create device enumerator failed", hr);
    }
    const EDataFlow flow = source.loopback ? eRender : eCapture;
    hr = session.enumerator->GetDefaultAudioEndpoint(flow, eConsole, &session.device);
    if (!obtained(hr, session.device)) {
        return setUpFailed(source, "error: get default endpoint failed", hr);
    }
    hr = session.device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void**>(&session.audioClient));
    if (!obtained(hr, session.audioClient)) {
        return setUpFailed(source, "error: activate audio client failed", hr);
    }
    hr = session.audioClient->GetMixFormat(&session.mixFormat);
    if (!obtained(hr, session.mixFormat)) {
        return setUpFailed(source, "error: get mix format failed", hr);
    }
    const DWORD streamFlags =
        source.loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    hr = session.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlags, kBufferDuration, 0,
                                         session.mixFormat, nullptr);
    if (FAILED(hr)) {
        return streamSetUpFailed(source, "Initialize", hr);
    }
    {
        std::lock_guard guard(source.stopEventLock);
        source.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (!source.loopback) {
        // An event-driven stream cannot run without its event: if it could not be made,
        // Start fails with AUDCLNT_E_EVENTHANDLE_NOT_SET and the microphone ends with that
        // error line, as it would on Windows.
        session.dataEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (session.dataEvent != nullptr) {
            session.audioClient->SetEventHandle(session.dataEvent);
        }
    }
    hr = session.audioClient->GetService(IID_IAudioCaptureClient,
                                         reinterpret_cast<void**>(&session.captureClient));
    if (!obtained(hr, session.captureClient)) {
        return setUpFailed(source, "error: get capture service failed", hr);
    }
    hr = session.audioClient->Start();
    if (FAILED(hr)) {
        return streamSetUpFailed(source, "Start", hr);
    }
    if (source.loopback && source.keepAlive) {
        hr = startKeepAlive(session.keepAlive, session.device, *session.mixFormat, kBufferDuration);
        if (FAILED(hr)) {
            std::fprintf(stderr,
                         "error: %s keep-alive stream refused (hr=0x%08lX); while nothing "
                         "plays, the device may deliver nothing and pauses may come out late\n",
                         label, hrBits(hr));
            std::fflush(stderr);
        }
    }
    session.defaultWatch.start(session.enumerator, session.device, flow);
    std::fprintf(stderr, "%s capture started\n", label);
    std::fflush(stderr);
    return true;
}

void captureUntilStopped(CaptureSource& source, Session& session) {
    // This thread is the only one that changes stopEvent, so it may read it unlocked.
    const HANDLE stopEvent = source.stopEvent;
    while (source.running) {
        if (session.dataEvent != nullptr) {
            const HANDLE events[2] = {session.dataEvent, stopEvent};
            if (waitPaced(2, events, kDataWaitTimeout) == WAIT_OBJECT_0 + 1) {
                break;
            }
        } else if (waitPaced(1, &stopEvent, kPollInterval) == WAIT_OBJECT_0) {
            break;
        }
        topUpKeepAlive(session.keepAlive);
        if (session.defaultWatch.changeSettled()) {
            // The source is not reopened: what it was opened on is what it captures.
            std::fprintf(stderr,
                         "error: %s default device changed; still capturing the previous one\n",
                         sourceLabel(source));
            std::fflush(stderr);
        }
        const HRESULT hr = drainPackets(source, session.captureClient, *session.mixFormat);
        if (endpointLost(hr)) {
            std::fprintf(stderr, "error: %s capture lost (hr=0x%08lX)\n", sourceLabel(source),
                         hrBits(hr));
            std::fflush(stderr);
            break;
        }
    }
    session.audioClient->Stop();
    closeEvent(session.dataEvent);
}

void tearDown(CaptureSource& source, Session& session) {
    session.defaultWatch.stop();
    stopKeepAlive(session.keepAlive);
    closeEvent(session.dataEvent);
    release(session.captureClient);
    if (session.mixFormat != nullptr) {
        CoTaskMemFree(session.mixFormat);
        session.mixFormat = nullptr;
    }
    release(session.audioClient);
    release(session.device);
    release(session.enumerator);
    std::lock_guard guard(source.stopEventLock);
    closeEvent(source.stopEvent);
}

} // namespace

DWORD waitPaced(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (result == WAIT_FAILED) {
        // A wait that cannot wait (an event that could not be created) must still pace the
        // loop, or it would drain at full speed until stopped.
        Sleep(timeoutMs);
    }
    return result;
}

HRESULT createEndpointEnumerator(IMMDeviceEnumerator** enumerator) {
    return CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                            reinterpret_cast<void**>(enumerator));
}

void runSession(CaptureSource& source, const EnumeratorFactory& createEnumerator) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        printError("error: CoInitializeEx failed");
        return;
    }
    Session session;
    if (setUp(source, session, createEnumerator)) {
        captureUntilStopped(source, session);
    }
    tearDown(source, session);
    CoUninitialize();
}

} // namespace dualcap
