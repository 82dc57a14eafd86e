#pragma once

#include <functional>

namespace dualcap::tools {

// After this, Ctrl+C (or a closed console or terminal, or SIGTERM) ends the split where the
// stream has got to, so that what was split so far is written out whole (WAV headers
// included) instead of being cut off with the process.
// On POSIX standard input then ends, and the reading finishes as at the end of a stream. On
// Windows a read blocked on a pipe cannot be relied on to be cancelled (Wine does not), so
// the console's handler thread calls `finishNow` itself and ends the process with its status.
void finishOnInterrupt(std::function<int()> finishNow);

} // namespace dualcap::tools
