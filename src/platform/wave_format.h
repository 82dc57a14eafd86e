#pragma once

// What the program reads from a wave format record, in one place for the code that reads
// packets and for the POSIX layer that checks the formats it is offered.

#include "platform/win32.h"

namespace dualcap {

// The bytes an extensible record carries past the plain one, as its cbSize gives them.
inline constexpr WORD kExtensibleExtraBytes =
    static_cast<WORD>(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));

// An extensible record's sub-format names its samples. A record whose size leaves no room
// for the sub-format has none to read, and is not taken as float.
inline bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        return true;
    }
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < kExtensibleExtraBytes) {
        return false;
    }
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    return IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

} // namespace dualcap
