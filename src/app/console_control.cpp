#include "app/console_control.h"

#include "app/workers.h"

#include <cstdio>

namespace dualcap {

CaptureSource* g_micSource = nullptr;
CaptureSource* g_systemSource = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    if (g_micSource != nullptr) {
        stop(*g_micSource);
    }
    if (g_systemSource != nullptr) {
        stop(*g_systemSource);
    }
    return TRUE;
}

void stopWhenReaderGone(HANDLE readerGone) {
    WaitForSingleObject(readerGone, INFINITE);
    // Capturing on would only hold the microphone for no one.
    onConsoleControl(CTRL_C_EVENT);
    std::fputs("error: output closed; capture stopped\n", stderr);
    std::fflush(stderr);
}

} // namespace dualcap
