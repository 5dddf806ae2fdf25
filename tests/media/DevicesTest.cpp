// The audio devices of a call, with a readable stand-in codec (FakeCodec.cpp), the real
// codec library and the virtual audio device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

#include "media/AudioDeviceSelection.h"
#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "media/RingDeviceSP.h"
#include "media/RingTone.h"
#include "media/rtp.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/DynamicLibrary.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;
using platform::VirtualAudioDevice;
using Samples = std::vector<int16_t>;
using testing_support::WaitUntil;

// An RTP session on a free port, connected to 127.0.0.1:remotePort; released with rtp_close.
rtp_session* OpenLoopbackSession(uint16_t remotePort) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint16_t port = [] {
            UdpSocket probe;
            return probe.Bind(0) ? probe.LocalPort() : uint16_t{0};
        }();
        auto* session = new rtp_session();
        if (port && rtp_open(session, port, 0) &&
            rtp_connect(session, "127.0.0.1", remotePort) == 0) {
            return session;
        }
        rtp_close(session);
    }
    return nullptr;
}
// A file of the running test's own, so that tests run side by side do not share one.
std::string TempPath(const std::string& name) {
    return testing_support::BinaryPath(
        std::string("media_devices_") +
        ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name);
}
Samples::const_iterator FirstLoud(const Samples& s) {
    return std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; });
}

// The fake codec, a session sending to a loopback socket of the test's own, and a speaker
// that writes a file.
class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetAudioBackEnd(&backEnd);
        codec = platform::LoadLibraryByName("libsoftphone_fake_codec.so");
        ASSERT_NE(codec, nullptr);
        uint32_t loopback = 0;
        ASSERT_TRUE(platform::ParseDottedIpv4("127.0.0.1", &loopback));
        ASSERT_TRUE(receiver.Bind(0, loopback));
        session = OpenLoopbackSession(receiver.LocalPort());
        ASSERT_NE(session, nullptr);
        backEnd.SetSpeed(10.0);
        backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", wavPath)});
    }
    void TearDown() override {
        rtp_close(session);
        platform::SetAudioBackEnd(nullptr);
    }

    void MicrophonePlays(const Samples& samples) {
        const std::string source = TempPath("microphone.wav");
        ASSERT_TRUE(platform::WriteWavFile(source, samples));
        backEnd.SetInputDevices(
            {VirtualAudioDevice("Other"), VirtualAudioDevice("Microphone", source)});
    }
    Samples Played() {
        Samples samples;
        EXPECT_TRUE(platform::ReadWavFile(wavPath, &samples));
        return samples;
    }
    // A datagram, or nothing within the wait.
    std::vector<unsigned char> Receive(int waitMs = 2000) {
        std::vector<unsigned char> datagram(200);
        const long n = receiver.WaitReadable(waitMs) == UdpSocket::WaitResult::Readable
                           ? receiver.ReceiveFrom(datagram.data(), datagram.size(), nullptr)
                           : 0;
        datagram.resize(std::max(n, 0L));
        return datagram;
    }
    // The first sample of the first frame of a datagram of the fake codec.
    int16_t FirstSample(int waitMs = 2000) {
        const std::vector<unsigned char> d = Receive(waitMs);
        return d.size() == 32 ? int16_t(d[12] | d[13] << 8) : -1;
    }

    platform::VirtualAudioBackEnd backEnd;
    const std::string wavPath = TempPath("speaker.wav");
    platform::LibraryHandle codec = nullptr;
    UdpSocket receiver;
    rtp_session* session = nullptr;
};

