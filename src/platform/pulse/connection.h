#pragma once

#include "platform/posix/audio.h"

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

namespace dualcap::pulse {

class DefaultDeviceEvents;

// One connection to the sound server: a threaded main loop and a context, shared by the
// objects an enumerator hands out and ended when the last of them is released.
class Connection {
public:
    // Connects to the server that the environment names (PULSE_SERVER, or the user's
    // default); never starts one. AUDCLNT_E_SERVICE_NOT_RUNNING when there is none.
    static HRESULT open(std::shared_ptr<Connection>& connection);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Every call into libpulse from outside its thread holds this.
    class Lock {
    public:
        explicit Lock(const Connection& connection) : loop_(connection.loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    pa_context* context() const { return context_; }
    // With the lock held: whether the server is still there.
    bool connected() const;
    // With the lock held: waits until the operation has ended (done, or cancelled because
    // the server went away) and lets go of it. False if it could not be started.
    bool complete(pa_operation* operation) const;
    // With the lock held: sleeps until a callback wakes the loop's waiters.
    void wait() const { pa_threaded_mainloop_wait(loop_); }
    // For callbacks, on the loop's thread: wakes the waiters.
    void wake() const { pa_threaded_mainloop_signal(loop_, 0); }
    // With the lock held: the changes of the server's defaults, for notification clients.
    DefaultDeviceEvents& defaultDeviceEvents() const { return *defaultDeviceEvents_; }

private:
    Connection() = default;

    pa_threaded_mainloop* loop_ = nullptr;
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
