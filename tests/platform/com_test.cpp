#include "platform/win32.h"

#include <gtest/gtest.h>

#include <thread>

// Run on fresh threads, so that no other test's COM state is involved.
template <class Body>
void onNewThread(Body body) {
    std::thread(body).join();
}

TEST(Com, InitialisationIsCountedPerThread) {
    onNewThread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "one is left";
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(Com, AThreadStaysInTheApartmentModelItJoined) {
    onNewThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
    });
}

TEST(Com, TaskMemoryRoundTrips) {
    void* memory = CoTaskMemAlloc(40);
    ASSERT_NE(memory, nullptr);
    CoTaskMemFree(memory);
    CoTaskMemFree(nullptr);
}
