#pragma once

#include "platform/win32.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace dualcap::test {

struct ScriptedPacket {
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<BYTE> data;     // the packet's samples in the mix format; may be empty if silent
    UINT32 announcedFrames = 0; // what the size query says, if not `frames`
    UINT64 devicePosition = 0;
    UINT64 counter = 0;    // performance-counter position, 100 ns units
    HRESULT status = S_OK; // what GetBuffer returns with it (AUDCLNT_S_BUFFER_EMPTY, say)
};

// A capture service that hands out scripted packets, can fail its Nth size query or
// buffer request, and logs every call ("size", "get", "release 480"). Thread-safe, so a
// test may add packets while a session drains.
class FakeCaptureClient : public IAudioCaptureClient {
public:
    void addPacket(ScriptedPacket packet);
    // Call numbers count from 1 over the client's life.
    int failSizeQueryAt = 0;
    int failGetBufferAt = 0;
    HRESULT failure = AUDCLNT_E_DEVICE_INVALIDATED;
    // When set, every drain finds one such packet: a size query that follows one that
    // found nothing makes a new one.
    std::function<ScriptedPacket()> packetPerDrain;

    std::vector<std::string> calls() const;
    int sizeQueries() const;
    // Waits until the size has been queried more than `count` times; false on time-out.
    bool waitForSizeQueriesAbove(int count, int timeoutMs) const;
    int references() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* qpcPosition) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

    // Called (outside the client's lock) on each final Release, for logs of teardown order.
    std::function<void()> onRelease;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::deque<ScriptedPacket> pending_;
    ScriptedPacket current_;
    std::vector<std::string> calls_;
    int sizeQueries_ = 0;
    int getBufferCalls_ = 0;
    bool foundNothing_ = true;
    int references_ = 1;
};

} // namespace dualcap::test
