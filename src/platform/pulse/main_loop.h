#pragma once

#include <pulse/mainloop-api.h>

#include <memory>
#include <vector>

namespace dualcap::pulse {

// The main loop libpulse runs on, turned one round at a time by the thread that uses the
// connection. libpulse's own loop writes to its wake-up pipe whenever a callback asks for
// deferred work, and reads that pipe back on every round: three system calls a packet that
// wake nothing, since the thread that asked is the one that turns the loop. This one is
// woken only from other threads (interrupt), and runs deferred work on the next round
// without waiting. Not thread-safe: its user serialises the rounds and every call into
// libpulse, as it does for the context.
class MainLoop {
public:
    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // False if the loop could not be made (no descriptor for interrupt).
    bool valid() const { return wake_ >= 0; }
    pa_mainloop_api* api() { return &api_; }
    // One round: deferred work if there is any; otherwise waits up to `timeoutMs` (negative:
    // with no limit) for a descriptor or a timer, and runs their callbacks. The number of
    // callbacks run.
    int turn(int timeoutMs);
    // From any thread: ends the round in progress, or the next one, at once.
    void interrupt();

    struct Io;
    struct Timer;
    struct Deferred;

private:
    friend struct LoopApi; // the functions libpulse calls through api()

    int runDeferred();
    // Lets go of the events that were freed, once no callback runs.
    void sweep();

    pa_mainloop_api api_;
    int wake_ = -1; // an eventfd
    std::vector<std::unique_ptr<Io>> io_;
    std::vector<std::unique_ptr<Timer>> timers_;
    std::vector<std::unique_ptr<Deferred>> deferred_;
    bool freed_ = false; // some event is waiting to be swept
};

} // namespace dualcap::pulse
