#include "platform/pulse/default_device_events.h"

#include "platform/pulse/connection.h"

#include <algorithm>

namespace dualcap::pulse {

std::wstring endpointId(const std::string& name) {
    return {name.begin(), name.end()};
}

HRESULT DefaultDeviceEvents::add(IMMNotificationClient* client) {
    if (client == nullptr) {
        return E_POINTER;
    }
    if (!subscribed_) {
        pa_context* context = connection_.context();
        pa_context_set_subscribe_callback(context, onServerEvent, this);
        if (!connection_.complete(
                pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) ||
            !connection_.complete(pa_context_get_server_info(context, onServerInfo, this))) {
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        subscribed_ = true;
    }
    clients_.push_back(client);
    return S_OK;
}

HRESULT DefaultDeviceEvents::remove(IMMNotificationClient* client) {
    const auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) {
        return E_INVALIDARG;
    }
    clients_.erase(found);
    return S_OK;
}

void DefaultDeviceEvents::onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                                        uint32_t, void* userdata) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) {
        return;
    }
    // Asked after the event, the answer holds the change. The connection cancels it if it
    // ends first, so it never outlives this object.
    pa_operation* operation = pa_context_get_server_info(context, onServerInfo, userdata);
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

void DefaultDeviceEvents::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    if (info != nullptr) {
        static_cast<DefaultDeviceEvents*>(userdata)->follow(*info);
    }
}

void DefaultDeviceEvents::follow(const pa_server_info& info) {
    const std::string sink = info.default_sink_name != nullptr ? info.default_sink_name : "";
    const std::string source = info.default_source_name != nullptr ? info.default_source_name : "";
    const bool first = !known_;
    known_ = true;
    const auto changed = [&](std::string& known, const std::string& now, EDataFlow flow) {
        if (first || known == now) {
            known = now;
            return;
        }
        known = now;
        const std::wstring id = endpointId(now);
        for (IMMNotificationClient* client : clients_) {
            for (const ERole role : {eConsole, eMultimedia, eCommunications}) {
                client->OnDefaultDeviceChanged(flow, role, now.empty() ? nullptr : id.c_str());
            }
        }
    };
    changed(sink_, sink, eRender);
    changed(source_, source, eCapture);
}

} // namespace dualcap::pulse
