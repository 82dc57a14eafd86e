// dualcap: captures the default microphone and the system's playback at once and writes
// both to standard output as tagged chunks of 16 kHz mono 16-bit PCM.

#include "app/console_control.h"
#include "app/workers.h"
#include "core/capture_source.h"
#include "core/output_sink.h"
#include "platform/win32.h"

int main() {
    using namespace dualcap;
    OutputSink sink{.handle = GetStdHandle(STD_OUTPUT_HANDLE)};
    CaptureSource mic{.tag = kMicTag, .loopback = false, .sink = &sink};
    CaptureSource system{.tag = kSystemTag, .loopback = true, .sink = &sink};

    startWorker(mic);
    startWorker(system);
    g_micSource = &mic;
    g_systemSource = &system;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    // Capture ends only by a console control event; the process lives on until it is
    // ended from outside.
    for (;;) {
        Sleep(1000);
    }
}