// Two frames a packet, five packets a buffer, timestamps from the tick at Open.
TEST_F(DevicesTest, CaptureSendsTheMicrophoneInPacketsOfTwoFrames) {
    Samples ramp(16000);  // sample k has the value k: each frame tells where it came from
    std::iota(ramp.begin(), ramp.end(), 0);
    MicrophonePlays(ramp);
    testing_support::FakeClock clock(1'700'000'000, 4'000'000'000u);
    CDeviceMC capture(codec, 18, 1600, session);
    capture.SetDeviceId(1);
    ASSERT_EQ(capture.Open(), 0);
    clock.SetTickCount(5);
    std::vector<std::vector<unsigned char>> datagrams;
    for (int i = 0; i < 10; ++i) {
        datagrams.push_back(Receive());
    }
    capture.Close();
    ASSERT_EQ(datagrams[0].size(), 32u);
    const uint32_t seq0 = datagrams[0][2] << 8 | datagrams[0][3];
    for (uint32_t i = 0; i < datagrams.size(); ++i) {
        std::vector<unsigned char> expected = {0x80, 18};
        for (const auto& [value, bytes] :
             {std::pair{seq0 + i, 2}, {4'000'000'000u + 160u * i, 4}, {session->ssrc, 4}}) {
            for (int k = bytes - 1; k >= 0; --k) {
                expected.push_back(uint8_t(value >> 8 * k));
            }
        }
        // The fake codec's frames: the first and the last of their 80 samples, then 0xAA.
        for (const uint32_t sample : {160 * i, 160 * i + 79, 160 * i + 80, 160 * i + 159}) {
            expected.insert(expected.end(), {uint8_t(sample), uint8_t(sample >> 8)});
            expected.resize(expected.size() + (sample % 80 == 79 ? 6 : 0), 0xAA);
        }
        EXPECT_EQ(datagrams[i], expected) << i;
    }
}

// 100 ms buffers at most; a busy microphone sends nothing; muted, silence; until the
// microphone's first buffer each call of the owner sends a packet of silence.
TEST_F(DevicesTest, CaptureBufferSizeABusyDeviceMuteAndSilenceUntilDelivered) {
    EXPECT_EQ(CDeviceMC(codec, 18, 4000, session).BufferBytes(), 1600);
    EXPECT_EQ(CDeviceMC(codec, 18, 1000, session).BufferBytes(), 960);
    VirtualAudioDevice busy("Microphone");
    busy.openable = false;
    backEnd.SetInputDevices({busy});
    CDeviceMC refused(codec, 18, 1600, session);
    EXPECT_EQ(refused.Open(), platform::kAudioAllocated);
    refused.Close();
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_TRUE(Receive(0).empty());

    MicrophonePlays(Samples(1600, 1234));
    CDeviceMC muted(codec, 18, 1600, session);
    muted.SetDeviceId(1);
    muted.SetMute(true);
    ASSERT_EQ(muted.Open(), 0);
    EXPECT_EQ(FirstSample(), 0);
    muted.Close();
    while (!Receive(0).empty()) {
    }

    CDeviceMC capture(codec, 18, 320, session);
    capture.SetDeviceId(1);
    capture.SendSilenceUntilDelivered();  // before the device is even open
    EXPECT_EQ(FirstSample(), 0);
    ASSERT_EQ(capture.Open(), 0);
    ASSERT_TRUE(WaitUntil([&] { return capture.Delivered(); }));
    capture.SendSilenceUntilDelivered();
    int16_t next = FirstSample();
    while (next == 0) {
        next = FirstSample();
    }
    capture.Close();
    EXPECT_EQ(next, 1234);
    for (int16_t sample = FirstSample(0); sample != -1; sample = FirstSample(0)) {
        EXPECT_EQ(sample, 1234);
    }
}

// The volume is the slider's position scaled on both channels, bounded; 640 bytes play as
// 640 bytes at it, then silence. Close joins the receive thread even if the device is busy.
TEST_F(DevicesTest, PlaybackAtTheSetVolumeAndCloseJoinsTheThread) {
    EXPECT_EQ((std::vector{CDeviceSP::VolumeValue(25, 13), CDeviceSP::VolumeValue(25, 40),
                           CDeviceSP::VolumeValue(25, -3), CDeviceSP::VolumeValue(0, 0)}),
              (std::vector{0x851E851Eu, 0xFFFFFFFFu, 0u, 0xFFFFFFFFu}));
    {
        CDeviceSP playback(codec, 18, session);
        playback.SetVolume(25, 13);
        std::vector<unsigned char> payload(40, 0);  // four frames of 80 samples of 10000
        for (int frame = 0; frame < 4; ++frame) {
            payload[10 * frame] = 10000 & 0xFF, payload[10 * frame + 1] = 10000 >> 8;
        }
        ASSERT_EQ(playback.ReceiveThread()->AccessBuffer(true, payload.data(), 40), 640);
        ASSERT_EQ(playback.Open(), 0);
        ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
        EXPECT_EQ(playback.ReceiveThread()->Held(), 0);
        playback.Close();
        EXPECT_FALSE(playback.IsOpen());
        EXPECT_TRUE(playback.ReceiveThread()->Finished());
    }
    const Samples played = Played();
    const auto first = FirstLoud(played);
    ASSERT_LE(first + 320, played.end());
    EXPECT_EQ(std::count(first, first + 320, 10000 * 34078 / 65535), 320);
    EXPECT_EQ(std::count(first + 320, played.end(), 0), played.end() - first - 320);

    VirtualAudioDevice busy("Speaker");
    busy.openable = false;
    backEnd.SetOutputDevices({busy});
    CDeviceSP playback(codec, 18, session);
    EXPECT_EQ(playback.Open(), platform::kAudioAllocated);
    ASSERT_TRUE(playback.ReceiveThread()->Started());
    playback.Close();
    EXPECT_TRUE(playback.ReceiveThread()->Finished());
}

// 440 Hz at 0.35 full scale plus 480 Hz 5 dB lower, faded in over 100 samples, for 60 ms;
// silence for 160 ms; the tone again, without gaps, each buffer refilled as it completes.
TEST_F(DevicesTest, RingToneIsTwoSinesFadedInPlayedInItsCycleWithoutGaps) {
    const auto& tone = RingToneSamples();
    ASSERT_EQ(tone.size(), 4800u);
    const double a = 0.35 * 32768, b = a * std::pow(10.0, -5.0 / 20.0);
    for (int n = 0; n < 4800; ++n) {
        const double w = 2 * std::numbers::pi * n / 8000;
        const double expected =
            std::min(n / 100.0, 1.0) * (a * std::sin(440 * w) + b * std::sin(480 * w));
        ASSERT_LE(std::abs(tone[n] - expected), 1.0) << n;
    }
    backEnd.SetSpeed(20.0);
    constexpr size_t kCycle = 17600;
    {
        CRingDeviceSP ring;
        ASSERT_EQ(ring.Open(), 0);
        ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= kCycle + 4800 + 400; }));
    }
    const Samples played = Played();
    // Silence comes before the tone, whose first sample is 0: a new device plays it from the
    // start.
    const size_t start = FirstLoud(played) - played.begin() - 1;
    ASSERT_GE(played.size(), start + kCycle + 4800);
    for (size_t n = 0; n < kCycle + 4800; ++n) {
        ASSERT_EQ(played[start + n], n < 4800 ? tone[n] : n < kCycle ? 0 : tone[n - kCycle]) << n;
    }
}

