#pragma once

#include "capture/session.h"
#include "core/capture_source.h"
#include "fakes/fake_capture_client.h"
#include "platform/win32.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dualcap::test {

// Whether the calling thread is in a COM apartment, asked without changing that.
bool comInitialisedOnThisThread();

// A log that several endpoints can share, to see the order of calls across sources.
class CallLog {
public:
    void add(std::string entry);
    std::vector<std::string> entries() const;

private:
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
};

// What the session had let go of when it released one of its objects.
struct ReleaseProbe {
    bool comInitialised;
    bool stopEventOpen;
    bool dataEventOpen;
};

// A scripted default endpoint: enumerator, device and audio client, each of whose set-up
// calls can be made to fail. It logs the set-up calls, Stop and every final Release, and
// records the arguments the session passed.
class FakeEndpoint {
public:
    explicit FakeEndpoint(std::string name = {}, std::shared_ptr<CallLog> log = nullptr);
    ~FakeEndpoint();
    FakeEndpoint(const FakeEndpoint&) = delete;
    FakeEndpoint& operator=(const FakeEndpoint&) = delete;

    // The result of each step; any failure code makes the step fail.
    struct Results {
        HRESULT create = S_OK;
        HRESULT defaultEndpoint = S_OK;
        HRESULT activate = S_OK;
        HRESULT mixFormat = S_OK;
        HRESULT initialize = S_OK;
        HRESULT getService = S_OK;
        HRESULT start = S_OK;
    } results;

    // Given out by GetMixFormat, in memory the session frees with CoTaskMemFree.
    WAVEFORMATEXTENSIBLE mixFormat;
    // The keep-alive render stream: its buffer, what it holds unplayed, and the call of it
    // that fails ("Activate", "Initialize", "GetBufferSize", "GetService", "Start",
    // "GetCurrentPadding"), if any.
    UINT32 keepAliveBufferFrames = 4800;
    UINT32 keepAlivePadding = 4320;
    std::string keepAliveFailsAt;
    FakeCaptureClient captureClient;

    struct Recorded {
        EDataFlow flow = eAll;
        ERole role = eCommunications;
        IID activateIid{};
        DWORD activateContext = 0;
        bool activationParams = false;
        AUDCLNT_SHAREMODE shareMode = AUDCLNT_SHAREMODE_EXCLUSIVE;
        DWORD streamFlags = 0;
        REFERENCE_TIME bufferDuration = -1;
        REFERENCE_TIME periodicity = -1;
        const WAVEFORMATEX* initializeFormat = nullptr;
        const WAVEFORMATEX* givenFormat = nullptr;
        bool sessionGuid = false;
        HANDLE eventHandle = nullptr;
        IID serviceIid{};
    };
    Recorded recorded() const;

    // Set-up calls, "Stop" and "release <object>", each behind "<name>: " if named.
    std::vector<std::string> log() const { return log_->entries(); }
    std::map<std::string, ReleaseProbe> releaseProbes() const;

    // For the release probes: the source whose stop event to look at.
    void watch(const CaptureSource& source) { source_ = &source; }
    EnumeratorFactory factory();
    bool waitUntilStarted(int timeoutMs) const;

    // The device's id.
    static constexpr wchar_t kDeviceId[] = L"fake device";
    // Tells the registered notification client, as Windows does from a thread of its own;
    // false if none is registered.
    bool notifyDefaultChanged(EDataFlow flow, ERole role, LPCWSTR id);

private:
    class Enumerator;
    class Device;
    class AudioClient;
    class KeepAlive;

    void record(const std::string& entry);
    void released(const std::string& object);

    std::string name_;
    std::shared_ptr<CallLog> log_;
    const CaptureSource* source_ = nullptr;
    std::unique_ptr<Enumerator> enumerator_;
    std::unique_ptr<Device> device_;
    std::unique_ptr<AudioClient> audioClient_;
    std::unique_ptr<KeepAlive> keepAlive_;

    mutable std::mutex lock_;
    mutable std::condition_variable startedChanged_;
    bool started_ = false;
    IMMNotificationClient* notificationClient_ = nullptr;
    Recorded recorded_;
    std::map<std::string, ReleaseProbe> probes_;
};

} // namespace dualcap::test
