#include "platform/posix/com.h"

#include "platform/posix/audio.h"
#include "platform/posix/device_enumerator.h"

#include <cstdlib>

namespace {

struct Apartment {
    int initCount = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local Apartment apartment;

} // namespace

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    const DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (apartment.initCount > 0) {
        if (apartment.model != model) {
            return RPC_E_CHANGED_MODE;
        }
        ++apartment.initCount;
        return S_FALSE;
    }
    apartment = {1, model};
    return S_OK;
}

void CoUninitialize() {
    if (apartment.initCount > 0) {
        --apartment.initCount;
    }
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (apartment.initCount == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    if (IsEqualGUID(clsid, CLSID_MMDeviceEnumerator)) {
        return dualcap::posix::createDeviceEnumerator(iid, object);
    }
    return REGDB_E_CLASSNOTREG;
}

LPVOID CoTaskMemAlloc(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void CoTaskMemFree(LPVOID memory) {
    std::free(memory);
}