// The energy of the 20 ms window's best-fitting sine at hz, any phase (every frequency used
// makes whole periods in it); without hz, the window's whole energy.
double Energy(const int16_t* s, double hz = 0) {
    double re = 0, im = 0, sum = 0;
    for (int n = 0; n < 160; ++n) {
        const double phase = 2 * std::numbers::pi * hz * n / 8000.0;
        re += s[n] * std::cos(phase), im += s[n] * std::sin(phase), sum += double(s[n]) * s[n];
    }
    return hz == 0 ? sum : 2 * (re * re + im * im) / 160;
}

// 1 kHz captured on the fixture's session through the real codec is played on a second one.
TEST_F(DevicesTest, VoiceLoopCarriesAToneBetweenTwoSessions) {
    codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    Samples tone(16000);
    for (size_t n = 0; n < tone.size(); ++n) {
        tone[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
    }
    MicrophonePlays(tone);
    backEnd.SetSpeed(2.0);
    rtp_session* callee = OpenLoopbackSession(session->local.port);
    ASSERT_NE(callee, nullptr);
    ASSERT_EQ(rtp_connect(session, "127.0.0.1", callee->local.port), 0);
    {
        CDeviceSP playback(codec, 18, callee);
        CDeviceMC capture(codec, 18, 1600, session);
        capture.SetDeviceId(1);
        ASSERT_EQ(playback.Open(), 0);
        ASSERT_EQ(capture.Open(), 0);
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->DatagramsReceived() >= 50; }));
        capture.Close();
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->Held() == 0; }));
        const uint64_t framesAtEnd = backEnd.FramesPlayed(0);
        ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= framesAtEnd + 1600; }));
    }
    rtp_close(callee);
    const Samples samples = Played();
    std::vector<double> snrs;
    int skipped = 0;
    for (size_t start = 0; start + 160 <= samples.size(); start += 160) {
        const int16_t* window = &samples[start];
        // Quiet windows (RMS under 1000) are before or after the tone; the decoder settles
        // in a few frames.
        if (Energy(window) < 1000.0 * 1000.0 * 160 || skipped++ < 4) {
            continue;
        }
        const double tone = Energy(window, 1000);
        snrs.push_back(10 * std::log10(tone / std::max(Energy(window) - tone, 1.0)));
    }
    ASSERT_GE(snrs.size(), 40u);  // at least 800 ms of the second sent came out loud
    std::nth_element(snrs.begin(), snrs.begin() + snrs.size() / 2, snrs.end());
    EXPECT_GT(snrs[snrs.size() / 2], 6.0) << "median SNR of 1 kHz through G.729a";
}

