#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numbers>
#include <vector>

#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "platform/AudioWavFile.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using media_testing::VirtualAudio;
using platform::VirtualAudioDevice;

constexpr int kWindow = 160;  // 20 ms

// Energy of the window's best-fitting sine at hz (any phase). Every frequency used makes
// whole periods in the window, so projecting onto cosine and sine gives that fit.
double ToneEnergy(const int16_t* s, double hz) {
    double re = 0, im = 0;
    for (int n = 0; n < kWindow; ++n) {
        const double phase = 2 * std::numbers::pi * hz * n / 8000.0;
        re += s[n] * std::cos(phase);
        im += s[n] * std::sin(phase);
    }
    return 2 * (re * re + im * im) / kWindow;
}

double Energy(const int16_t* s) {
    double sum = 0;
    for (int n = 0; n < kWindow; ++n) {
        sum += static_cast<double>(s[n]) * s[n];
    }
    return sum;
}

TEST(VoiceLoopTest, AToneCapturedOnOneSessionIsPlayedOutOnTheOther) {
    platform::LibraryHandle codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    std::vector<int16_t> tone(16000);
    for (size_t n = 0; n < tone.size(); ++n) {
        tone[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
    }
    const std::string source = media_testing::TempPath("loop_tone.wav");
    const std::string played = media_testing::TempPath("loop_played.wav");
    ASSERT_TRUE(platform::WriteWavFile(source, tone));
    VirtualAudio audio;
    audio.backEnd.SetInputDevices({VirtualAudioDevice("Microphone", source)});
    audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", played)});
    audio.backEnd.SetSpeed(2.0);

    rtp_session* caller = media_testing::OpenLoopbackSession(9);
    ASSERT_NE(caller, nullptr);
    rtp_session* callee = media_testing::OpenLoopbackSession(media_testing::SessionPort(caller));
    ASSERT_NE(callee, nullptr);
    ASSERT_EQ(rtp_connect(caller, "127.0.0.1", media_testing::SessionPort(callee)), 0);
    {
        CDeviceSP playback(codec, 18, callee);
        CDeviceMC capture(codec, 18, 1600, caller);
        ASSERT_EQ(playback.Open(), 0);
        ASSERT_EQ(capture.Open(), 0);
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] { return playback.ReceiveThread()->DatagramsReceived() >= 50; }));
        capture.Close();
        ASSERT_TRUE(
            testing_support::WaitUntil([&] { return playback.ReceiveThread()->Held() == 0; }));
        const uint64_t framesAtEnd = audio.backEnd.FramesPlayed(0);
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] { return audio.backEnd.FramesPlayed(0) >= framesAtEnd + 1600; }));
    }
    rtp_close(caller);
    rtp_close(callee);

    std::vector<int16_t> samples;
    ASSERT_TRUE(platform::ReadWavFile(played, &samples));
    std::vector<double> snrs;
    double toneShare = 0, otherShare = 0;
    int skipped = 0;
    for (size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        const int16_t* window = &samples[start];
        // Quiet windows (RMS under 1000) are before or after the tone; the decoder needs a
        // few frames to settle.
        if (Energy(window) < 1000.0 * 1000.0 * kWindow || skipped++ < 4) {
            continue;
        }
        const double tone = ToneEnergy(window, 1000);
        snrs.push_back(10 * std::log10(tone / std::max(Energy(window) - tone, 1.0)));
        toneShare += tone;
        otherShare = std::max({otherShare, ToneEnergy(window, 500), ToneEnergy(window, 1500),
                               ToneEnergy(window, 2000)});
    }
    // At least 800 ms of the one second sent came out loud.
    ASSERT_GE(snrs.size(), 40u);
    std::nth_element(snrs.begin(), snrs.begin() + snrs.size() / 2, snrs.end());
    const double medianSnr = snrs[snrs.size() / 2];
    std::cout << "1 kHz through G.729a: " << snrs.size() * 20 << " ms heard, median SNR "
              << medianSnr << " dB\n";
    EXPECT_GT(medianSnr, 6.0);
    EXPECT_GT(toneShare, 50 * otherShare);
}

}  // namespace
