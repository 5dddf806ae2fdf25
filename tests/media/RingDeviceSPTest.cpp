#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "media/RingDeviceSP.h"
#include "media/RingTone.h"
#include "platform/AudioWavFile.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(RingToneTest, TheTableFollowsItsFormula) {
    // 440 Hz at 0.35 full scale plus 480 Hz 5 dB lower, faded in over the first 100 samples.
    const auto& table = RingToneSamples();
    ASSERT_EQ(table.size(), 4800u);
    const double a = 0.35 * 32768;
    const double b = a * std::pow(10.0, -5.0 / 20.0);
    for (int n = 0; n < 4800; ++n) {
        const double g = n < 100 ? n / 100.0 : 1.0;
        const double expected = g * (a * std::sin(2 * std::numbers::pi * 440 * n / 8000) +
                                     b * std::sin(2 * std::numbers::pi * 480 * n / 8000));
        ASSERT_LE(std::abs(table[n] - expected), 1.0) << n;
    }
}

TEST(RingDeviceSPTest, SixtySlicesOfToneThenOneHundredSixtyOfSilenceThenToneAgain) {
    CRingDeviceSP ring;  // never opened: the completions are driven by hand
    std::vector<char> memory(16000, 0x55);
    platform::AudioBufferHeader header{memory.data(), 0, 0, 0, 0};
    const auto* tone = reinterpret_cast<const char*>(RingToneSamples().data());
    for (int completion = 1; completion <= 221; ++completion) {
        CRingDeviceSP::RingOutProc(&ring, &header);
        ASSERT_EQ(header.bufferLength, 160u);
        if (completion <= 60 || completion == 221) {
            const int offset = completion == 221 ? 0 : (completion - 1) * 160;
            ASSERT_EQ(std::memcmp(header.data, tone + offset, 160), 0) << completion;
        } else {
            ASSERT_EQ(std::count(header.data, header.data + 160, 0), 160) << completion;
        }
    }
    // A new device starts at the fade-in.
    CRingDeviceSP again;
    CRingDeviceSP::RingOutProc(&again, &header);
    EXPECT_EQ(std::memcmp(header.data, tone, 160), 0);
}

TEST(RingDeviceSPTest, TheOpenDeviceRequeuesItsBuffersAndPlaysTheCycleWithoutGaps) {
    media_testing::VirtualAudio audio;
    const std::string path = media_testing::TempPath("ring.wav");
    audio.backEnd.SetOutputDevices({platform::VirtualAudioDevice("Speaker", path)});
    audio.backEnd.SetSpeed(20.0);
    constexpr size_t kCycle = 17600;
    {
        CRingDeviceSP ring;
        ASSERT_EQ(ring.Open(), 0);
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] { return audio.backEnd.FramesPlayed(0) >= kCycle + 4800 + 400; }));
    }
    std::vector<int16_t> played;
    ASSERT_TRUE(platform::ReadWavFile(path, &played));
    const auto& tone = RingToneSamples();
    // The empty buffers of the start give silence before the tone, whose first sample is 0.
    const size_t firstLoud =
        std::find_if(played.begin(), played.end(), [](int16_t s) { return s; }) - played.begin();
    ASSERT_GE(firstLoud, 1u);
    const size_t start = firstLoud - 1;
    ASSERT_GE(played.size(), start + kCycle + 4800);
    for (size_t n = 0; n < kCycle + 4800; ++n) {
        const int16_t expected = n < 4800 ? tone[n] : n < kCycle ? 0 : tone[n - kCycle];
        ASSERT_EQ(played[start + n], expected) << n;
    }
}

}  // namespace
