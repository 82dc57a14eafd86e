#pragma once

namespace dualcap {

// Whether loopback capture needs something playing on its endpoint to keep delivering.
// Windows' loopback delivers nothing at all while nothing renders, on many drivers, so a
// silent render stream keeps it flowing. A PulseAudio or PipeWire monitor delivers silence
// while nothing plays, so there the extra stream would only cost the server a mix every
// period.
#ifdef _WIN32
inline constexpr bool kLoopbackNeedsKeepAlive = true;
#else
inline constexpr bool kLoopbackNeedsKeepAlive = false;
#endif

} // namespace dualcap
