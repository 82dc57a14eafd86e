#pragma once

// Kernel events and waits with Windows semantics: manual and automatic reset, the first
// signalled handle wins, WAIT_TIMEOUT, WAIT_FAILED on a handle that is not an open event.

#include "platform/posix/types.h"

#include <memory>

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Unnamed events only: a name makes the call fail.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits for any one of the handles; waiting for all of them is not supported.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void Sleep(DWORD milliseconds);

namespace dualcap::posix {

// What sets an event from the waiting thread itself, as it is turned: a sound server
// connection with no thread of its own, whose data event is set by what arrives. A thread
// that waits on such an event turns its source instead of sleeping.
class EventSource {
public:
    // Waits up to `milliseconds` (INFINITE: for as long as it takes) for what the source
    // serves, and handles what came: one round.
    virtual void turn(DWORD milliseconds) = 0;
    // From any thread: ends the round in progress, or the next one, at once.
    virtual void interrupt() = 0;

protected:
    ~EventSource() = default;
};

// Names the source that sets the event. A wait on several events turns the first source
// it finds among them. False if the handle is not an open event.
bool setEventSource(HANDLE event, std::weak_ptr<EventSource> source);

// Names the source that the calling thread polls for data: from now on, its timed waits on
// events with no source of their own turn that source instead of sleeping. Any timed wait
// that turns a source ends at the source's first activity from 1 ms before its time, or
// 5 ms after its time if there is none.
void setPolledSource(std::weak_ptr<EventSource> source);

} // namespace dualcap::posix
