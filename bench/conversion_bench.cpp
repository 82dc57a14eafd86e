// The conversion of capture packets to 16 kHz mono 16-bit: ours against libsamplerate's
// linear converter and speexdsp's fastest resampler, on the same packets to the same output.
// One iteration converts one second of audio in 10 ms packets, so the time per iteration is
// the time per second of audio.

#include "core/capture_source.h"
#include "dsp/downmix.h"
#include "dsp/resampler.h"
#include "platform/win32.h"

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using namespace dualcap;

enum class Sample { Float32, Int16 };

// One second of stereo audio in the endpoint's format, cut into 10 ms packets: speech-like
// tones with some noise, as a capture would deliver them.
struct Input {
    WAVEFORMATEXTENSIBLE format{};
    UINT32 packetFrames = 0;
    std::vector<std::vector<BYTE>> packets;

    Input(UINT32 rate, Sample sample) {
        const WORD bits = sample == Sample::Float32 ? 32 : 16;
        auto& base = format.Format;
        base.wFormatTag = sample == Sample::Float32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
        base.nChannels = 2;
        base.nSamplesPerSec = rate;
        base.wBitsPerSample = bits;
        base.nBlockAlign = static_cast<WORD>(2 * bits / 8);
        base.nAvgBytesPerSec = rate * base.nBlockAlign;
        packetFrames = rate / 100;

        std::mt19937 random(7);
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        std::size_t frame = 0;
        for (int p = 0; p < 100; ++p) {
            std::vector<BYTE> packet(packetFrames * base.nBlockAlign);
            for (UINT32 i = 0; i < packetFrames; ++i, ++frame) {
                const double t = static_cast<double>(frame) / rate;
                const float left =
                    static_cast<float>(0.4 * std::sin(2 * 3.14159265 * 220 * t)) + noise(random);
                const float right =
                    static_cast<float>(0.3 * std::sin(2 * 3.14159265 * 330 * t)) + noise(random);
                store(packet, i, left, right, sample);
            }
            packets.push_back(std::move(packet));
        }
    }

    static void store(std::vector<BYTE>& packet, UINT32 frame, float left, float right,
                      Sample sample) {
        if (sample == Sample::Float32) {
            const float values[2] = {left, right};
            std::memcpy(packet.data() + frame * sizeof values, values, sizeof values);
            return;
        }
        const std::int16_t values[2] = {static_cast<std::int16_t>(left * 32767.0f),
                                        static_cast<std::int16_t>(right * 32767.0f)};
        std::memcpy(packet.data() + frame * sizeof values, values, sizeof values);
    }

    UINT32 rate() const { return format.Format.nSamplesPerSec; }
};

// Converts every packet of the second of audio once per iteration; `convert` returns how
// many samples it made of a packet.
template <class Convert>
void perSecondOfAudio(benchmark::State& state, const Input& input, const Convert& convert) {
    std::size_t produced = 0;
    for (auto _ : state) {
        for (const auto& packet : input.packets) {
            produced += convert(packet.data());
        }
    }
    state.counters["samples_per_s_audio"] =
        static_cast<double>(produced) / static_cast<double>(state.iterations());
}

// As the capture drain does it: fresh buffers for every packet.
void ours(benchmark::State& state, UINT32 rate, Sample sample) {
    const Input input(rate, sample);
    CaptureSource source;
    perSecondOfAudio(state, input, [&](const BYTE* packet) {
        std::vector<float> mono;
        downmixToMono(packet, input.packetFrames, input.format.Format, mono);
        std::vector<std::int16_t> out;
        resampleTo16k(source, mono, rate, out);
        benchmark::DoNotOptimize(out.data());
        return out.size();
    });
}

// The alternatives get our downmix, then their resampler and float-to-short conversion, with
// buffers kept from packet to packet (which only flatters them).
struct Buffers {
    explicit Buffers(const Input& input) : resampled(input.packetFrames), out(input.packetFrames) {}
    std::vector<float> mono;
    std::vector<float> resampled;
    std::vector<short> out;
};

void libsamplerateLinear(benchmark::State& state, UINT32 rate, Sample sample) {
    const Input input(rate, sample);
    int error = 0;
    SRC_STATE* converter = src_new(SRC_LINEAR, 1, &error);
    if (converter == nullptr) {
        throw std::runtime_error(src_strerror(error));
    }
    Buffers buffers(input);
    perSecondOfAudio(state, input, [&](const BYTE* packet) {
        downmixToMono(packet, input.packetFrames, input.format.Format, buffers.mono);
        SRC_DATA data{};
        data.data_in = buffers.mono.data();
        data.input_frames = static_cast<long>(buffers.mono.size());
        data.data_out = buffers.resampled.data();
        data.output_frames = static_cast<long>(buffers.resampled.size());
        data.src_ratio = 16000.0 / rate;
        src_process(converter, &data);
        src_float_to_short_array(buffers.resampled.data(), buffers.out.data(),
                                 static_cast<int>(data.output_frames_gen));
        benchmark::DoNotOptimize(buffers.out.data());
        return static_cast<std::size_t>(data.output_frames_gen);
    });
    src_delete(converter);
}

void speexQuality0(benchmark::State& state, UINT32 rate, Sample sample) {
    const Input input(rate, sample);
    int error = 0;
    SpeexResamplerState* converter = speex_resampler_init(1, rate, 16000, 0, &error);
    if (converter == nullptr) {
        throw std::runtime_error(speex_resampler_strerror(error));
    }
    Buffers buffers(input);
    perSecondOfAudio(state, input, [&](const BYTE* packet) {
        downmixToMono(packet, input.packetFrames, input.format.Format, buffers.mono);
        auto consumed = static_cast<spx_uint32_t>(buffers.mono.size());
        auto generated = static_cast<spx_uint32_t>(buffers.resampled.size());
        speex_resampler_process_float(converter, 0, buffers.mono.data(), &consumed,
                                      buffers.resampled.data(), &generated);
        for (spx_uint32_t i = 0; i < generated; ++i) {
            const float scaled = std::clamp(buffers.resampled[i] * 32767.0f, -32768.0f, 32767.0f);
            buffers.out[i] = static_cast<short>(std::lrint(scaled));
        }
        benchmark::DoNotOptimize(buffers.out.data());
        return static_cast<std::size_t>(generated);
    });
    speex_resampler_destroy(converter);
}

void registerCase(const char* name, UINT32 rate, Sample sample) {
    const std::string suffix = std::string("/") + name;
    benchmark::RegisterBenchmark(("ours" + suffix).c_str(), ours, rate, sample);
    benchmark::RegisterBenchmark(("libsamplerate_linear" + suffix).c_str(), libsamplerateLinear,
                                 rate, sample);
    benchmark::RegisterBenchmark(("speexdsp_q0" + suffix).c_str(), speexQuality0, rate, sample);
}

} // namespace

int main(int argc, char** argv) {
    registerCase("48000_float_stereo", 48000, Sample::Float32);
    registerCase("44100_float_stereo", 44100, Sample::Float32);
    registerCase("48000_int16_stereo", 48000, Sample::Int16);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
