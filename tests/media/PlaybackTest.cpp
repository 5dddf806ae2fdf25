// The speaker's devices: the call's playback, the ring tone, and a voice loop through two
// sessions with the real codec library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "media/RingDeviceSP.h"
#include "media/RingTone.h"
#include "platform/AudioWavFile.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::VirtualAudioDevice;
using Samples = std::vector<int16_t>;
using testing_support::WaitUntil;

Samples ReadWav(const std::string& path) {
    Samples samples;
    EXPECT_TRUE(platform::ReadWavFile(path, &samples)) << path;
    return samples;
}
Samples::const_iterator FirstLoud(const Samples& s) {
    return std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; });
}

class DeviceSPTest : public ::testing::Test {
protected:
    void SetUp() override {
        codec = platform::LoadLibraryByName(media_testing::kFakeCodec);
        ASSERT_NE(codec, nullptr);
        session = media_testing::OpenLoopbackSession(9);  // nobody sends to it
        ASSERT_NE(session, nullptr);
        audio.backEnd.SetSpeed(10.0);
        audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", wavPath)});
    }
    void TearDown() override { rtp_close(session); }

    media_testing::VirtualAudio audio;
    const std::string wavPath = media_testing::TempPath("speaker.wav");
    platform::LibraryHandle codec = nullptr;
    rtp_session* session = nullptr;
};

TEST_F(DeviceSPTest, VolumeValueIsThePositionScaledOnBothChannels) {
    const struct {
        int maximum, position;
        uint32_t value;
    } cases[] = {{25, 25, 0xFFFFFFFFu}, {25, 0, 0u},  {25, 13, 0x851E851Eu},
                 {25, 40, 0xFFFFFFFFu}, {25, -3, 0u}, {0, 0, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        EXPECT_EQ(CDeviceSP::VolumeValue(c.maximum, c.position), c.value) << c.position;
    }
}

TEST_F(DeviceSPTest, SixHundredFortyBytesPlayAsSixHundredFortyBytesAtTheSetVolume) {
    CDeviceSP playback(codec, 18, session);
    playback.SetVolume(25, 13);
    // Four frames of the fake codec that decode to 320 samples of 10000.
    std::vector<unsigned char> payload(40, 0);
    for (int frame = 0; frame < 4; ++frame) {
        payload[10 * frame] = 10000 & 0xFF;
        payload[10 * frame + 1] = 10000 >> 8;
    }
    ASSERT_EQ(playback.ReceiveThread()->AccessBuffer(true, payload.data(), 40), 640);
    ASSERT_EQ(playback.Open(), 0);
    ASSERT_TRUE(WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= 800; }));
    EXPECT_EQ(playback.ReceiveThread()->Held(), 0);
    playback.Close();
    const Samples played = ReadWav(wavPath);
    const auto first = FirstLoud(played);
    ASSERT_LE(first + 320, played.end());
    EXPECT_EQ(std::count(first, first + 320, 10000 * 34078 / 65535), 320);
    EXPECT_EQ(std::count(first + 320, played.end(), 0), played.end() - first - 320);
}

TEST_F(DeviceSPTest, CloseJoinsTheReceiveThreadEvenWhenTheDeviceCannotOpen) {
    for (const bool openable : {true, false}) {
        SCOPED_TRACE(openable ? "openable" : "busy");
        VirtualAudioDevice speaker("Speaker");
        speaker.openable = openable;
        audio.backEnd.SetOutputDevices({speaker});
        CDeviceSP playback(codec, 18, session);
        EXPECT_EQ(playback.Open(), openable ? platform::kAudioOk : platform::kAudioAllocated);
        ASSERT_TRUE(playback.ReceiveThread()->Started());
        if (openable) {
            ASSERT_TRUE(WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= 160; }));
        }
        playback.Close();
        EXPECT_FALSE(playback.IsOpen());
        EXPECT_TRUE(playback.ReceiveThread()->Finished());
    }
}

