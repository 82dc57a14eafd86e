#include "support/scripted_output.h"

#include <algorithm>

namespace dualcap::test {
namespace {

BOOL WINAPI scriptedWrite(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written,
                          LPOVERLAPPED) {
    auto& output = *static_cast<ScriptedOutput*>(handle);
    *written = 0;
    ++output.calls;
    if (output.onWrite) {
        output.onWrite();
    }
    const std::size_t taken = output.bytes.size();
    const bool failing = taken >= output.failAt && output.failures > 0;
    if (failing) {
        --output.failures;
        SetLastError(output.error);
        if (!output.takesWhenFailing) {
            return FALSE;
        }
    } else if (output.stallEveryOtherCall && output.calls % 2 == 1) {
        return TRUE;
    }
    const std::size_t untilFailure = taken < output.failAt ? output.failAt - taken : size;
    const std::size_t take =
        std::min({static_cast<std::size_t>(size), output.maxPerCall, untilFailure});
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    output.bytes.insert(output.bytes.end(), data, data + take);
    *written = static_cast<DWORD>(take);
    return failing ? FALSE : TRUE;
}

} // namespace

void ScriptedOutput::attach(OutputSink& sink) {
    sink.handle = this;
    sink.writeFile = &scriptedWrite;
}

} // namespace dualcap::test
