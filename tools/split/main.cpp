// dualcap-split: splits a dualcap stream into mic.wav and system.wav and says what each
// source carried.
//
//   dualcap-split [-o DIR] [--meter] [FILE | -]   (standard input when no file is given)
//
// --meter shows each source's level, seconds and chunks a second on standard error as the
// stream comes. Ctrl+C while it reads standard input (or a closed console or terminal, or
// SIGTERM) ends the input there: the files are written out whole.

#include "split/interrupt.h"
#include "split/splitter.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using namespace dualcap::tools;

int main(int argc, char** argv) {
    std::string folder = ".";
    std::string input = "-";
    bool meter = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-o" && i + 1 < argc) {
            folder = argv[++i];
        } else if (argument == "--meter") {
            meter = true;
        } else if (argument == "--version") {
            std::printf("dualcap-split %s\n", DUALCAP_VERSION);
            return 0;
        } else if (argument == "-h" || argument == "--help" ||
                   (argument.size() > 1 && argument[0] == '-')) {
            std::fprintf(stderr,
                         "usage: dualcap-split [-o DIR] [--meter] [FILE | -] | --version\n");
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

    Splitter splitter(folder, meter);
    if (!splitter.open()) {
        return 1;
    }
    if (in == &std::cin) {
        finishOnInterrupt([&splitter] { return splitter.finish(StreamEnd{}); });
    }
    const StreamEnd end =
        readStream(*in, [&](std::uint8_t tag, std::span<const std::int16_t> samples) {
            splitter.add(tag, samples);
        });
    return splitter.finish(end);
}
