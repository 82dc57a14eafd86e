#pragma once

#include "platform/posix/audio.h"
#include "platform/pulse/connection.h"

#include <atomic>
#include <memory>

namespace dualcap::pulse {

// A requested buffer duration (REFERENCE_TIME, 100-nanosecond units) as the server takes it.
constexpr pa_usec_t toMicroseconds(REFERENCE_TIME duration) {
    return duration > 0 ? static_cast<pa_usec_t>(duration) / 10 : 0;
}

// What the record and the playback streams share: one stream on the connection, in 32-bit
// float at an endpoint's rate and channels, watched for the failure that ends it; corking;
// and its teardown.
class ServerStream {
public:
    ServerStream(const ServerStream&) = delete;
    ServerStream& operator=(const ServerStream&) = delete;

    HRESULT run(bool running);

protected:
    explicit ServerStream(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {}
    ~ServerStream();

    // With the lock held: makes the stream, not yet connected, and gives its sample spec.
    HRESULT create(const SourceDescription& endpoint, pa_sample_spec& spec);
    // With the lock held: waits until the connection that was begun has been made or failed.
    HRESULT connected();

    const std::shared_ptr<Connection> connection_;
    pa_stream* stream_ = nullptr;
    // What every call returns once the stream or the server has gone; S_OK until then.
    std::atomic<HRESULT> failure_{S_OK};

private:
    static void onStateChanged(pa_stream* stream, void* self);
};

} // namespace dualcap::pulse
