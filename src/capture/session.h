#pragma once

#include "core/capture_source.h"
#include "platform/win32.h"

#include <functional>

namespace dualcap {

// How the session gets its device enumerator; tests hand in their own.
using EnumeratorFactory = std::function<HRESULT(IMMDeviceEnumerator** enumerator)>;

// The platform's enumerator, from COM.
HRESULT createEndpointEnumerator(IMMDeviceEnumerator** enumerator);

// WaitForMultipleObjects for any one of `handles`; a wait that fails at once (an event that
// could not be created) sleeps out its timeout instead, so a loop around it never spins.
DWORD waitPaced(DWORD count, const HANDLE* handles, DWORD timeoutMs);

// The whole capture of one source, on its worker thread: opens the default endpoint
// (capture, or render in loopback), prints "<label> capture started", then waits and
// drains until the source is stopped or its endpoint is lost ("<label> capture lost"), and
// releases everything. A step that fails prints one "error: ..." line, and for the codes
// users can act on one "hint: ..." line after it, and ends this source alone.
void runSession(CaptureSource& source,
                const EnumeratorFactory& createEnumerator = createEndpointEnumerator);

} // namespace dualcap
