#include "platform/posix/console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct SignalEvent {
    int signal;
    DWORD controlType;
};
constexpr SignalEvent kSignalEvents[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
    {SIGTERM, CTRL_SHUTDOWN_EVENT},
};

std::mutex handlerLock;
std::vector<PHANDLER_ROUTINE> handlers; // guarded by handlerLock
int signalPipe[2] = {-1, -1};           // written once, before any signal is routed here

// Signal context: only hand the signal number on.
void onSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Windows ends a process whose handler has not returned from a close or shutdown event
// within five seconds. So do we: a handler can be stuck behind a write to a reader that
// has stopped reading, and must not keep the process alive for as long as that lasts.
constexpr auto kEndingGrace = std::chrono::seconds(5);

[[noreturn]] void endBySignal(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    _exit(128 + signal);
}

void runHandlers(int signal, DWORD controlType) {
    const bool ending = controlType == CTRL_CLOSE_EVENT || controlType == CTRL_SHUTDOWN_EVENT;
    if (ending) {
        std::thread([signal] {
            std::this_thread::sleep_for(kEndingGrace);
            endBySignal(signal);
        }).detach();
    }
    std::vector<PHANDLER_ROUTINE> current;
    {
        std::lock_guard guard(handlerLock);
        current = handlers;
    }
    bool handled = false;
    for (auto it = current.rbegin(); it != current.rend() && !handled; ++it) {
        handled = (*it)(controlType) != FALSE;
    }
    if (!handled || ending) {
        endBySignal(signal);
    }
}

void dispatchSignals() {
    for (;;) {
        unsigned char byte;
        const ssize_t got = ::read(signalPipe[0], &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != 1) {
            return;
        }
        for (const SignalEvent& event : kSignalEvents) {
            if (event.signal == byte) {
                std::thread(runHandlers, event.signal, event.controlType).detach();
            }
        }
    }
}

bool routeSignals() {
    if (::pipe(signalPipe) != 0) {
        return false;
    }
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    std::thread(dispatchSignals).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const SignalEvent& event : kSignalEvents) {
        sigaction(event.signal, &action, nullptr);
    }
    return true;
}

} // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr) {
        return FALSE;
    }
    std::lock_guard guard(handlerLock);
    if (!add) {
        const auto it = std::find(handlers.rbegin(), handlers.rend(), handler);
        if (it == handlers.rend()) {
            return FALSE;
        }
        handlers.erase(std::next(it).base());
        return TRUE;
    }
    static const bool routed = routeSignals();
    if (!routed) {
        return FALSE;
    }
    handlers.push_back(handler);
    return TRUE;
}
