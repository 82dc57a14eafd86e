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

// Waits until a write finds that the reader has closed its end for good (`readerGone`, the
// sink's event), then stops both sources as a console control event does and says so once
// on standard error. What is left for the process is to end.
void stopWhenReaderGone(HANDLE readerGone);

} // namespace dualcap
