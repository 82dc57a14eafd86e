#include "core/capture_source.h"

#include <gtest/gtest.h>

using namespace dualcap;

TEST(CaptureSource, StartsSoThatTheFirstOutputIsTheFirstCapturedSample) {
    OutputSink sink;
    CaptureSource mic{.tag = kMicTag, .loopback = false, .sink = &sink};
    CaptureSource system{.tag = kSystemTag, .loopback = true, .sink = &sink};

    for (const CaptureSource* source : {&mic, &system}) {
        EXPECT_EQ(source->resamplePos, 1.0);
        EXPECT_EQ(source->lastSample, 0.0f);
        EXPECT_FALSE(source->running.load());
        EXPECT_FALSE(source->worker.joinable());
        EXPECT_EQ(source->stopEvent, nullptr);
        EXPECT_EQ(source->sink, &sink);
    }
    EXPECT_EQ(mic.tag, 0);
    EXPECT_EQ(system.tag, 1);
}
