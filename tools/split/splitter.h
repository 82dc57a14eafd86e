#pragma once

#include "split/meter_display.h"
#include "split/source_summary.h"
#include "split/stream_reader.h"
#include "split/wav_writer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace dualcap::tools {

// Writes each source's chunks to its WAV file in a folder, keeps what it says of each, and
// shows the meter if asked. Finishing may come from another thread than the chunks (a
// Ctrl+C on Windows), so both are serialised, and nothing is taken after the finish.
class Splitter {
public:
    Splitter(std::string folder, bool meter);

    // Makes the folder if need be; false, having said why, if a file cannot be made.
    bool open();
    void add(std::uint8_t tag, std::span<const std::int16_t> samples);
    // Closes the files and says what each source carried, and how the stream ended; the
    // exit status. Only the first call does anything.
    int finish(const StreamEnd& end);

private:
    std::string folder_;
    std::mutex lock_;
    bool finished_ = false;
    std::unique_ptr<WavWriter> wavs_[2];
    SourceSummary summaries_[2];
    std::optional<MeterDisplay> display_;
};

} // namespace dualcap::tools
