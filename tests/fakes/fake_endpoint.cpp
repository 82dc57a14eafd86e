#include "fakes/fake_endpoint.h"

#include "platform/audio_ids.h"

#include <chrono>
#include <cstring>

namespace dualcap::test {

bool comInitialisedOnThisThread() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    return hr == S_FALSE || hr == RPC_E_CHANGED_MODE;
}

namespace {

bool isOpen(HANDLE event) {
    return event != nullptr && WaitForSingleObject(event, 0) != WAIT_FAILED;
}

// Reference counting that reports the final Release; the objects themselves belong to
// the FakeEndpoint, which outlives the session.
template <class Interface>
class Counted : public Interface {
public:
    explicit Counted(std::function<void()> onFinalRelease)
        : onFinalRelease_(std::move(onFinalRelease)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const int left = --references_;
        if (left == 0) {
            onFinalRelease_();
        }
        return static_cast<ULONG>(left);
    }

private:
    std::function<void()> onFinalRelease_;
    std::atomic<int> references_{1};
};

} // namespace

void CallLog::add(std::string entry) {
    std::lock_guard guard(lock_);
    entries_.push_back(std::move(entry));
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard guard(lock_);
    return entries_;
}

class FakeEndpoint::AudioClient : public Counted<IAudioClient> {
public:
    explicit AudioClient(FakeEndpoint& owner)
        : Counted([&owner] { owner.released("audio client"); }), owner_(owner) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID sessionGuid) override {
        owner_.record("Initialize");
        std::lock_guard guard(owner_.lock_);
        auto& r = owner_.recorded_;
        r.shareMode = shareMode;
        r.streamFlags = streamFlags;
        r.bufferDuration = bufferDuration;
        r.periodicity = periodicity;
        r.initializeFormat = format;
        r.sessionGuid = sessionGuid != nullptr;
        return owner_.results.initialize;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        owner_.record("GetMixFormat");
        if (FAILED(owner_.results.mixFormat)) {
            return owner_.results.mixFormat;
        }
        auto* copy =
            static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
        std::memcpy(copy, &owner_.mixFormat, sizeof(WAVEFORMATEXTENSIBLE));
        *format = &copy->Format;
        std::lock_guard guard(owner_.lock_);
        owner_.recorded_.givenFormat = *format;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        owner_.record("Start");
        if (SUCCEEDED(owner_.results.start)) {
            std::lock_guard guard(owner_.lock_);
            owner_.started_ = true;
            owner_.startedChanged_.notify_all();
        }
        return owner_.results.start;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        owner_.record("Stop");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        owner_.record("SetEventHandle");
        std::lock_guard guard(owner_.lock_);
        owner_.recorded_.eventHandle = event;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override {
        owner_.record("GetService");
        {
            std::lock_guard guard(owner_.lock_);
            owner_.recorded_.serviceIid = iid;
        }
        if (FAILED(owner_.results.getService)) {
            return owner_.results.getService;
        }
        *service = static_cast<IAudioCaptureClient*>(&owner_.captureClient);
        return S_OK;
    }

private:
    FakeEndpoint& owner_;
};

// The loopback source's silent render stream: a second audio client on the same device,
// with its render service. Logs each call as "keep-alive <call>" and can fail at any one.
class FakeEndpoint::KeepAlive : public Counted<IAudioClient> {
public:
    explicit KeepAlive(FakeEndpoint& owner)
        : Counted([&owner] { owner.released("keep-alive client"); }), owner_(owner),
          render_(owner) {}

    HRESULT call(const std::string& name) const {
        owner_.record("keep-alive " + name);
        return owner_.keepAliveFailsAt == name ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME, REFERENCE_TIME, const WAVEFORMATEX* format,
                                         LPCGUID) override {
        const bool asExpected = shareMode == AUDCLNT_SHAREMODE_SHARED && streamFlags == 0 &&
                                format != nullptr &&
                                format->nSamplesPerSec == owner_.mixFormat.Format.nSamplesPerSec;
        return asExpected ? call("Initialize") : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        *frames = owner_.keepAliveBufferFrames;
        return call("GetBufferSize");
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
        *frames = owner_.keepAlivePadding;
        return call("GetCurrentPadding");
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override { return call("Start"); }
    HRESULT STDMETHODCALLTYPE Stop() override { return call("Stop"); }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override {
        if (!IsEqualGUID(iid, dualcap::IID_IAudioRenderClient)) {
            return E_NOINTERFACE;
        }
        const HRESULT hr = call("GetService");
        if (SUCCEEDED(hr)) {
            *service = static_cast<IAudioRenderClient*>(&render_);
        }
        return hr;
    }

private:
    class Render : public Counted<IAudioRenderClient> {
    public:
        explicit Render(FakeEndpoint& owner)
            : Counted([&owner] { owner.released("keep-alive render client"); }), owner_(owner) {}
        HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
            buffer_.assign(std::size_t{frames} * owner_.mixFormat.Format.nBlockAlign, 0xAB);
            *data = buffer_.data();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
            owner_.record("keep-alive fill " + std::to_string(frames) +
                          ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? " silent" : ""));
            return S_OK;
        }

