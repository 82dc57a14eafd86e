#include "capture/drain.h"

#include "core/chunk_writer.h"
#include "dsp/downmix.h"
#include "dsp/resampler.h"

#include <cstdint>
#include <vector>

namespace dualcap {

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
        if ((position.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
            data = nullptr;
        }
        const UINT32 rate = format.nSamplesPerSec;
        std::vector<std::int16_t> samples;
        if (const UINT64 lost = framesLostBefore(source.clock, position, rate); lost != 0) {
            resampleTo16k(source, std::vector<float>(lost, 0.0f), rate, samples);
        }
        // An unsupported format still gives one (silent) value per frame, so the packet
        // keeps its place in time.
        std::vector<float> mono;
        downmixToMono(data, position.frames, format, mono);
        if (!mono.empty() && rate > 0) {
            resampleTo16k(source, mono, rate, samples);
        }
        if (!samples.empty()) {
            writeChunk(*source.sink, source.tag, samples);
        }
        captureClient->ReleaseBuffer(position.frames);
        hr = captureClient->GetNextPacketSize(&pending);
    }
    return SUCCEEDED(hr) ? S_OK : hr;
}

} // namespace dualcap
