#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Events {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~Events() {
        CloseHandle(manual);
        CloseHandle(automatic);
    }
};

// A wait on both events times out, then is ended by another thread setting the second.
void expectTimeoutThenSetFromAnotherThread(const Events& events) {
    const HANDLE both[2] = {events.automatic, events.manual};
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(25));

    std::thread setter([&] {
        Sleep(20);
        SetEvent(events.manual);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
}

} // namespace

TEST(Events, AManualResetEventStaysSignalledAnAutomaticOneReleasesOneWait) {
    Events events;
    ASSERT_NE(events.manual, nullptr);
    ASSERT_NE(events.automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(events.manual, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(events.manual));
    ASSERT_TRUE(SetEvent(events.automatic));
    EXPECT_EQ(WaitForSingleObject(events.manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events.manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events.automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events.automatic, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(ResetEvent(events.manual));
    EXPECT_EQ(WaitForSingleObject(events.manual, 0), WAIT_TIMEOUT);
}

TEST(Events, TheFirstSignalledHandleWinsAndOnlyItIsReset) {
    Events events;
    SetEvent(events.automatic);
    SetEvent(events.manual);
    const HANDLE both[2] = {events.automatic, events.manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
}

TEST(Events, AWaitTimesOutOrIsEndedBySetEventFromAnotherThread) {
    Events events;
    expectTimeoutThenSetFromAnotherThread(events);
}

TEST(Events, WaitsOnHandlesThatAreNotOpenFail) {
    const HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(nullptr, 10), WAIT_FAILED);

    Events events;
    const HANDLE oneBad[2] = {events.manual, nullptr};
    SetEvent(events.manual);
    EXPECT_EQ(WaitForMultipleObjects(2, oneBad, FALSE, 0), WAIT_FAILED);
}

#ifndef _WIN32
namespace {

// A source whose rounds sleep until interrupted or until its next activity, if it has any,
// or set the event themselves once told to.
class FakeSource final : public dualcap::posix::EventSource {
public:
    explicit FakeSource(HANDLE event) : event_(event) {}
    void turn(DWORD milliseconds) override {
        std::unique_lock lock(mutex_);
        ++turns;
        if (setOnTurn) {
            SetEvent(event_); // as a callback on the waiting thread does
            return;
        }
        const auto round = std::chrono::milliseconds(std::min<DWORD>(milliseconds, activityEvery));
        woken_.wait_for(lock, round, [&] { return poked_; });
        poked_ = false;
    }
    void interrupt() override {
        std::lock_guard lock(mutex_);
        poked_ = true;
        woken_.notify_one();
    }
    std::atomic<int> turns{0};
    std::atomic<bool> setOnTurn{false};
    std::atomic<DWORD> activityEvery{INFINITE}; // ms

private:
    HANDLE event_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool poked_ = false;
};

} // namespace

// A wait on an event with a source turns the source instead of sleeping: what the source
// sets ends the wait, and so does another thread's SetEvent, which interrupts the round.
TEST(Events, AWaitTurnsTheSourceOfItsEventAndIsInterruptedFromOtherThreads) {
    Events events;
    auto source = std::make_shared<FakeSource>(events.automatic);
    ASSERT_TRUE(dualcap::posix::setEventSource(events.automatic, source));
    const HANDLE both[2] = {events.automatic, events.manual};

    source->setOnTurn = true;
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(source->turns, 1);

    source->setOnTurn = false;
    expectTimeoutThenSetFromAnotherThread(events);
}

// A thread that polls a source turns it in its timed waits on events that have none. Such
// a wait goes on through the source's activity until about its time; then the source's
// next activity ends it, or a silent source's round, a little later. Another thread's
// SetEvent still ends it at once.
TEST(Events, ATimedWaitOnAPollingThreadTurnsItsSourceAndEndsWithItsActivityAboutItsTime) {
    Events events;
    auto source = std::make_shared<FakeSource>(events.automatic);
    dualcap::posix::setPolledSource(source);
    using Clock = std::chrono::steady_clock;

    source->activityEvery = 2;
    auto begin = Clock::now();
    EXPECT_EQ(WaitForSingleObject(events.manual, 20), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(19));
    EXPECT_GE(source->turns, 2);

    source->activityEvery = INFINITE;
    source->turns = 0;
    begin = Clock::now();
    EXPECT_EQ(WaitForSingleObject(events.manual, 10), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(10));
    EXPECT_EQ(source->turns, 1);

    std::thread setter([&] {
        Sleep(20);
        SetEvent(events.manual);
    });
    EXPECT_EQ(WaitForSingleObject(events.manual, 60'000), WAIT_OBJECT_0);
    setter.join();
    dualcap::posix::setPolledSource({});
}
#endif
