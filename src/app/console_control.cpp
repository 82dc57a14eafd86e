#include "app/console_control.h"

#include "app/workers.h"

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

} // namespace dualcap
