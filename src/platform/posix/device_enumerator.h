#pragma once

#include "platform/posix/com.h"

namespace dualcap::posix {

// The device enumerator behind CoCreateInstance(CLSID_MMDeviceEnumerator, ...).
HRESULT createDeviceEnumerator(REFIID iid, void** object);

} // namespace dualcap::posix
