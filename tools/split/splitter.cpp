#include "split/splitter.h"

#include <cstdio>
#include <filesystem>

namespace dualcap::tools {

Splitter::Splitter(std::string folder, bool meter) : folder_(std::move(folder)) {
    if (meter) {
        display_.emplace(stderr);
    }
}

bool Splitter::open() {
    // A folder that cannot be made shows as a file that cannot be written, with the reason
    // the folder could not be made.
    std::error_code folderError;
    std::filesystem::create_directories(folder_, folderError);
    for (int tag = 0; tag < 2; ++tag) {
        const std::string path = folder_ + "/" + kSourceNames[tag] + ".wav";
        wavs_[tag] = std::make_unique<WavWriter>(path);
        if (!wavs_[tag]->good()) {
            if (folderError) {
                std::fprintf(stderr, "dualcap-split: cannot write %s: %s\n", path.c_str(),
                             folderError.message().c_str());
            } else {
                std::fprintf(stderr, "dualcap-split: cannot write %s\n", path.c_str());
            }
            return false;
        }
    }
    return true;
}

void Splitter::add(std::uint8_t tag, std::span<const std::int16_t> samples) {
    std::lock_guard guard(lock_);
    if (finished_) {
        return;
    }
    wavs_[tag]->write(samples);
    summaries_[tag].add(samples);
    if (display_) {
        display_->add(tag, samples);
    }
}

int Splitter::finish(const StreamEnd& end) {
    std::lock_guard guard(lock_);
    if (finished_) {
        return 0;
    }
    finished_ = true;
    if (display_) {
        display_->finish();
    }
    bool written = true;
    for (int tag = 0; tag < 2; ++tag) {
        written = wavs_[tag]->close() && written;
        const SourceSummary& s = summaries_[tag];
        std::printf("%-6s %llu chunks, %.2f s, peak %.1f dBFS, RMS %.1f dBFS -> %s/%s.wav\n",
                    kSourceNames[tag], static_cast<unsigned long long>(s.chunks), s.seconds(),
                    dbfs(s.peak), dbfs(s.rms()), folder_.c_str(), kSourceNames[tag]);
    }
    std::fflush(stdout);
    if (!written) {
        std::fprintf(stderr, "dualcap-split: could not write the WAV files in %s\n",
                     folder_.c_str());
        return 1;
    }
    if (!end.clean) {
        std::fprintf(stderr, "dualcap-split: %s, at byte %llu; the chunks before it are written\n",
                     end.problem.c_str(), static_cast<unsigned long long>(end.offset));
        return 1;
    }
    return 0;
}

} // namespace dualcap::tools
