#include "capture/default_device_watch.h"

#include "platform/audio_ids.h"

namespace dualcap {

void DefaultDeviceWatch::start(IMMDeviceEnumerator* enumerator, IMMDevice* captured,
                               EDataFlow flow) {
    {
        std::lock_guard guard(lock_);
        flow_ = flow;
        LPWSTR id = nullptr;
        if (SUCCEEDED(captured->GetId(&id)) && id != nullptr) {
            captured_ = id;
        }
        CoTaskMemFree(id);
    }
    if (SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(this))) {
        enumerator_ = enumerator;
    }
}

void DefaultDeviceWatch::stop() {
    if (enumerator_ != nullptr) {
        enumerator_->UnregisterEndpointNotificationCallback(this);
        enumerator_ = nullptr;
    }
}

bool DefaultDeviceWatch::changeSettled(Clock::time_point now) {
    std::lock_guard guard(lock_);
    if (!latest_ || now - latestAt_ < kQuietTime) {
        return false;
    }
    const std::wstring settled = std::move(*latest_);
    latest_.reset();
    if (settled == captured_) {
        told_.reset(); // back where it started: a later change is news again
        return false;
    }
    if (settled == told_) {
        return false;
    }
    told_ = settled;
    return true;
}

HRESULT DefaultDeviceWatch::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMMNotificationClient)) {
        *object = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT DefaultDeviceWatch::OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR defaultDeviceId) {
    std::lock_guard guard(lock_);
    if (flow == flow_ && role == eConsole) {
        // No id: no default endpoint of this flow at all, which is a change too.
        latest_ = defaultDeviceId != nullptr ? defaultDeviceId : L"";
        latestAt_ = Clock::now();
    }
    return S_OK;
}

} // namespace dualcap
