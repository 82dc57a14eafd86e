#pragma once

// Console control events over signals: SIGINT is CTRL_C_EVENT, SIGQUIT CTRL_BREAK_EVENT,
// SIGHUP CTRL_CLOSE_EVENT and SIGTERM CTRL_SHUTDOWN_EVENT. As on Windows, each event runs
// the handlers on a new thread, the last one added first, until one returns TRUE; if none
// does, or after the handlers of a close or shutdown event, the process ends (by the
// signal, so that its parent sees why). Until the first handler is added, the signals
// keep their default action.

#include "platform/posix/types.h"

inline constexpr DWORD CTRL_C_EVENT = 0;
inline constexpr DWORD CTRL_BREAK_EVENT = 1;
inline constexpr DWORD CTRL_CLOSE_EVENT = 2;
inline constexpr DWORD CTRL_LOGOFF_EVENT = 5;
inline constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD controlType);

// A null handler is not supported and makes the call fail.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
