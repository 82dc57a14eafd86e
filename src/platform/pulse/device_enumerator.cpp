#include "platform/posix/device_enumerator.h"

#include "platform/pulse/audio_client.h"
#include "platform/pulse/com_object.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/default_device_events.h"

#include <cstring>

namespace dualcap::pulse {
namespace {

// A default endpoint, fixed when it was asked for: a later change of the server's
// default does not move it, as a Windows device object does not move.
class Device : public ComObject<IMMDevice, IID_IMMDevice> {
public:
    Device(std::shared_ptr<Connection> connection, SourceDescription source, EDataFlow flow)
        : connection_(std::move(connection)), source_(std::move(source)), flow_(flow) {}

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!IsEqualGUID(iid, IID_IAudioClient)) {
            return E_NOINTERFACE;
        }
        *object =
            static_cast<IAudioClient*>(new AudioClient(connection_, source_, flow_ == eRender));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        const std::wstring name = endpointId(flow_ == eRender ? source_.sink : source_.name);
        const std::size_t bytes = (name.size() + 1) * sizeof(wchar_t);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (*id == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(*id, name.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
        if (state == nullptr) {
            return E_POINTER;
        }
        *state = DEVICE_STATE_ACTIVE;
        return S_OK;
    }

private:
    const std::shared_ptr<Connection> connection_;
    const SourceDescription source_;
    const EDataFlow flow_;
};

class DeviceEnumerator : public ComObject<IMMDeviceEnumerator, IID_IMMDeviceEnumerator> {
public:
    explicit DeviceEnumerator(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {}

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return E_NOTIMPL;
    }
    // The role is accepted and not used: the server has one default per direction.
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole,
                                                      IMMDevice** endpoint) override {
        if (endpoint == nullptr) {
            return E_POINTER;
        }
        *endpoint = nullptr;
        SourceDescription source;
        const HRESULT hr = findDefaultSource(*connection_, flow, source);
        if (FAILED(hr)) {
            return hr;
        }
        *endpoint = new Device(connection_, std::move(source), flow);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    // Of the notifications, only changes of the defaults are sent.
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        Connection::Lock lock(*connection_);
        return connection_->defaultDeviceEvents().add(client);
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        Connection::Lock lock(*connection_);
        return connection_->defaultDeviceEvents().remove(client);
    }

private:
    const std::shared_ptr<Connection> connection_;
};

} // namespace
} // namespace dualcap::pulse

namespace dualcap::posix {

HRESULT createDeviceEnumerator(REFIID iid, void** object) {
    std::shared_ptr<pulse::Connection> connection;
    const HRESULT hr = pulse::Connection::open(connection);
    if (FAILED(hr)) {
        return hr;
    }
    auto* enumerator = new pulse::DeviceEnumerator(std::move(connection));
    const HRESULT result = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return result;
}

} // namespace dualcap::posix
