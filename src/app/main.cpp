// dualcap: captures the default microphone and the system's playback at once and writes
// both to standard output as tagged chunks of 16 kHz mono 16-bit PCM.

#include "app/console_control.h"
#include "app/workers.h"
#include "core/capture_source.h"
#include "core/output_sink.h"
#include "platform/win32.h"

#include <cstdlib>

int main() {
    using namespace dualcap;
    const HANDLE readerGone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OutputSink sink{.handle = GetStdHandle(STD_OUTPUT_HANDLE), .readerGone = readerGone};
    CaptureSource mic{.tag = kMicTag, .loopback = false, .sink = &sink};
    CaptureSource system{.tag = kSystemTag, .loopback = true, .sink = &sink};

    startWorker(mic);
    startWorker(system);
    g_micSource = &mic;
    g_systemSource = &system;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    // A console control event ends capture, and the process lives on until it is ended
    // from outside. A reader that closes its end ends both: it will not come back.
    if (readerGone == nullptr) {
        for (;;) {
            Sleep(1000);
        }
    }
    stopWhenReaderGone(readerGone);
    // Not a return: a console control event may be stopping the sources at this moment,
    // and they must outlive it.
    std::exit(0);
}
