#pragma once

// Kernel handles as Windows hands them out: opaque values that name an object, checked
// on every use so that a stale, null or made-up handle makes a call fail instead of
// touching freed memory. A call holds a reference to the object for its whole length,
// so closing a handle while another thread is inside a call on it is safe.

#include "platform/posix/types.h"

#include <memory>

namespace dualcap::posix {

struct KernelObject {
    virtual ~KernelObject() = default;
};

// Registers the object and returns a new handle for it; handle values are never reused.
HANDLE openHandle(std::shared_ptr<KernelObject> object);

// The object a handle names, or null when the handle is not open.
std::shared_ptr<KernelObject> findHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> findHandleOf(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(findHandle(handle));
}

} // namespace dualcap::posix

BOOL CloseHandle(HANDLE handle);
