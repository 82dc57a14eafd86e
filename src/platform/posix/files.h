#pragma once

// File handles over file descriptors: the standard handles and WriteFile.

#include "platform/posix/types.h"

namespace dualcap::posix {

// A handle that owns the descriptor: CloseHandle closes it.
HANDLE handleFromDescriptor(int fd);

} // namespace dualcap::posix

// Null when the process has no such descriptor open, as Windows gives null for a
// standard handle that the process does not have.
HANDLE GetStdHandle(DWORD which);

// Synchronous writes only; an OVERLAPPED is not supported and makes the call fail.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
