#include "platform/win32.h"
#include "support/test_pipe.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using dualcap::test::TestPipe;

TEST(StdHandle, IsTheSameHandleEveryTime) {
    const HANDLE first = GetStdHandle(STD_OUTPUT_HANDLE);
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), first);
    EXPECT_NE(GetStdHandle(STD_ERROR_HANDLE), first);
}

TEST(WriteFile, DeliversTheBytesAndReportsTheirCount) {
    TestPipe pipe;
    pipe.startReading();
    const std::string text = "chunk bytes";
    DWORD written = 99;
    ASSERT_TRUE(WriteFile(pipe.writeEnd(), text.data(), static_cast<DWORD>(text.size()), &written,
                          nullptr));
    EXPECT_EQ(written, text.size());
    const auto bytes = pipe.finish();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
}

TEST(WriteFile, FailsOnHandlesThatNameNoOpenFile) {
    HANDLE closed;
    {
        TestPipe pipe;
        closed = pipe.writeEnd();
    }
    for (HANDLE bad : {HANDLE{}, INVALID_HANDLE_VALUE, closed}) {
        DWORD written = 99;
        EXPECT_FALSE(WriteFile(bad, "x", 1, &written, nullptr));
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_FALSE(CloseHandle(nullptr));
}

// When the reader of our output goes away, writes must fail, saying why; the process must
// not die.
TEST(WriteFile, FailsOnceTheReaderHasClosedThePipe) {
    TestPipe pipe;
    pipe.closeReadEnd();
    for (int i = 0; i < 2; ++i) {
        DWORD written = 99;
        EXPECT_FALSE(WriteFile(pipe.writeEnd(), "abc", 3, &written, nullptr));
        EXPECT_TRUE(GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_NO_DATA)
            << GetLastError();
    }
}

#ifndef _WIN32
TEST(WriteFile, SaysWhenTheDiskIsFull) {
    const HANDLE full = dualcap::posix::handleFromDescriptor(::open("/dev/full", O_WRONLY));
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(full, "abc", 3, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    CloseHandle(full);
}

// A parent may hand us a non-blocking descriptor. Windows writes block until done, and a
// write that gave up on a full pipe would lose audio, so a full pipe must be waited out.
TEST(WriteFile, WaitsOutAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    const HANDLE writeEnd = dualcap::posix::handleFromDescriptor(fds[1]);

    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t buffer[4096];
        ::usleep(50'000); // let the pipe fill first
        ssize_t got;
        while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            received.insert(received.end(), buffer, buffer + got);
        }
    });
    const std::vector<std::uint8_t> data(1 << 20, 0x5A);
    std::size_t sent = 0;
    while (sent < data.size()) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writeEnd, data.data() + sent, static_cast<DWORD>(data.size() - sent),
                              &written, nullptr));
        sent += written;
    }
    CloseHandle(writeEnd);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, data);
}
#endif
