#include "split/interrupt.h"

#ifdef _WIN32
#include <cstdio>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dualcap::tools {
namespace {

#ifdef _WIN32
std::function<int()> finishing; // set once, before the handler is added

// Every console event ends the process once its handlers are done: Ctrl+C and Ctrl+Break,
// and a closed console, a log-off or a shut-down, which leave the handler 5 s. Each one
// finishes the files first.
BOOL WINAPI onControl(DWORD) {
    const int status = finishing();
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}
#else
// Signal context: put an empty file in standard input's place. The read that the signal
// interrupts is tried again on it, and finds the end. errno is the interrupted code's, so
// it is given back as it was.
void onInterrupt(int) {
    const int savedErrno = errno;
    const int empty = open("/dev/null", O_RDONLY);
    if (empty >= 0) {
        dup2(empty, STDIN_FILENO);
        close(empty);
    }
    errno = savedErrno;
}
#endif

} // namespace

void finishOnInterrupt([[maybe_unused]] std::function<int()> finishNow) {
#ifdef _WIN32
    finishing = std::move(finishNow);
    SetConsoleCtrlHandler(onControl, TRUE);
#else
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Ctrl+C, a closed terminal, and a polite end from another process.
    for (const int signal : {SIGINT, SIGHUP, SIGTERM}) {
        sigaction(signal, &action, nullptr);
    }
#endif
}

} // namespace dualcap::tools
