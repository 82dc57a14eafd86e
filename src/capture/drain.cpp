#include "capture/drain.h"

#include "core/chunk_writer.h"
#include "dsp/downmix.h"
#include "dsp/resampler.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace dualcap {
namespace {

void reportCut(const CaptureSource& source, const Gap& gap, UINT32 rate) {
    std::fprintf(stderr,
                 "error: %s lost %.1f s of audio; only %u s of it filled with silence, so it "
                 "runs %.1f s late from here\n",
                 sourceLabel(source), static_cast<double>(gap.fill + gap.cut) / rate,
                 kMaxFillSeconds, static_cast<double>(gap.cut) / rate);
    std::fflush(stderr);
}

} // namespace

HRESULT drainPackets(CaptureSource& source, IAudioCaptureClient* captureClient,
                     const WAVEFORMATEX& format) {
    UINT32 pending = 0;
    HRESULT hr = captureClient->GetNextPacketSize(&pending);
    while (SUCCEEDED(hr) && pending != 0) {
        BYTE* data = nullptr;
        PacketPosition position;
        hr = captureClient->GetBuffer(&data, &position.frames, &position.flags,
                                      &position.devicePosition, &position.counter);
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == AUDCLNT_S_BUFFER_EMPTY) {
            position.frames = 0; // no packet after all, whatever else the call left behind
        }
        if ((position.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
            data = nullptr;
        }
        const UINT32 rate = format.nSamplesPerSec;
        // Kept from packet to packet: converting one allocates nothing.
        thread_local std::vector<std::int16_t> samples;
        thread_local std::vector<float> mono;
        samples.clear();
        const Gap gap = gapBefore(source.clock, position, rate);
        if (gap.fill != 0) {
            resampleTo16k(source, std::vector<float>(gap.fill, 0.0f), rate, samples);
        }
        if (gap.cut != 0) {
            reportCut(source, gap, rate);
        }
        // An unsupported format still gives one (silent) value per frame, so the packet
        // keeps its place in time.
        downmixToMono(data, position.frames, format, mono);
        if (!mono.empty() && rate > 0) {
            resampleTo16k(source, mono, rate, samples);
        }
        // The packet is converted: give it back before the write, which may block on a
        // slow reader, so the engine never waits on the reader for its buffer.
        captureClient->ReleaseBuffer(position.frames);
        if (!samples.empty()) {
            writeChunk(*source.sink, source.tag, samples);
        }
        hr = captureClient->GetNextPacketSize(&pending);
    }
    return SUCCEEDED(hr) ? S_OK : hr;
}

} // namespace dualcap
