#include "split/wav_writer.h"

#include "split/stream_reader.h"

#include <array>

namespace dualcap::tools {
namespace {

void put16(std::ostream& out, std::uint16_t value) {
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    out.write(bytes, 2);
}

void put32(std::ostream& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

void writeHeader(std::ostream& out, std::uint32_t dataBytes) {
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);              // format chunk size
    put16(out, 1);               // PCM
    put16(out, 1);               // mono
    put32(out, kSampleRate);     // samples per second
    put32(out, kSampleRate * 2); // bytes per second
    put16(out, 2);               // block alignment
    put16(out, 16);              // bits per sample
    out.write("data", 4);
    put32(out, dataBytes);
}

} // namespace

WavWriter::WavWriter(const std::string& path) : file_(path, std::ios::binary | std::ios::trunc) {
    writeHeader(file_, 0);
}

WavWriter::~WavWriter() {
    close();
}

void WavWriter::write(std::span<const std::int16_t> samples) {
    file_.write(reinterpret_cast<const char*>(samples.data()),
                static_cast<std::streamsize>(samples.size_bytes()));
    dataBytes_ += samples.size_bytes();
}

bool WavWriter::close() {
    if (closed_) {
        return file_.good();
    }
    closed_ = true;
    // A WAV file counts its bytes in 32 bits; longer captures keep their data, capped size.
    const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes_, 0xFFFFFFDBu));
    file_.seekp(0);
    writeHeader(file_, size);
    file_.close();
    return !file_.fail();
}

} // namespace dualcap::tools