    private:
        FakeEndpoint& owner_;
        std::vector<BYTE> buffer_;
    };

    FakeEndpoint& owner_;
    Render render_;
};

class FakeEndpoint::Device : public Counted<IMMDevice> {
public:
    explicit Device(FakeEndpoint& owner)
        : Counted([&owner] { owner.released("device"); }), owner_(owner) {}

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params,
                                       void** object) override {
        owner_.record("Activate");
        {
            std::lock_guard guard(owner_.lock_);
            owner_.recorded_.activateIid = iid;
            owner_.recorded_.activateContext = context;
            owner_.recorded_.activationParams = params != nullptr;
        }
        if (FAILED(owner_.results.activate)) {
            return owner_.results.activate;
        }
        // The first is the capture stream's; a second, the loopback source's keep-alive.
        if (activations_++ == 0) {
            *object = static_cast<IAudioClient*>(owner_.audioClient_.get());
            return S_OK;
        }
        const HRESULT hr = owner_.keepAlive_->call("Activate");
        *object = SUCCEEDED(hr) ? static_cast<IAudioClient*>(owner_.keepAlive_.get()) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kDeviceId));
        std::memcpy(*id, kDeviceId, sizeof kDeviceId);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return E_NOTIMPL; }

private:
    FakeEndpoint& owner_;
    std::atomic<int> activations_{0};
};

class FakeEndpoint::Enumerator : public Counted<IMMDeviceEnumerator> {
public:
    explicit Enumerator(FakeEndpoint& owner)
        : Counted([&owner] { owner.released("enumerator"); }), owner_(owner) {}

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice** endpoint) override {
        owner_.record("GetDefaultAudioEndpoint");
        {
            std::lock_guard guard(owner_.lock_);
            owner_.recorded_.flow = flow;
            owner_.recorded_.role = role;
        }
        if (FAILED(owner_.results.defaultEndpoint)) {
            return owner_.results.defaultEndpoint;
        }
        *endpoint = owner_.device_.get();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        std::lock_guard guard(owner_.lock_);
        owner_.notificationClient_ = client;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        std::lock_guard guard(owner_.lock_);
        if (owner_.notificationClient_ != client) {
            return E_INVALIDARG;
        }
        owner_.notificationClient_ = nullptr;
        return S_OK;
    }

private:
    FakeEndpoint& owner_;
};

FakeEndpoint::FakeEndpoint(std::string name, std::shared_ptr<CallLog> log)
    : name_(std::move(name)), log_(log ? std::move(log) : std::make_shared<CallLog>()),
      enumerator_(std::make_unique<Enumerator>(*this)), device_(std::make_unique<Device>(*this)),
      audioClient_(std::make_unique<AudioClient>(*this)),
      keepAlive_(std::make_unique<KeepAlive>(*this)) {
    // What Windows reports for a typical shared-mode device: 48 kHz stereo float.
    mixFormat = {};
    mixFormat.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    mixFormat.Format.nChannels = 2;
    mixFormat.Format.nSamplesPerSec = 48000;
    mixFormat.Format.wBitsPerSample = 32;
    mixFormat.Format.nBlockAlign = 8;
    mixFormat.Format.nAvgBytesPerSec = 48000 * 8;
    mixFormat.Format.cbSize = 22;
    mixFormat.Samples.wValidBitsPerSample = 32;
    mixFormat.dwChannelMask = 3;
    mixFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    captureClient.onRelease = [this] { released("capture client"); };
}

FakeEndpoint::~FakeEndpoint() = default;

FakeEndpoint::Recorded FakeEndpoint::recorded() const {
    std::lock_guard guard(lock_);
    return recorded_;
}

std::map<std::string, ReleaseProbe> FakeEndpoint::releaseProbes() const {
    std::lock_guard guard(lock_);
    return probes_;
}

EnumeratorFactory FakeEndpoint::factory() {
    return [this](IMMDeviceEnumerator** enumerator) {
        record("create enumerator");
        if (FAILED(results.create)) {
            return results.create;
        }
        *enumerator = enumerator_.get();
        return S_OK;
    };
}

bool FakeEndpoint::notifyDefaultChanged(EDataFlow flow, ERole role, LPCWSTR id) {
    // Held through the call, so that the client cannot unregister and go meanwhile.
    std::lock_guard guard(lock_);
    if (notificationClient_ == nullptr) {
        return false;
    }
    notificationClient_->OnDefaultDeviceChanged(flow, role, id);
    return true;
}

bool FakeEndpoint::waitUntilStarted(int timeoutMs) const {
    std::unique_lock guard(lock_);
    return startedChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [this] { return started_; });
}

void FakeEndpoint::record(const std::string& entry) {
    log_->add(name_.empty() ? entry : name_ + ": " + entry);
}

void FakeEndpoint::released(const std::string& object) {
    record("release " + object);
    const ReleaseProbe probe{comInitialisedOnThisThread(),
                             source_ != nullptr && isOpen(source_->stopEvent),
                             isOpen(recorded().eventHandle)};
    std::lock_guard guard(lock_);
    probes_[object] = probe;
}

} // namespace dualcap::test