// One letter a device: S, M, U and B for the preferred speakers and microphone and the USB
// device's English and Big5 names, s and u for the first two in lower case, H and L for
// others; '?' before one: capabilities that cannot be read.
std::vector<VirtualAudioDevice> Devices(const char* names) {
    const std::map<char, std::string> full = {{'S', "Speakers (Realtek)"},
                                              {'M', "Microphone (Realtek)"},
                                              {'U', "USB Audio Device"},
                                              {'B', "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D"},
                                              {'s', "speakers (realtek)"},
                                              {'u', "usb audio device"},
                                              {'H', "HDMI"},
                                              {'L', "Line In"}};
    std::vector<VirtualAudioDevice> devices;
    for (const char* c = names; *c != 0; ++c) {
        const bool readable = *c != '?';
        c += !readable;
        devices.emplace_back(full.at(*c)).capabilitiesReadable = readable;
    }
    return devices;
}

TEST(AudioDeviceSelectionTest, PicksTheUsbDeviceElseTheLastWithThePreferredNameElseNothing) {
    constexpr int kEnglish = 2, kChinese = 1;
    // outputs, inputs, language, whether the system names S its preferred playback device
    // (M always the record one), the speaker chosen, the microphone chosen.
    const std::tuple<const char*, const char*, int, bool, uint32_t, uint32_t> cases[] = {
        {"SHU", "LM", kEnglish, true, 2, 1},   // USB wins; Record names the input
        {"SHB", "M", kChinese, true, 2, 0},    // the Big5 name,
        {"HSB", "M", kEnglish, true, 2, 0},    // either name in any language
        {"BUS", "M", kChinese, true, 1, 0},    // the English name before an earlier Big5 one
        {"HBS", "M", kEnglish, true, 1, 0},    // Big5 before a later preferred one
        {"SHS", "M", kEnglish, true, 2, 0},    // two preferred: the later one
        {"US", "MMML", kEnglish, true, 0, 2},  // USB ends the search
        {"HS", "L", kEnglish, true, 0, 0},     // no input: both 0
        {"HU", "LU", kEnglish, false, 0, 0},   // no playback name: both 0
        {"H?US", "M", kEnglish, true, 2, 0},   // unreadable capabilities skipped
        {"Hus", "LM", kEnglish, true, 0, 0},   // names compared case by case
    };
    for (const auto& [outputs, inputs, language, named, speaker, microphone] : cases) {
        platform::VirtualAudioBackEnd audio;
        const std::string playbackName = named ? Devices("S")[0].name : "";
        audio.SetPreferredNames(playbackName, "Microphone (Realtek)");
        audio.SetOutputDevices(Devices(outputs));
        audio.SetInputDevices(Devices(inputs));
        const AudioDeviceChoice choice = SelectAudioDevices(audio, language);
        EXPECT_EQ(std::tuple(choice.speakerDevice, choice.microphoneDevice, choice.speakerName,
                             choice.microphoneName),
                  std::tuple(speaker, microphone, playbackName, "Microphone (Realtek)"))
            << outputs << " / " << inputs;
    }
    EXPECT_EQ(UsbAudioDeviceName(kChinese), Devices("B")[0].name);
}

}  // namespace
