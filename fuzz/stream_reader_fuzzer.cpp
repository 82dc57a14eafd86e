// Any bytes as a stream for dualcap-split's reader: it must neither crash nor read out of
// bounds, and what it reports must add up to what it was given.

#include "split/stream_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    std::istringstream stream(std::string(reinterpret_cast<const char*>(input), size));
    std::uint64_t consumed = 0;
    const auto end = dualcap::tools::readStream(
        stream, [&](std::uint8_t tag, std::span<const std::int16_t> samples) {
            if (tag > 1 || samples.empty()) {
                std::abort();
            }
            consumed += 5 + samples.size_bytes();
        });
    // Whole chunks end where reading stopped; a clean end is the end of the input.
    if (end.offset != consumed || end.offset > size || end.clean != end.problem.empty() ||
        (end.clean && (end.offset != size || end.truncated))) {
        std::abort();
    }
    return 0;
}
