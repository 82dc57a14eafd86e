#pragma once

#include "platform/posix/audio.h"
#include "platform/posix/events.h"
#include "platform/pulse/main_loop.h"

#include <pulse/pulseaudio.h>

#include <memory>
#include <mutex>
#include <string>

namespace dualcap::pulse {

class DefaultDeviceEvents;

// One connection to the sound server: a main loop and a context, shared by the objects an
// enumerator hands out and ended when the last of them is released. It has no thread of
// its own: the thread that uses it turns its loop, while it waits for an answer, while it
// waits on a stream's data event, and when it polls a stream for data. A program that
// captures two sources thus wakes once for each packet of each, not once more for a loop
// thread that hands the packet on.
class Connection final : public posix::EventSource {
public:
    // Connects to the server that the environment names (PULSE_SERVER, or the user's
    // default); never starts one. AUDCLNT_E_SERVICE_NOT_RUNNING when there is none.
    static HRESULT open(std::shared_ptr<Connection>& connection);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Every call into libpulse holds this, and so does each turn of the loop, which runs
    // the callbacks: one thread at a time uses the connection. Callbacks may take it again.
    class Lock {
    public:
        explicit Lock(const Connection& connection) : guard_(connection.lock_) {}

    private:
        std::lock_guard<std::recursive_mutex> guard_;
    };

    pa_context* context() const { return context_; }
    // With the lock held: whether the server is still there.
    bool connected() const;
    // With the lock held: waits until the operation has ended (done, or cancelled because
    // the server went away) and lets go of it. False if it could not be started.
    bool complete(pa_operation* operation) const;
    // With the lock held: turns the loop until something has happened, for a caller that
    // waits for a callback to change what it looks at.
    void wait() const { turnLocked(INFINITE); }
    // Handles whatever has come from the server, without waiting for more.
    void pump() const;
    // With the lock held: the changes of the server's defaults, for notification clients.
    DefaultDeviceEvents& defaultDeviceEvents() const { return *defaultDeviceEvents_; }

    void turn(DWORD milliseconds) override;
    void interrupt() override;

private:
    Connection() = default;
    // With the lock held: one round of the loop, waiting up to `milliseconds` for it.
    // The number of sources it dispatched.
    int turnLocked(DWORD milliseconds) const;

    mutable std::recursive_mutex lock_;
    mutable MainLoop loop_;
    pa_context* context_ = nullptr;
    // Ends after the context, which cancels what it has asked of the server for it.
    std::unique_ptr<DefaultDeviceEvents> defaultDeviceEvents_;
};

// A source to record from, as the server describes it.
struct SourceDescription {
    std::string name;
    // Render endpoints: the sink it monitors, where a render stream plays.
    std::string sink;
    pa_sample_spec spec{};
    pa_channel_map channels{};
};

// The source behind a default endpoint: the default source for capture, the default
// sink's monitor for render. E_NOTFOUND when there is no such device.
HRESULT findDefaultSource(const Connection& connection, EDataFlow flow, SourceDescription& source);

} // namespace dualcap::pulse
