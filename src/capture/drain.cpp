#include "capture/drain.h"

#include "core/chunk_writer.h"
#include "dsp/downmix.h"
#include "dsp/resampler.h"

#include <cstdint>
#include <vector>

namespace dualcap {

void drainPackets(CaptureSource& source, IAudioCaptureClient* captureClient,
                  const WAVEFORMATEX& format) {
    UINT32 pending = 0;
    if (FAILED(captureClient->GetNextPacketSize(&pending))) {
        return;
    }
    while (pending != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (FAILED(captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) {
            return;
        }
        if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
            data = nullptr;
        }
        // An unsupported format still gives one (silent) value per frame, so the packet
        // keeps its place in time.
        std::vector<float> mono;
        downmixToMono(data, frames, format, mono);
        std::vector<std::int16_t> samples;
        if (!mono.empty() && format.nSamplesPerSec > 0) {
            resampleTo16k(source, mono, format.nSamplesPerSec, samples);
        }
        if (!samples.empty()) {
            writeChunk(*source.sink, source.tag, samples);
        }
        captureClient->ReleaseBuffer(frames);
        if (FAILED(captureClient->GetNextPacketSize(&pending))) {
            return;
        }
    }
}

} // namespace dualcap