// 440 Hz at 0.35 full scale plus 480 Hz 5 dB lower, faded in over the first 100 samples.
TEST(RingDeviceSPTest, TheToneIsTwoSinesFadedIn) {
    const auto& table = RingToneSamples();
    ASSERT_EQ(table.size(), 4800u);
    const double a = 0.35 * 32768, b = a * std::pow(10.0, -5.0 / 20.0);
    for (int n = 0; n < 4800; ++n) {
        const double w = 2 * std::numbers::pi * n / 8000;
        const double expected =
            std::min(n / 100.0, 1.0) * (a * std::sin(440 * w) + b * std::sin(480 * w));
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
    CRingDeviceSP again;  // a new device starts at the fade-in
    CRingDeviceSP::RingOutProc(&again, &header);
    EXPECT_EQ(std::memcmp(header.data, tone, 160), 0);
}

TEST(RingDeviceSPTest, TheOpenDeviceRequeuesItsBuffersAndPlaysTheCycleWithoutGaps) {
    media_testing::VirtualAudio audio;
    const std::string path = media_testing::TempPath("ring.wav");
    audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    audio.backEnd.SetSpeed(20.0);
    constexpr size_t kCycle = 17600;
    {
        CRingDeviceSP ring;
        ASSERT_EQ(ring.Open(), 0);
        ASSERT_TRUE(
            WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= kCycle + 4800 + 400; }));
    }
    const Samples played = ReadWav(path);
    const auto& tone = RingToneSamples();
    // The empty buffers of the start give silence before the tone, whose first sample is 0.
    const size_t firstLoud = FirstLoud(played) - played.begin();
    ASSERT_GE(firstLoud, 1u);
    const size_t start = firstLoud - 1;
    ASSERT_GE(played.size(), start + kCycle + 4800);
    for (size_t n = 0; n < kCycle + 4800; ++n) {
        const int16_t expected = n < 4800 ? tone[n] : n < kCycle ? 0 : tone[n - kCycle];
        ASSERT_EQ(played[start + n], expected) << n;
    }
}

// Energy of the 20 ms window's best-fitting sine at hz, any phase: every frequency used makes
// whole periods in the window. Without hz, the window's whole energy.
double Energy(const int16_t* s, double hz = 0) {
    double re = 0, im = 0, sum = 0;
    for (int n = 0; n < 160; ++n) {
        const double phase = 2 * std::numbers::pi * hz * n / 8000.0;
        re += s[n] * std::cos(phase);
        im += s[n] * std::sin(phase);
        sum += double(s[n]) * s[n];
    }
    return hz == 0 ? sum : 2 * (re * re + im * im) / 160;
}

TEST(VoiceLoopTest, AToneCapturedOnOneSessionIsPlayedOutOnTheOther) {
    platform::LibraryHandle codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    Samples tone(16000);
    for (size_t n = 0; n < tone.size(); ++n) {
        tone[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
    }
    const std::string source = media_testing::TempPath("loop_tone.wav");
    const std::string played = media_testing::TempPath("loop_played.wav");
    ASSERT_TRUE(platform::WriteWavFile(source, tone));
    media_testing::VirtualAudio audio;
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
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->DatagramsReceived() >= 50; }));
        capture.Close();
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->Held() == 0; }));
        const uint64_t framesAtEnd = audio.backEnd.FramesPlayed(0);
        ASSERT_TRUE(WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= framesAtEnd + 1600; }));
    }
    rtp_close(caller);
    rtp_close(callee);

    const Samples samples = ReadWav(played);
    std::vector<double> snrs;
    double toneShare = 0, otherShare = 0;
    int skipped = 0;
    for (size_t start = 0; start + 160 <= samples.size(); start += 160) {
        const int16_t* window = &samples[start];
        // Quiet windows (RMS under 1000) are before or after the tone; the decoder needs a
        // few frames to settle.
        if (Energy(window) < 1000.0 * 1000.0 * 160 || skipped++ < 4) {
            continue;
        }
        const double tone = Energy(window, 1000);
        snrs.push_back(10 * std::log10(tone / std::max(Energy(window) - tone, 1.0)));
        toneShare += tone;
        otherShare =
            std::max({otherShare, Energy(window, 500), Energy(window, 1500), Energy(window, 2000)});
    }
    ASSERT_GE(snrs.size(), 40u);  // at least 800 ms of the second sent came out loud
    std::nth_element(snrs.begin(), snrs.begin() + snrs.size() / 2, snrs.end());
    EXPECT_GT(snrs[snrs.size() / 2], 6.0) << "median SNR of 1 kHz through G.729a";
    EXPECT_GT(toneShare, 50 * otherShare);
}

}  // namespace
