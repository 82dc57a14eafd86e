#include "fakes/fake_capture_client.h"

#include <chrono>

namespace dualcap::test {

void FakeCaptureClient::addPacket(ScriptedPacket packet) {
    std::lock_guard guard(lock_);
    pending_.push_back(std::move(packet));
}

std::vector<std::string> FakeCaptureClient::calls() const {
    std::lock_guard guard(lock_);
    return calls_;
}

int FakeCaptureClient::sizeQueries() const {
    std::lock_guard guard(lock_);
    return sizeQueries_;
}

bool FakeCaptureClient::waitForSizeQueriesAbove(int count, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return sizeQueries_ > count; });
}

int FakeCaptureClient::references() const {
    std::lock_guard guard(lock_);
    return references_;
}

HRESULT FakeCaptureClient::QueryInterface(REFIID, void** object) {
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeCaptureClient::AddRef() {
    std::lock_guard guard(lock_);
    return static_cast<ULONG>(++references_);
}

ULONG FakeCaptureClient::Release() {
    int left;
    {
        std::lock_guard guard(lock_);
        left = --references_;
    }
    if (left == 0 && onRelease) {
        onRelease();
    }
    return static_cast<ULONG>(left);
}

HRESULT FakeCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                     UINT64* devicePosition, UINT64* counter) {
    std::lock_guard guard(lock_);
    calls_.push_back("get");
    if (++getBufferCalls_ == failGetBufferAt) {
        return failure;
    }
    if (pending_.empty()) {
        *frames = 0;
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    current_ = std::move(pending_.front());
    pending_.pop_front();
    *data = current_.data.empty() ? nullptr : current_.data.data();
    *frames = current_.frames;
    *flags = current_.flags;
    if (devicePosition != nullptr) {
        *devicePosition = current_.devicePosition;
    }
    if (counter != nullptr) {
        *counter = current_.counter;
    }
    return current_.status;
}

HRESULT FakeCaptureClient::ReleaseBuffer(UINT32 frames) {
    std::lock_guard guard(lock_);
    calls_.push_back("release " + std::to_string(frames));
    return S_OK;
}

HRESULT FakeCaptureClient::GetNextPacketSize(UINT32* frames) {
    std::lock_guard guard(lock_);
    calls_.push_back("size");
    ++sizeQueries_;
    changed_.notify_all();
    if (sizeQueries_ == failSizeQueryAt) {
        return failure;
    }
    if (pending_.empty() && packetPerDrain && foundNothing_) {
        pending_.push_back(packetPerDrain());
    }
    foundNothing_ = pending_.empty();
    if (pending_.empty()) {
        *frames = 0;
    } else {
        const ScriptedPacket& next = pending_.front();
        *frames = next.announcedFrames != 0 ? next.announcedFrames : next.frames;
    }
    return S_OK;
}

} // namespace dualcap::test
