#include "support/test_pipe.h"

#include <stdexcept>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace dualcap::test {

TestPipe::TestPipe() {
#ifdef _WIN32
    if (!CreatePipe(&read_, &write_, nullptr, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
#else
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    read_ = fds[0];
    write_ = dualcap::posix::handleFromDescriptor(fds[1]);
#endif
}

TestPipe::~TestPipe() {
    if (write_ != nullptr) {
        CloseHandle(write_);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    closeReadEnd();
}

void TestPipe::startReading() {
    reader_ = std::thread([this] {
        std::uint8_t buffer[4096];
        for (;;) {
#ifdef _WIN32
            DWORD got = 0;
            if (!ReadFile(read_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
                return;
            }
#else
            const ssize_t got = ::read(read_, buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
#endif
            bytes_.insert(bytes_.end(), buffer, buffer + got);
        }
    });
}

std::vector<std::uint8_t> TestPipe::finish() {
    CloseHandle(write_);
    write_ = nullptr;
    if (reader_.joinable()) {
        reader_.join();
    }
    return bytes_;
}

void TestPipe::closeReadEnd() {
#ifdef _WIN32
    if (read_ != nullptr) {
        CloseHandle(read_);
        read_ = nullptr;
    }
#else
    if (read_ >= 0) {
        ::close(read_);
        read_ = -1;
    }
#endif
}

} // namespace dualcap::test
