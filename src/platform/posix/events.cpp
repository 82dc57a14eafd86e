#include "platform/posix/events.h"

#include "platform/posix/handles.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace dualcap::posix {
namespace {

// A thread blocked in a wait. Setting an event wakes only the threads that wait on it,
// so a worker is not woken by every other worker's packets. Shared with the events it
// waits on, so that it can be woken after the lock is let go: a thread woken under the
// lock would at once block on it again, two switches for every event set.
struct Waiter {
    std::condition_variable wake;
    // Guarded by eventLock: the source the thread turns while it waits, if it does; it is
    // woken through the source instead.
    std::shared_ptr<EventSource> turning;
};

struct EventObject : KernelObject {
    EventObject(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
    const bool manualReset;
    // All guarded by eventLock.
    bool signalled;
    std::vector<std::shared_ptr<Waiter>> waiters;
    std::weak_ptr<EventSource> source;
};

// One lock for all events: a program has a handful of them, and it makes waiting for any
// of several events simple and free of lost wake-ups.
std::mutex eventLock;

// Each thread's waiter lives as long as the thread, or a setter that still holds it.
const std::shared_ptr<Waiter>& thisThreadsWaiter() {
    thread_local const std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    return waiter;
}

bool setSignalled(HANDLE handle, bool signalled) {
    auto event = findHandleOf<EventObject>(handle);
    if (event == nullptr) {
        return false;
    }
    // Kept from call to call: setting an event allocates nothing.
    thread_local std::vector<std::pair<std::shared_ptr<Waiter>, std::shared_ptr<EventSource>>>
        woken;
    {
        std::lock_guard guard(eventLock);
        event->signalled = signalled;
        for (const auto& waiter : event->waiters) {
            // A thread that sets an event it waits on is turning its source: it looks at
            // its events again when the round ends, and needs no waking.
            if (signalled && waiter != thisThreadsWaiter()) {
                woken.emplace_back(waiter, waiter->turning);
            }
        }
    }
    // A waiter that has left meanwhile only wakes once for nothing, in a later wait that
    // looks again and waits on.
    for (const auto& [waiter, turning] : woken) {
        if (turning != nullptr) {
            turning->interrupt();
        } else {
            waiter->wake.notify_one();
        }
    }
    woken.clear();
    return true;
}

std::weak_ptr<EventSource>& polledSource() {
    thread_local std::weak_ptr<EventSource> source;
    return source;
}

// A wait that turns a source ends at the source's first activity from a little before its
// time until a little after, rather than on a timer of its own. On a core with nothing else
// to run, a timer's wake-up costs several times the one the server's next packet brings,
// and a thread that polls a stream every 10 ms then stays in step with packets that come a
// little less often, through their jitter, instead of finding none every so often. Windows
// itself ends timed waits on its clock tick, by default every 15.6 ms, early or late.
constexpr auto kEarliest = std::chrono::milliseconds(1); // before the time
constexpr auto kLatest = std::chrono::milliseconds(5);   // after it, if the source is silent

} // namespace

void setPolledSource(std::weak_ptr<EventSource> source) {
    polledSource() = std::move(source);
}

bool setEventSource(HANDLE handle, std::weak_ptr<EventSource> source) {
    auto event = findHandleOf<EventObject>(handle);
    if (event == nullptr) {
        return false;
    }
    std::lock_guard guard(eventLock);
    event->source = std::move(source);
    return true;
}

} // namespace dualcap::posix

using dualcap::posix::EventObject;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) {
        return nullptr;
    }
    return dualcap::posix::openHandle(
        std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    return dualcap::posix::setSignalled(event, true) ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE event) {
    return dualcap::posix::setSignalled(event, false) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    using namespace dualcap::posix;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll) {
        return WAIT_FAILED;
    }
    // Held for the whole wait, so that closing a handle meanwhile does not pull the event
    // out from under us; Windows, too, waits on the object, not the handle.
    // On the stack: a wait allocates nothing.
    std::array<std::shared_ptr<EventObject>, MAXIMUM_WAIT_OBJECTS> held;
    const std::span events(held.data(), count);
    for (DWORD i = 0; i < count; ++i) {
        events[i] = findHandleOf<EventObject>(handles[i]);
        if (events[i] == nullptr) {
            return WAIT_FAILED;
        }
    }
    // The first signalled handle in the order given wins; an automatic-reset event is
    // reset by the wait that it ends.
    auto takeSignalled = [&]() -> DWORD {
        for (DWORD i = 0; i < count; ++i) {
            if (events[i]->signalled) {
                if (!events[i]->manualReset) {
                    events[i]->signalled = false;
                }
                return WAIT_OBJECT_0 + i;
            }
        }
        return WAIT_TIMEOUT;
    };
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    const std::shared_ptr<Waiter>& waiter = thisThreadsWaiter();
    std::unique_lock lock(eventLock);
    DWORD result = takeSignalled();
    if (result != WAIT_TIMEOUT || milliseconds == 0) {
        return result;
    }
    for (const auto& event : events) {
        event->waiters.push_back(waiter);
        if (waiter->turning == nullptr) {
            waiter->turning = event->source.lock();
        }
    }
    if (waiter->turning == nullptr && milliseconds != INFINITE) {
        waiter->turning = polledSource().lock();
    }
    // Only this thread changes it.
    EventSource* const source = waiter->turning.get();
    for (;;) {
        if (source != nullptr) {
            // Registered before the lock is let go: a setter on another thread interrupts
            // the round, even one that has not begun yet.
            DWORD left = INFINITE;
            if (milliseconds != INFINITE) {
                const auto remaining =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline + kLatest - Clock::now());
                left = static_cast<DWORD>(std::max<std::int64_t>(remaining.count(), 0));
            }
            lock.unlock();
            source->turn(left);
            lock.lock();
            if (milliseconds != INFINITE && Clock::now() >= deadline - kEarliest) {
                result = takeSignalled();
                break;
            }
        } else if (milliseconds == INFINITE) {
            waiter->wake.wait(lock);
        } else if (waiter->wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            result = takeSignalled(); // an event set just as the time ran out still counts
            break;
        }
        result = takeSignalled();
        if (result != WAIT_TIMEOUT) {
            break;
        }
    }
    for (const auto& event : events) {
        std::erase(event->waiters, waiter);
    }
    waiter->turning.reset();
    return result;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
