#include "split/meter_display.h"

#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace dualcap::tools {
namespace {

// A terminal that takes the escape sequences that move the cursor back up; on Windows the
// console has to be asked to (10 and later do).
bool redrawableTerminal(std::FILE* out) {
#ifdef _WIN32
    if (!_isatty(_fileno(out))) {
        return false;
    }
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return isatty(fileno(out)) != 0;
#endif
}

} // namespace

MeterDisplay::MeterDisplay(std::FILE* out)
    : out_(out), terminal_(redrawableTerminal(out)),
      interval_(terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000)),
      next_(LevelMeter::Clock::now() + interval_), meter_(LevelMeter::Clock::now()) {}

void MeterDisplay::add(std::uint8_t tag, std::span<const std::int16_t> samples) {
    meter_.add(tag, samples);
    const auto now = LevelMeter::Clock::now();
    if (now >= next_) {
        draw(now);
        next_ = now + interval_;
    }
}

void MeterDisplay::finish() {
    draw(LevelMeter::Clock::now());
}

void MeterDisplay::draw(LevelMeter::Clock::time_point now) {
    std::string text;
    if (terminal_) {
        // Back up over the two lines drawn last, and write each anew to its end.
        if (drawn_) {
            text = "\x1b[2A";
        }
        for (const std::string& line : meter_.lines(now)) {
            text += "\r" + line + "\x1b[K\n";
        }
    } else {
        text = "meter: " + meter_.summary(now) + "\n";
    }
    drawn_ = true;
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

} // namespace dualcap::tools
