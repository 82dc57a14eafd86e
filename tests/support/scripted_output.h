#pragma once

#include "core/output_sink.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace dualcap::test {

// An output that takes at most `maxPerCall` bytes a call, may report success with no
// bytes every other call, and, once `failAt` bytes have been taken, fails `failures`
// calls (all of them, by default) with `error` before it takes bytes again. A failing call
// takes nothing, or, with `takesWhenFailing`, takes and reports the bytes all the same.
struct ScriptedOutput {
    std::size_t maxPerCall = std::numeric_limits<std::size_t>::max();
    bool stallEveryOtherCall = false;
    std::size_t failAt = std::numeric_limits<std::size_t>::max();
    int failures = std::numeric_limits<int>::max();
    DWORD error = ERROR_BROKEN_PIPE;
    bool takesWhenFailing = false;

    std::vector<std::uint8_t> bytes;
    int calls = 0;
    // Called at the start of each write call, to see what came before it.
    std::function<void()> onWrite;

    // Points the sink at this output.
    void attach(OutputSink& sink);
};

} // namespace dualcap::test
