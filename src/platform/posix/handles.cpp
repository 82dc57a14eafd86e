#include "platform/posix/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace dualcap::posix {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Multiples of 4, as on Windows; 0 (null) and all-ones (INVALID_HANDLE_VALUE) never come up.
    std::uintptr_t lastValue = 0;
};

HandleTable& table() {
    static HandleTable instance;
    return instance;
}

std::uintptr_t valueOf(HANDLE handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

} // namespace

HANDLE openHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    t.lastValue += 4;
    t.objects.emplace(t.lastValue, std::move(object));
    return reinterpret_cast<HANDLE>(t.lastValue);
}

std::shared_ptr<KernelObject> findHandle(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(valueOf(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

} // namespace dualcap::posix

BOOL CloseHandle(HANDLE handle) {
    using namespace dualcap::posix;
    std::shared_ptr<KernelObject> object;
    {
        HandleTable& t = table();
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(valueOf(handle));
        if (it == t.objects.end()) {
            return FALSE;
        }
        object = std::move(it->second);
        t.objects.erase(it);
    }
    // The object goes when its last user lets go, which may be right here, outside the lock.
    return TRUE;
}
