#include "platform/win32.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <atomic>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> handledEvents{0};
std::atomic<DWORD> lastEvent{0xFFFF};
std::atomic<bool> handlerOnMainThread{false};
std::thread::id mainThread;

BOOL WINAPI recordEvent(DWORD controlType) {
    lastEvent = controlType;
    handlerOnMainThread = std::this_thread::get_id() == mainThread;
    ++handledEvents;
    return TRUE;
}

BOOL WINAPI neverReturn(DWORD) {
    for (;;) {
        Sleep(1000);
    }
}

// As the program does: a handler installed, then idling; here after raising `signal`.
[[noreturn]] void raiseAndIdle(PHANDLER_ROUTINE handler, int signal) {
    SetConsoleCtrlHandler(handler, TRUE);
    ::kill(::getpid(), signal);
    for (;;) {
        Sleep(1000);
    }
}

bool waitForEvents(int count) {
    for (int i = 0; i < 500 && handledEvents < count; ++i) {
        Sleep(10);
    }
    return handledEvents >= count;
}

} // namespace

// Signals arrive as console control events, on a thread of their own, and a handler
// that returns TRUE keeps the process alive.
TEST(ConsoleControl, SigintAndSigquitRunTheHandlerOnANewThread) {
    mainThread = std::this_thread::get_id();
    ASSERT_TRUE(SetConsoleCtrlHandler(recordEvent, TRUE));
    ::kill(::getpid(), SIGINT);
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(lastEvent, CTRL_C_EVENT);
    EXPECT_FALSE(handlerOnMainThread);
    ::kill(::getpid(), SIGQUIT);
    ASSERT_TRUE(waitForEvents(2));
    EXPECT_EQ(lastEvent, CTRL_BREAK_EVENT);
    EXPECT_TRUE(SetConsoleCtrlHandler(recordEvent, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(recordEvent, FALSE));
}

// After its handlers, a shutdown (SIGTERM) ends the process, by that signal.
TEST(ConsoleControlDeathTest, SigtermEndsTheProcessAfterTheHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(raiseAndIdle(recordEvent, SIGTERM), ::testing::KilledBySignal(SIGTERM), "");
}

// As on Windows, a handler that does not return within a few seconds of a close event
// (SIGHUP) does not keep the process alive.
TEST(ConsoleControlDeathTest, CloseEndsTheProcessEvenIfTheHandlerHangs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(raiseAndIdle(neverReturn, SIGHUP), ::testing::KilledBySignal(SIGHUP), "");
}
#endif
