#pragma once

#include "platform/win32.h"

#include <mutex>

namespace dualcap {

// The write call the sink goes through; tests hand in one that fails or takes part of a
// request, which no real handle does on demand.
using WriteFileFunction = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

// The one output of the process, shared by both sources. `lock` is held for a whole
// chunk so that the chunks of the two sources never mix.
struct OutputSink {
    HANDLE handle = nullptr;
    std::mutex lock;
    WriteFileFunction writeFile = &WriteFile;
    // Set, under `lock`, once a chunk has gone out only in part. Whatever followed would be
    // read out of step, so nothing more is written and readers see a clean truncation.
    bool torn = false;
    // An event of the caller's, signalled once a write finds that the reader has closed
    // its end for good: nothing captured from then on can reach anyone. Null: not told.
    HANDLE readerGone = nullptr;
};

} // namespace dualcap
