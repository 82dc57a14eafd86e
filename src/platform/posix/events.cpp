#include "platform/posix/events.h"

#include "platform/posix/handles.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace dualcap::posix {
namespace {

struct EventObject : KernelObject {
    EventObject(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
    const bool manualReset;
    bool signalled; // guarded by eventLock
};

// One lock and one condition for all events: a program has a handful of them, and it
// makes waiting for any of several events simple and free of lost wake-ups.
std::mutex eventLock;
std::condition_variable eventChanged;

bool setSignalled(HANDLE handle, bool signalled) {
    auto event = findHandleOf<EventObject>(handle);
    if (event == nullptr) {
        return false;
    }
    {
        std::lock_guard guard(eventLock);
        event->signalled = signalled;
    }
    if (signalled) {
        eventChanged.notify_all();
    }
    return true;
}

} // namespace
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
    std::vector<std::shared_ptr<EventObject>> events;
    for (DWORD i = 0; i < count; ++i) {
        events.push_back(findHandleOf<EventObject>(handles[i]));
        if (events.back() == nullptr) {
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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(eventLock);
    for (;;) {
        const DWORD result = takeSignalled();
        if (result != WAIT_TIMEOUT || milliseconds == 0) {
            return result;
        }
        if (milliseconds == INFINITE) {
            eventChanged.wait(lock);
        } else if (eventChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
            return takeSignalled(); // an event set just as the time ran out still counts
        }
    }
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
