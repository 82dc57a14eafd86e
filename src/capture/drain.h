#pragma once

#include "core/capture_source.h"
#include "platform/win32.h"

namespace dualcap {

// Turns every packet pending in the capture client into one chunk on the source's sink
// (none for a packet that yields no 16 kHz sample), releasing each packet before the next
// is fetched. Time that the platform lost before a packet (an overrun, an idle loopback)
// goes into the packet's chunk first, as silence of the same length, so that the source's
// sample count keeps time. Returns when nothing is pending (S_OK) or with the failure of
// the client that ended it; the caller decides whether the next wake-up drains again.
HRESULT drainPackets(CaptureSource& source, IAudioCaptureClient* captureClient,
                     const WAVEFORMATEX& format);

} // namespace dualcap
