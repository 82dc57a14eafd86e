#include "platform/pulse/main_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace dualcap::pulse {

// libpulse sees these only as the opaque pa_*_event pointers it is handed.
struct MainLoop::Io {
    MainLoop* loop = nullptr;
    int fd = -1;
    pa_io_event_flags_t events = PA_IO_EVENT_NULL;
    pa_io_event_cb_t callback = nullptr;
    void* userdata = nullptr;
    pa_io_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
    std::size_t polled = 0; // its place in this round's poll set, 0 if none
};

struct MainLoop::Timer {
    MainLoop* loop = nullptr;
    bool enabled = false;
    std::uint64_t due = 0; // microseconds of the wall clock, as libpulse gives them
    pa_time_event_cb_t callback = nullptr;
    void* userdata = nullptr;
    pa_time_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct MainLoop::Deferred {
    MainLoop* loop = nullptr;
    bool enabled = true;
    pa_defer_event_cb_t callback = nullptr;
    void* userdata = nullptr;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

namespace {

using Io = MainLoop::Io;
using Timer = MainLoop::Timer;
using Deferred = MainLoop::Deferred;

Io* of(pa_io_event* event) {
    return reinterpret_cast<Io*>(event);
}
Timer* of(pa_time_event* event) {
    return reinterpret_cast<Timer*>(event);
}
Deferred* of(pa_defer_event* event) {
    return reinterpret_cast<Deferred*>(event);
}

std::uint64_t microseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(time.tv_usec);
}

std::uint64_t wallClockNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return microseconds(now);
}

short toPoll(pa_io_event_flags_t events) {
    return static_cast<short>(((events & PA_IO_EVENT_INPUT) != 0 ? POLLIN : 0) |
                              ((events & PA_IO_EVENT_OUTPUT) != 0 ? POLLOUT : 0));
}

pa_io_event_flags_t fromPoll(short revents) {
    return static_cast<pa_io_event_flags_t>(
        ((revents & POLLIN) != 0 ? PA_IO_EVENT_INPUT : 0) |
        ((revents & POLLOUT) != 0 ? PA_IO_EVENT_OUTPUT : 0) |
        ((revents & POLLHUP) != 0 ? PA_IO_EVENT_HANGUP : 0) |
        ((revents & (POLLERR | POLLNVAL)) != 0 ? PA_IO_EVENT_ERROR : 0));
}

// Libpulse marks a time of the monotonic clock with this bit of tv_usec. It gives such times
// to its own loops only; a foreign loop like this one is given the wall clock. A marked time
// is still carried over to the wall clock rather than misread.
constexpr long kMonotonicMark = 1L << 30;

void setDue(Timer& timer, const timeval* when) {
    timer.enabled = when != nullptr;
    if (when == nullptr) {
        return;
    }
    if ((when->tv_usec & kMonotonicMark) == 0) {
        timer.due = microseconds(*when);
        return;
    }
    timeval monotonic = *when;
    monotonic.tv_usec &= ~kMonotonicMark;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowMicroseconds = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                 static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    const std::uint64_t due = microseconds(monotonic);
    timer.due = wallClockNow() + (due > nowMicroseconds ? due - nowMicroseconds : 0);
}

} // namespace

// What libpulse calls to watch descriptors, set timers and defer work.
struct LoopApi {
    template <class Event, class Raw, class List>
    static Raw* add(pa_mainloop_api* api, std::unique_ptr<Event> event, List MainLoop::*list) {
        MainLoop& loop = *static_cast<MainLoop*>(api->userdata);
        event->loop = &loop;
        Event* made = event.get();
        (loop.*list).push_back(std::move(event));
        return reinterpret_cast<Raw*>(made);
    }
    template <class Event>
    static void markFreed(Event* event) {
        event->dead = true;
        event->loop->freed_ = true;
    }

    static pa_io_event* ioNew(pa_mainloop_api* api, int fd, pa_io_event_flags_t events,
                              pa_io_event_cb_t cb, void* userdata) {
        auto io = std::make_unique<Io>();
        io->fd = fd;
        io->events = events;
        io->callback = cb;
        io->userdata = userdata;
        return add<Io, pa_io_event>(api, std::move(io), &MainLoop::io_);
    }
    static pa_time_event* timeNew(pa_mainloop_api* api, const timeval* when, pa_time_event_cb_t cb,
                                  void* userdata) {
        auto timer = std::make_unique<Timer>();
        timer->callback = cb;
        timer->userdata = userdata;
        setDue(*timer, when);
        return add<Timer, pa_time_event>(api, std::move(timer), &MainLoop::timers_);
    }
    static pa_defer_event* deferNew(pa_mainloop_api* api, pa_defer_event_cb_t cb, void* userdata) {
        auto deferred = std::make_unique<Deferred>();
        deferred->callback = cb;
        deferred->userdata = userdata;
        return add<Deferred, pa_defer_event>(api, std::move(deferred), &MainLoop::deferred_);
    }

