#pragma once

#include "platform/win32.h"

#include <vector>

namespace dualcap {

// Averages the channels of one packet into one float per frame, nominally -1.0 to 1.0.
// Handles 32-bit float and 16- or 32-bit integer samples; a null `data` is a silent
// packet. For any other sample format `out` holds zeros and the result is false, so the
// packet still takes its time in the stream. In every case `out` ends with `frames` values.
bool downmixToMono(const BYTE* data, UINT32 frames, const WAVEFORMATEX& format,
                   std::vector<float>& out);

} // namespace dualcap
