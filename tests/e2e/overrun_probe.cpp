// Makes each default endpoint overrun on purpose and prints what GetBuffer reports around
// it: the flags, the device position and the performance-counter position of the last
// packet before a stall and of the first packets after it. overrun_test.py runs it and says
// what the platform does; the program's handling of lost time is built on those facts.
//
// Two kinds of stall: with no argument, the reader sleeps for a second while the process
// runs on, with a buffer of 100 ms, not the program's 2 s, so that the second overruns it;
// with "stop", it says "<source> stalling" on standard output, and whoever runs it stops the
// whole process for a while (SIGSTOP, then SIGCONT), as a suspended job or a paused machine
// would, then writes a line to its standard input; the buffer is then the program's 2 s.
//
// One line a packet: "<source> <when> flags=0x.. frames=N devpos=N qpc=N", and one line
// "<source> format rate=N buffer=N stall=N" (buffer in frames, stall in 100 ns units).

#include "platform/audio_ids.h"
#include "platform/win32.h"

#include <cstdio>
#include <cstring>

namespace {

struct Stall {
    REFERENCE_TIME bufferDuration;
    // How long to read on after the stall: enough to read the backlog, however fast it
    // comes, and see the stream live again.
    UINT64 readAfter; // 100 ns units
    bool stopped;     // the whole process, not only the reader
};
constexpr Stall kReaderStall{1'000'000, 5'000'000, false};
constexpr Stall kProcessStop{20'000'000, 50'000'000, true};
constexpr DWORD kStallMs = 1000;

// The performance counter in 100 ns units, as GetBuffer reports its position.
UINT64 now100ns() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<UINT64>(static_cast<double>(count.QuadPart) * 1e7 /
                               static_cast<double>(frequency.QuadPart));
}

struct Packet {
    DWORD flags = 0;
    UINT32 frames = 0;
    UINT64 devicePosition = 0;
    UINT64 qpcPosition = 0;
    UINT64 readAt = 0; // when GetBuffer returned it
};

// The next packet, if one is ready; released at once, its data unread.
bool nextPacket(IAudioCaptureClient* capture, Packet& packet) {
    BYTE* data = nullptr;
    if (capture->GetBuffer(&data, &packet.frames, &packet.flags, &packet.devicePosition,
                           &packet.qpcPosition) != S_OK) {
        return false;
    }
    packet.readAt = now100ns();
    capture->ReleaseBuffer(packet.frames);
    return true;
}

void print(const char* source, const char* when, const Packet& packet) {
    std::printf("%s %s flags=0x%lx frames=%u devpos=%llu qpc=%llu read=%llu\n", source, when,
                static_cast<unsigned long>(packet.flags), packet.frames,
                static_cast<unsigned long long>(packet.devicePosition),
                static_cast<unsigned long long>(packet.qpcPosition),
                static_cast<unsigned long long>(packet.readAt));
}

bool probe(IMMDeviceEnumerator* enumerator, const char* source, EDataFlow flow, DWORD flags,
           const Stall& stall) {
    IMMDevice* device = nullptr;
    IAudioClient* client = nullptr;
    WAVEFORMATEX* format = nullptr;
    IAudioCaptureClient* capture = nullptr;
    bool ok = SUCCEEDED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &device)) &&
              SUCCEEDED(device->Activate(dualcap::IID_IAudioClient, CLSCTX_ALL, nullptr,
                                         reinterpret_cast<void**>(&client))) &&
              SUCCEEDED(client->GetMixFormat(&format)) &&
              SUCCEEDED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, stall.bufferDuration, 0,
                                           format, nullptr)) &&
              SUCCEEDED(client->GetService(dualcap::IID_IAudioCaptureClient,
                                           reinterpret_cast<void**>(&capture))) &&
              SUCCEEDED(client->Start());
    if (ok) {
        UINT32 bufferFrames = 0;
        client->GetBufferSize(&bufferFrames);
        // Read in time until the source has delivered for a second (a monitor may take a
        // second or two to begin), then stall, then read on.
        Packet packet;
        Packet last;
        bool first = true;
        UINT64 since = 0;
        for (int tick = 0; tick < 500 && (since == 0 || now100ns() - since < 10'000'000); ++tick) {
            while (nextPacket(capture, packet)) {
                if (first) {
                    print(source, "first", packet);
                    first = false;
                    since = now100ns();
                }
                last = packet;
            }
            Sleep(10);
        }
        print(source, "before", last);
        const UINT64 stallBegan = now100ns();
        if (stall.stopped) {
            // Read on as soon as the process runs again, as the program would.
            std::printf("%s stalling\n", source);
            std::fflush(stdout);
            char line[64];
            std::fgets(line, sizeof line, stdin);
        } else {
            Sleep(kStallMs);
        }
        std::printf("%s format rate=%lu buffer=%u stall=%llu\n", source,
                    static_cast<unsigned long>(format->nSamplesPerSec), bufferFrames,
                    static_cast<unsigned long long>(now100ns() - stallBegan));
        for (const UINT64 resumed = now100ns(); now100ns() - resumed < stall.readAfter;) {
            while (nextPacket(capture, packet)) {
                print(source, "after", packet);
            }
            Sleep(10);
        }
        client->Stop();
    } else {
        std::printf("%s unavailable\n", source);
    }
    std::fflush(stdout);
    if (capture != nullptr) {
        capture->Release();
    }
    if (format != nullptr) {
        CoTaskMemFree(format);
    }
    if (client != nullptr) {
        client->Release();
    }
    if (device != nullptr) {
        device->Release();
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const Stall& stall =
        argc > 1 && std::strcmp(argv[1], "stop") == 0 ? kProcessStop : kReaderStall;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 2;
    }
    IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(CoCreateInstance(dualcap::CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                dualcap::IID_IMMDeviceEnumerator,
                                reinterpret_cast<void**>(&enumerator)))) {
        return 2;
    }
    const bool mic = probe(enumerator, "capture", eCapture, 0, stall);
    const bool loopback =
        probe(enumerator, "loopback", eRender, AUDCLNT_STREAMFLAGS_LOOPBACK, stall);
    enumerator->Release();
    CoUninitialize();
    return mic && loopback ? 0 : 1;
}
