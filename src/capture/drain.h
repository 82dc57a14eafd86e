#pragma once

#include "core/capture_source.h"
#include "platform/win32.h"

namespace dualcap {

// Turns every packet pending in the capture client into one chunk on the source's sink
// (none for a packet that yields no 16 kHz sample), releasing each packet before the next
// is fetched. Returns when nothing is pending or the client fails, silently: the next
// wake-up drains again.
void drainPackets(CaptureSource& source, IAudioCaptureClient* captureClient,
                  const WAVEFORMATEX& format);

} // namespace dualcap
