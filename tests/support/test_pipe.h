#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <thread>
#include <vector>

namespace dualcap::test {

// A real operating-system pipe. The write end is a HANDLE for WriteFile; the read end is
// either drained by a background thread (so writers never block) or closed, so that
// writes fail as they do when the reader of our output has gone.
class TestPipe {
public:
    TestPipe();
    ~TestPipe();
    TestPipe(const TestPipe&) = delete;
    TestPipe& operator=(const TestPipe&) = delete;

    HANDLE writeEnd() const { return write_; }

    // Starts a thread that reads everything written until the write end is closed.
    void startReading();
    // Closes the write end, waits for the reader and returns all it read.
    std::vector<std::uint8_t> finish();
    void closeReadEnd();

private:
    HANDLE write_ = nullptr;
#ifdef _WIN32
    HANDLE read_ = nullptr;
#else
    int read_ = -1;
#endif
    std::thread reader_;
    std::vector<std::uint8_t> bytes_;
};

} // namespace dualcap::test