    static constexpr pa_mainloop_api table = {
        nullptr,
        ioNew,
        [](pa_io_event* event, pa_io_event_flags_t events) { of(event)->events = events; },
        [](pa_io_event* event) { markFreed(of(event)); },
        [](pa_io_event* event, pa_io_event_destroy_cb_t destroy) { of(event)->destroy = destroy; },
        timeNew,
        [](pa_time_event* event, const timeval* when) { setDue(*of(event), when); },
        [](pa_time_event* event) { markFreed(of(event)); },
        [](pa_time_event* event, pa_time_event_destroy_cb_t destroy) {
            of(event)->destroy = destroy;
        },
        deferNew,
        [](pa_defer_event* event, int enabled) { of(event)->enabled = enabled != 0; },
        [](pa_defer_event* event) { markFreed(of(event)); },
        [](pa_defer_event* event, pa_defer_event_destroy_cb_t destroy) {
            of(event)->destroy = destroy;
        },
        [](pa_mainloop_api*, int) {}, // nothing here runs the loop until told to quit
    };
};

namespace {

// Lets go of the dead events of one list, or of all of them, calling their destroy callbacks.
template <class Event, class Raw>
void release(MainLoop& loop, std::vector<std::unique_ptr<Event>>& events, bool all) {
    for (std::size_t i = 0; i < events.size();) {
        Event& event = *events[i];
        if (!all && !event.dead) {
            ++i;
            continue;
        }
        std::unique_ptr<Event> gone = std::move(events[i]);
        events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
        if (gone->destroy != nullptr) {
            gone->destroy(loop.api(), reinterpret_cast<Raw*>(gone.get()), gone->userdata);
        }
    }
}

} // namespace

MainLoop::MainLoop() : api_(LoopApi::table), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    api_.userdata = this;
}

MainLoop::~MainLoop() {
    release<Io, pa_io_event>(*this, io_, true);
    release<Timer, pa_time_event>(*this, timers_, true);
    release<Deferred, pa_defer_event>(*this, deferred_, true);
    if (wake_ >= 0) {
        close(wake_);
    }
}

void MainLoop::interrupt() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

int MainLoop::runDeferred() {
    int ran = 0;
    // By index: a callback may add events, which wait for the next round.
    for (std::size_t i = 0, count = deferred_.size(); i < count; ++i) {
        Deferred& deferred = *deferred_[i];
        if (deferred.enabled && !deferred.dead) {
            deferred.callback(&api_, reinterpret_cast<pa_defer_event*>(&deferred),
                              deferred.userdata);
            ++ran;
        }
    }
    return ran;
}

void MainLoop::sweep() {
    if (freed_) {
        freed_ = false;
        release<Io, pa_io_event>(*this, io_, false);
        release<Timer, pa_time_event>(*this, timers_, false);
        release<Deferred, pa_defer_event>(*this, deferred_, false);
    }
}

int MainLoop::turn(int timeoutMs) {
    int ran = runDeferred();
    if (ran != 0) {
        sweep();
        return ran;
    }
    // The poll set: the interrupt first, then every live descriptor.
    thread_local std::vector<pollfd> polled;
    polled.assign(1, pollfd{wake_, POLLIN, 0});
    for (const auto& io : io_) {
        io->polled = 0;
        if (!io->dead) {
            io->polled = polled.size();
            polled.push_back(pollfd{io->fd, toPoll(io->events), 0});
        }
    }
    // The clock is read only while a timer is set, which is seldom.
    const bool timed = std::any_of(timers_.begin(), timers_.end(), [](const auto& timer) {
        return timer->enabled && !timer->dead;
    });
    const std::uint64_t now = timed ? wallClockNow() : 0;
    for (const auto& timer : timers_) {
        if (timer->enabled && !timer->dead) {
            const std::uint64_t left = timer->due > now ? (timer->due - now + 999) / 1000 : 0;
            if (timeoutMs < 0 || left < static_cast<std::uint64_t>(timeoutMs)) {
                timeoutMs = static_cast<int>(left);
            }
        }
    }
    if (poll(polled.data(), polled.size(), timeoutMs) < 0) {
        return 0; // interrupted by a signal: a round with nothing in it
    }
    if ((polled[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wake_, &count, sizeof count);
    }
    const std::uint64_t after = timed ? wallClockNow() : 0;
    for (std::size_t i = 0, count = timed ? timers_.size() : 0; i < count; ++i) {
        Timer& timer = *timers_[i];
        if (timer.enabled && !timer.dead && timer.due <= after) {
            timer.enabled = false;
            timeval when{};
            when.tv_sec = static_cast<time_t>(timer.due / 1'000'000);
            when.tv_usec = static_cast<suseconds_t>(timer.due % 1'000'000);
            timer.callback(&api_, reinterpret_cast<pa_time_event*>(&timer), &when, timer.userdata);
            ++ran;
        }
    }
    for (std::size_t i = 0, count = io_.size(); i < count; ++i) {
        Io& io = *io_[i];
        if (io.polled != 0 && !io.dead && polled[io.polled].revents != 0) {
            io.callback(&api_, reinterpret_cast<pa_io_event*>(&io), io.fd,
                        fromPoll(polled[io.polled].revents), io.userdata);
            ++ran;
        }
    }
    sweep();
    return ran;
}

} // namespace dualcap::pulse
