#pragma once

#include "capture/session.h"
#include "core/capture_source.h"

namespace dualcap {

// Marks the source running and starts its worker thread, which runs its capture session.
void startWorker(CaptureSource& source,
                 const EnumeratorFactory& createEnumerator = createEndpointEnumerator);

// Ends the source's capture and waits for its worker. Safe to call from several threads
// at once and more than once: the worker is joined once, later calls find it stopped.
void stop(CaptureSource& source);

} // namespace dualcap
