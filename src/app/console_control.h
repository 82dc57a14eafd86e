#pragma once

#include "core/capture_source.h"
#include "platform/win32.h"

namespace dualcap {

// The two sources, for the console control handler. Set once at start-up, before the
// handler is installed.
extern CaptureSource* g_micSource;
extern CaptureSource* g_systemSource;

// Any console control event (Ctrl+C, Ctrl+Break, close, log-off, shutdown) stops the
// microphone, then the system source, and waits for both. The process is not ended here.
BOOL WINAPI onConsoleControl(DWORD controlType);

} // namespace dualcap
