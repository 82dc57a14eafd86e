#include "app/workers.h"

namespace dualcap {

void startWorker(CaptureSource& source, const EnumeratorFactory& createEnumerator) {
    source.running = true;
    source.worker =
        std::thread([&source, createEnumerator] { runSession(source, createEnumerator); });
}

void stop(CaptureSource& source) {
    std::lock_guard serialised(source.stopLock);
    source.running.exchange(false);
    {
        // A session that has not created its event yet, or has closed it, sees the
        // cleared flag within one wait instead.
        std::lock_guard guard(source.stopEventLock);
        if (source.stopEvent != nullptr) {
            SetEvent(source.stopEvent);
        }
    }
    if (source.worker.joinable()) {
        source.worker.join();
    }
}

} // namespace dualcap
