#pragma once

#include "platform/win32.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace dualcap {

// Hears, for one source, when the default endpoint of its flow (for the console role, the
// one it opened) changes while it captures: the source goes on with the endpoint it has, and
// the user should be told why it may have gone quiet. Windows sends several notifications
// for one change, so a change counts once they have been quiet for `kQuietTime`; a change
// that ends back at the captured endpoint counts for nothing, and one that is already told
// is not told again.
//
// It lives as long as its registration, in its owner's hands: the reference counting COM
// asks for is kept but never ends it.
class DefaultDeviceWatch final : public IMMNotificationClient {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kQuietTime = std::chrono::milliseconds(100);

    DefaultDeviceWatch() = default;
    DefaultDeviceWatch(const DefaultDeviceWatch&) = delete;
    DefaultDeviceWatch& operator=(const DefaultDeviceWatch&) = delete;
    ~DefaultDeviceWatch() { stop(); }

    // Registers with `enumerator` for the endpoint `captured` of `flow`. A platform that
    // cannot notify leaves the watch silent; capture does not depend on it.
    void start(IMMDeviceEnumerator* enumerator, IMMDevice* captured, EDataFlow flow);
    // Unregisters; no notification comes after it returns.
    void stop();
    // On the capturing thread: true once for each change that has settled by `now`.
    bool changeSettled(Clock::time_point now = Clock::now());

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                     LPCWSTR defaultDeviceId) override;
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

private:
    IMMDeviceEnumerator* enumerator_ = nullptr; // while registered; not owned

    std::mutex lock_; // the rest is shared with the platform's notifying thread
    EDataFlow flow_ = eAll;
    std::optional<std::wstring> captured_; // unknown if the device gives no id
    std::optional<std::wstring> latest_;   // the default last notified, until it settles
    Clock::time_point latestAt_;
    std::optional<std::wstring> told_; // the default last said to have changed
};

} // namespace dualcap
