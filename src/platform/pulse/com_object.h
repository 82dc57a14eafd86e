#pragma once

#include "platform/posix/com.h"

#include <atomic>

namespace dualcap::pulse {

// Reference counting and QueryInterface for an object that implements one interface.
// The object deletes itself on its final Release, as COM objects do.
template <class Interface, const IID& kInterfaceId>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kInterfaceId)) {
            this->AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> references_{1};
};

} // namespace dualcap::pulse
