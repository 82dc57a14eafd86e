#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>

namespace dualcap::tools {

// A 16 kHz mono 16-bit WAV file, written as samples come; its sizes are filled in when it
// is closed, so it is a valid file however the input ended.
class WavWriter {
public:
    explicit WavWriter(const std::string& path);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool good() const { return file_.good(); }
    void write(std::span<const std::int16_t> samples);
    // Writes the final sizes; returns false if anything could not be written.
    bool close();

private:
    std::ofstream file_;
    std::uint64_t dataBytes_ = 0;
    bool closed_ = false;
};

} // namespace dualcap::tools
