#include "platform/audio_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string text(const GUID& guid) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return buffer;
}

} // namespace

// A wrong byte here makes COM answer "class not registered" on every machine.
TEST(AudioIds, AreTheOnesWindowsRegisters) {
    EXPECT_EQ(text(dualcap::CLSID_MMDeviceEnumerator), "BCDE0395-E52F-467C-8E3D-C4579291692E");
    EXPECT_EQ(text(dualcap::IID_IMMDeviceEnumerator), "A95664D2-9614-4F35-A746-DE8DB63617E6");
    EXPECT_EQ(text(dualcap::IID_IAudioClient), "1CB9AD4C-DBFA-4C32-B178-C2F568A703B2");
    EXPECT_EQ(text(dualcap::IID_IAudioCaptureClient), "C8ADBD64-E71E-48A0-A4DE-185C395CD317");
    EXPECT_EQ(text(dualcap::IID_IAudioRenderClient), "F294ACFC-3146-4483-A7BF-ADDCA7C260E2");
}
