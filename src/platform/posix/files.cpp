#include "platform/posix/files.h"

#include "platform/posix/errors.h"
#include "platform/posix/handles.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace dualcap::posix {
namespace {

struct FileObject : KernelObject {
    explicit FileObject(int descriptor) : fd(descriptor) {}
    ~FileObject() override { ::close(fd); }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    int fd;
};

// A reader that goes away must make our writes fail, as on Windows, not end the process.
void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// A Windows write on a synchronous handle blocks until it has written something or
// failed for good. A descriptor we inherited may be non-blocking, or a signal may cut the
// call short; neither is a failure here, since a failed write loses a chunk.
ssize_t writeBlocking(int fd, const void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t written = ::write(fd, buffer, size);
        if (written >= 0) {
            return written;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

// What Windows says where POSIX says `error`: a reader that has gone, a full disk, or
// something that may pass.
DWORD writeError(int error) {
    switch (error) {
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    default:
        return ERROR_WRITE_FAULT;
    }
}

} // namespace

HANDLE handleFromDescriptor(int fd) {
    ignoreBrokenPipes();
    return openHandle(std::make_shared<FileObject>(fd));
}

} // namespace dualcap::posix

HANDLE GetStdHandle(DWORD which) {
    using namespace dualcap::posix;
    struct StdHandles {
        HANDLE input;
        HANDLE output;
        HANDLE error;
    };
    // Taken once, so every call returns the same handle, as on Windows. A descriptor that
    // is closed now must not become ours later: whatever opens it next (a socket, say)
    // would receive our output.
    static const StdHandles handles = [] {
        auto take = [](int fd) { return isOpen(fd) ? handleFromDescriptor(fd) : HANDLE{}; };
        return StdHandles{take(STDIN_FILENO), take(STDOUT_FILENO), take(STDERR_FILENO)};
    }();
    switch (which) {
    case STD_INPUT_HANDLE:
        return handles.input;
    case STD_OUTPUT_HANDLE:
        return handles.output;
    case STD_ERROR_HANDLE:
        return handles.error;
    default:
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    using namespace dualcap::posix;
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    auto object = findHandleOf<FileObject>(file);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr || bytesWritten == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ssize_t written = writeBlocking(object->fd, buffer, bytesToWrite);
    if (written < 0) {
        SetLastError(writeError(errno));
        return FALSE;
    }
    *bytesWritten = static_cast<DWORD>(written);
    return TRUE;
}
