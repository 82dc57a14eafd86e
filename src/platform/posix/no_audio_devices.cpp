#include "platform/posix/device_enumerator.h"

namespace dualcap::posix {

// No sound system is reached yet: the enumerator class is not there, as on a Windows
// without its audio service registered.
HRESULT createDeviceEnumerator(REFIID, void**) {
    return REGDB_E_CLASSNOTREG;
}

} // namespace dualcap::posix
