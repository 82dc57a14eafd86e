// dualcap-split: splits a dualcap stream into mic.wav and system.wav and says what each
// source carried.
//
//   dualcap-split [-o DIR] [FILE | -]        (standard input when no file is given)

#include "split/source_summary.h"
#include "split/stream_reader.h"
#include "split/wav_writer.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using namespace dualcap::tools;

int main(int argc, char** argv) {
    std::string folder = ".";
    std::string input = "-";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-o" && i + 1 < argc) {
            folder = argv[++i];
        } else if (argument == "--version") {
            std::printf("dualcap-split %s\n", DUALCAP_VERSION);
            return 0;
        } else if (argument == "-h" || argument == "--help" ||
                   (argument.size() > 1 && argument[0] == '-')) {
            std::fprintf(stderr, "usage: dualcap-split [-o DIR] [FILE | -] | --version\n");
            return 2;
        } else {
            input = argument;
        }
    }

    std::ifstream file;
    std::istream* in = &std::cin;
    if (input != "-") {
        file.open(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "dualcap-split: cannot open %s\n", input.c_str());
            return 1;
        }
        in = &file;
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        std::ios::sync_with_stdio(false);
    }

    const char* names[2] = {"mic", "system"};
    std::unique_ptr<WavWriter> wavs[2];
    for (int tag = 0; tag < 2; ++tag) {
        const std::string path = folder + "/" + names[tag] + ".wav";
        wavs[tag] = std::make_unique<WavWriter>(path);
        if (!wavs[tag]->good()) {
            std::fprintf(stderr, "dualcap-split: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    SourceSummary summaries[2];
    const StreamEnd end =
        readStream(*in, [&](std::uint8_t tag, std::span<const std::int16_t> samples) {
            wavs[tag]->write(samples);
            summaries[tag].add(samples);
        });

    bool written = true;
    for (int tag = 0; tag < 2; ++tag) {
        written = wavs[tag]->close() && written;
        const SourceSummary& s = summaries[tag];
        std::printf("%-6s %llu chunks, %.2f s, peak %.1f dBFS, RMS %.1f dBFS -> %s/%s.wav\n",
                    names[tag], static_cast<unsigned long long>(s.chunks), s.seconds(),
                    dbfs(s.peak), dbfs(s.rms()), folder.c_str(), names[tag]);
    }
    if (!written) {
        std::fprintf(stderr, "dualcap-split: could not write the WAV files in %s\n",
                     folder.c_str());
        return 1;
    }
    if (!end.clean) {
        std::fprintf(stderr, "dualcap-split: %s, at byte %llu; the chunks before it are written\n",
                     end.problem.c_str(), static_cast<unsigned long long>(end.offset));
        return 1;
    }
    return 0;
}
