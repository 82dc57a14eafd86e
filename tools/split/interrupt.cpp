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

BOOL WINAPI onControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
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
    sigaction(SIGINT, &action, nullptr);
#endif
}

} // namespace dualcap::tools
