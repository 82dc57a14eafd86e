#include "platform/pulse/server_stream.h"

namespace dualcap::pulse {

ServerStream::~ServerStream() {
    if (stream_ == nullptr) {
        return;
    }
    Connection::Lock lock(*connection_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

HRESULT ServerStream::create(const SourceDescription& endpoint, pa_sample_spec& spec) {
    if (!connection_->connected()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    spec = {PA_SAMPLE_FLOAT32LE, endpoint.spec.rate, endpoint.spec.channels};
    stream_ = pa_stream_new(connection_->context(), "dualcap", &spec, &endpoint.channels);
    if (stream_ == nullptr) {
        return AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }
    pa_stream_set_state_callback(stream_, onStateChanged, this);
    return S_OK;
}

HRESULT ServerStream::connected() {
    while (pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        connection_->wait();
    }
    return failure_.load();
}

HRESULT ServerStream::run(bool running) {
    Connection::Lock lock(*connection_);
    if (const HRESULT failure = failure_.load(); FAILED(failure)) {
        return failure;
    }
    connection_->complete(pa_stream_cork(stream_, running ? 0 : 1, nullptr, nullptr));
    return failure_.load();
}

void ServerStream::onStateChanged(pa_stream* stream, void* self) {
    auto* server = static_cast<ServerStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        server->failure_ = server->connection_->connected() ? AUDCLNT_E_DEVICE_INVALIDATED
                                                            : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
}

} // namespace dualcap::pulse
