#pragma once

#include "platform/posix/audio.h"

#include <pulse/pulseaudio.h>

#include <string>
#include <vector>

namespace dualcap::pulse {

class Connection;

// Endpoint ids in this layer: a render endpoint is its sink's name, a capture endpoint its
// source's, widened byte by byte (only equality matters to those who compare them).
std::wstring endpointId(const std::string& name);

// The server's default sink and source, followed for the notification clients registered
// with an enumerator of the connection. Each change reaches every client as
// OnDefaultDeviceChanged, once for each role (the server has one default a direction), from
// the thread that turns the connection's loop. Every call holds the connection's lock.
class DefaultDeviceEvents {
public:
    explicit DefaultDeviceEvents(const Connection& connection) : connection_(connection) {}

    // The first one subscribes to the server's changes, and learns today's defaults.
    HRESULT add(IMMNotificationClient* client);
    HRESULT remove(IMMNotificationClient* client);

private:
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                              uint32_t index, void* userdata);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
    void follow(const pa_server_info& info);

    const Connection& connection_;
    std::vector<IMMNotificationClient*> clients_;
    bool subscribed_ = false;
    bool known_ = false; // the defaults below have been learnt
    std::string sink_;
    std::string source_;
};

} // namespace dualcap::pulse
