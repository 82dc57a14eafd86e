#pragma once

#include "core/capture_source.h"
#include "platform/win32.h"

#include <cstdint>
#include <vector>

namespace dualcap {

inline constexpr double kTargetRate = 16000.0;
// Full scale of the output: 1.0 becomes 32767 and -1.0 becomes -32767.
inline constexpr float kOutputScale = 32767.0f;

// Converts one packet of mono samples at `rate` to 16 kHz signed 16-bit by linear
// interpolation, appending to `out`. The read position and the packet's last sample are
// kept in `source`, so consecutive packets of a source form one seamless signal.
void resampleTo16k(CaptureSource& source, const std::vector<float>& mono, UINT32 rate,
                   std::vector<std::int16_t>& out);

// One scaled value as a sample: rounded half away from zero, clamped to 16 bits; not a
// number gives 0, and infinities saturate.
std::int16_t toSample(float scaled);

} // namespace dualcap
