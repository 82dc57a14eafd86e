#include "platform/pulse/connection.h"

#include "platform/pulse/default_device_events.h"

namespace dualcap::pulse {

HRESULT Connection::open(std::shared_ptr<Connection>& connection) {
    std::shared_ptr<Connection> opened(new Connection());
    opened->defaultDeviceEvents_ = std::make_unique<DefaultDeviceEvents>(*opened);
    if (!opened->loop_.valid()) {
        return E_OUTOFMEMORY;
    }
    opened->context_ = pa_context_new(opened->loop_.api(), "dualcap");
    if (opened->context_ == nullptr) {
        return E_OUTOFMEMORY;
    }
    Lock lock(*opened);
    if (pa_context_connect(opened->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(opened->context_);
        if (state == PA_CONTEXT_READY) {
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        opened->wait();
    }
    connection = std::move(opened);
    return S_OK;
}

Connection::~Connection() {
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
}

int Connection::turnLocked(DWORD milliseconds) const {
    // A round of an hour or more is as good as one with no limit.
    constexpr DWORD kLongest = 3'600'000;
    const int timeout = milliseconds >= kLongest ? -1 : static_cast<int>(milliseconds);
    return loop_.turn(timeout);
}

void Connection::turn(DWORD milliseconds) {
    Lock lock(*this);
    turnLocked(milliseconds);
}

void Connection::pump() const {
    Lock lock(*this);
    while (turnLocked(0) > 0) {
    }
}

void Connection::interrupt() {
    loop_.interrupt();
}

bool Connection::connected() const {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool Connection::complete(pa_operation* operation) const {
    if (operation == nullptr) {
        return false;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        wait();
    }
    pa_operation_unref(operation);
    return true;
}

namespace {

struct DefaultNames {
    bool answered = false;
    std::string sink;
    std::string source;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto& names = *static_cast<DefaultNames*>(userdata);
    if (info != nullptr) {
        names.answered = true;
        names.sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
        names.source = info->default_source_name != nullptr ? info->default_source_name : "";
    }
}

struct SinkMonitor {
    std::string name;
};

void onSinkInfo(pa_context*, const pa_sink_info* info, int endOfList, void* userdata) {
    auto& monitor = *static_cast<SinkMonitor*>(userdata);
    if (endOfList == 0 && info != nullptr && info->monitor_source_name != nullptr) {
        monitor.name = info->monitor_source_name;
    }
}

struct SourceLookup {
    SourceDescription* source;
    bool found = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int endOfList, void* userdata) {
    auto& lookup = *static_cast<SourceLookup*>(userdata);
    if (endOfList == 0 && info != nullptr) {
        lookup.source->spec = info->sample_spec;
        lookup.source->channels = info->channel_map;
        lookup.found = true;
    }
}

} // namespace

HRESULT findDefaultSource(const Connection& connection, EDataFlow flow, SourceDescription& source) {
    if (flow != eRender && flow != eCapture) {
        return E_INVALIDARG;
    }
    pa_context* context = connection.context();
    Connection::Lock lock(connection);
    DefaultNames names;
    if (!connection.complete(pa_context_get_server_info(context, onServerInfo, &names)) ||
        !names.answered) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    std::string name = names.source;
    if (flow == eRender) {
        SinkMonitor monitor;
        if (!names.sink.empty()) {
            connection.complete(pa_context_get_sink_info_by_name(context, names.sink.c_str(),
                                                                 onSinkInfo, &monitor));
        }
        name = monitor.name;
        source.sink = names.sink;
    }
    SourceLookup lookup{&source};
    if (!name.empty()) {
        source.name = name;
        connection.complete(
            pa_context_get_source_info_by_name(context, name.c_str(), onSourceInfo, &lookup));
    }
    if (!connection.connected()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    return lookup.found ? S_OK : E_NOTFOUND;
}

} // namespace dualcap::pulse
