// The audio devices of a call, with a readable stand-in codec (FakeCodec.cpp), the real
// codec library and the virtual audio device: capture, playback, the ring tone, a voice loop
// through two sessions, and the choice of devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
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
Samples ReadWav(const std::string& path) {
    Samples samples;
    EXPECT_TRUE(platform::ReadWavFile(path, &samples)) << path;
    return samples;
}
Samples::const_iterator FirstLoud(const Samples& s) {
    return std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; });
}
// Installs a virtual audio back end for the life of the object.
struct VirtualAudio {
    VirtualAudio() { platform::SetAudioBackEnd(&backEnd); }
    ~VirtualAudio() { platform::SetAudioBackEnd(nullptr); }
    platform::VirtualAudioBackEnd backEnd;
};

int16_t SampleAt(const unsigned char* p) {
    int16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

// The fake codec, a session sending to a loopback socket of the test's own, and a speaker
// that writes a file.
class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        codec = platform::LoadLibraryByName("libsoftphone_fake_codec.so");
        ASSERT_NE(codec, nullptr);
        uint32_t loopback = 0;
        ASSERT_TRUE(platform::ParseDottedIpv4("127.0.0.1", &loopback));
        ASSERT_TRUE(receiver.Bind(0, loopback));
        session = OpenLoopbackSession(receiver.LocalPort());
        ASSERT_NE(session, nullptr);
        audio.backEnd.SetSpeed(10.0);
        audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", wavPath)});
    }
    void TearDown() override { rtp_close(session); }

    void MicrophonePlays(const Samples& samples) {
        const std::string source = TempPath("microphone.wav");
        ASSERT_TRUE(platform::WriteWavFile(source, samples));
        audio.backEnd.SetInputDevices(
            {VirtualAudioDevice("Other"), VirtualAudioDevice("Microphone", source)});
    }
    std::vector<unsigned char> Receive(int waitMs = 2000) {
        std::vector<unsigned char> datagram(200);
        const long n = receiver.WaitReadable(waitMs) == UdpSocket::WaitResult::Readable
                           ? receiver.ReceiveFrom(datagram.data(), datagram.size(), nullptr)
                           : 0;
        datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return datagram;
    }

    VirtualAudio audio;
    const std::string wavPath = TempPath("speaker.wav");
    platform::LibraryHandle codec = nullptr;
    UdpSocket receiver;
    rtp_session* session = nullptr;
};

TEST_F(DevicesTest, CaptureSendsFivePacketsOfTwoFramesABufferTimedFromTheOpenTick) {
    // Sample k of the microphone has the value k, so each frame tells where it came from.
    std::vector<int16_t> ramp(16000);
    for (size_t k = 0; k < ramp.size(); ++k) {
        ramp[k] = static_cast<int16_t>(k);
    }
    MicrophonePlays(ramp);
    testing_support::FakeClock clock(1'700'000'000, 4'000'000'000u);
    CDeviceMC capture(codec, 18, 1600, session);
    capture.SetDeviceId(1);
    ASSERT_EQ(capture.Open(), 0);
    clock.SetTickCount(5);  // only the tick at Open counts

    std::vector<std::vector<unsigned char>> datagrams;
    for (int i = 0; i < 10; ++i) {
        datagrams.push_back(Receive());
    }
    capture.Close();

    // The fake codec's frames: the first and the last of their 80 samples, then 0xAA.
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
        for (const uint32_t sample : {160 * i, 160 * i + 79, 160 * i + 80, 160 * i + 159}) {
            expected.insert(expected.end(), {uint8_t(sample), uint8_t(sample >> 8)});
            if (sample % 80 == 79) {
                expected.resize(expected.size() + 6, 0xAA);
            }
        }
        EXPECT_EQ(datagrams[i], expected) << i;
    }
}

TEST_F(DevicesTest, CaptureBufferSizeABusyDeviceAndMute) {
    EXPECT_EQ(CDeviceMC(codec, 18, 4000, session).BufferBytes(), 1600);  // 100 ms at most
    EXPECT_EQ(CDeviceMC(codec, 18, 1000, session).BufferBytes(), 960);
    VirtualAudioDevice busy("Microphone");
    busy.openable = false;
    audio.backEnd.SetInputDevices({busy});
    {
        CDeviceMC capture(codec, 18, 1600, session);
        EXPECT_EQ(capture.Open(), platform::kAudioAllocated);
        capture.Close();
        EXPECT_FALSE(capture.IsOpen());
    }
    EXPECT_EQ(receiver.WaitReadable(0), UdpSocket::WaitResult::Timeout);

    MicrophonePlays(std::vector<int16_t>(1600, 1234));
    CDeviceMC capture(codec, 18, 1600, session);
    capture.SetDeviceId(1);
    capture.SetMute(true);
    ASSERT_EQ(capture.Open(), 0);
    const auto datagram = Receive();
    capture.Close();
    ASSERT_EQ(datagram.size(), 32u);
    EXPECT_EQ(SampleAt(&datagram[12]), 0);
}

// Until the microphone's first buffer, the owner's calls send a packet of silence each; from
// then on the microphone alone, its timestamps going on from the silence's.
TEST_F(DevicesTest, CaptureSilenceGoesUntilTheMicrophoneDelivers) {
    MicrophonePlays(std::vector<int16_t>(1600, 1234));
    CDeviceMC capture(codec, 18, 320, session);
    capture.SetDeviceId(1);
    capture.SendSilenceUntilDelivered();  // before the device is even open
    const auto silence = Receive();
    ASSERT_EQ(silence.size(), 32u);
    EXPECT_EQ(SampleAt(&silence[12]), 0);
    ASSERT_EQ(capture.Open(), 0);
    ASSERT_TRUE(WaitUntil([&] { return capture.Delivered(); }));
    capture.SendSilenceUntilDelivered();
    // Only the microphone's packets follow the first silence.
    std::vector<unsigned char> next = Receive();
    while (!next.empty() && SampleAt(&next[12]) == 0) {
        next = Receive();
    }
    capture.Close();
    ASSERT_EQ(next.size(), 32u);
    EXPECT_EQ(SampleAt(&next[12]), 1234);
    for (auto datagram = Receive(0); !datagram.empty(); datagram = Receive(0)) {
        EXPECT_NE(SampleAt(&datagram[12]), 0);
    }
}

TEST_F(DevicesTest, CaptureCloseStopsTheStreamAndDropsThePartBufferOfTheStop) {
    audio.backEnd.SetSpeed(1.0);
    CDeviceMC capture(codec, 18, 1600, session);
    ASSERT_EQ(capture.Open(), 0);
    // Stop in the middle of the second buffer: only the first one's five packets leave.
    ASSERT_TRUE(WaitUntil([&] { return audio.backEnd.FramesCaptured(0) >= 800 + 400; }));
    capture.Close();
    const uint64_t captured = audio.backEnd.FramesCaptured(0);
    int packets = 0;
    while (receiver.WaitReadable(0) == UdpSocket::WaitResult::Readable) {
        Receive();
        ++packets;
    }
    EXPECT_EQ(packets, 5 * static_cast<int>(captured / 800));
}

// The volume is the slider's position scaled on both channels, bounded; 640 bytes play as
// 640 bytes at it.
TEST_F(DevicesTest, PlaybackOfSixHundredFortyBytesAtTheSetVolume) {
    const struct {
        int maximum, position;
        uint32_t value;
    } cases[] = {{25, 25, 0xFFFFFFFFu}, {25, 0, 0u},  {25, 13, 0x851E851Eu},
                 {25, 40, 0xFFFFFFFFu}, {25, -3, 0u}, {0, 0, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        EXPECT_EQ(CDeviceSP::VolumeValue(c.maximum, c.position), c.value) << c.position;
    }
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

TEST_F(DevicesTest, PlaybackCloseJoinsTheReceiveThreadEvenWhenTheDeviceCannotOpen) {
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

// Tone for 60 slices of 10 ms, silence for 160, then the tone again, without gaps.
TEST(RingDeviceSPTest, TheOpenDeviceRequeuesItsBuffersAndPlaysTheCycleWithoutGaps) {
    VirtualAudio audio;
    const std::string path = TempPath("ring.wav");
    audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    audio.backEnd.SetSpeed(20.0);
    constexpr size_t kCycle = 17600;
    {
        CRingDeviceSP ring, byHand;
        // Each completion refills 10 ms, a new device's from the start of the fade-in.
        std::vector<char> memory(16000, 0x55);
        platform::AudioBufferHeader header{memory.data(), 0, 0, 0, 0};
        CRingDeviceSP::RingOutProc(&byHand, &header);
        ASSERT_EQ(header.bufferLength, 160u);
        EXPECT_EQ(std::memcmp(header.data, RingToneSamples().data(), 160), 0);
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

// A tone captured on the fixture's session with the real codec library is played out on
// a second one.
TEST_F(DevicesTest, VoiceLoopCarriesAToneBetweenTwoSessions) {
    codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    Samples tone(16000);
    for (size_t n = 0; n < tone.size(); ++n) {
        tone[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
    }
    MicrophonePlays(tone);
    audio.backEnd.SetSpeed(2.0);
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
        const uint64_t framesAtEnd = audio.backEnd.FramesPlayed(0);
        ASSERT_TRUE(WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= framesAtEnd + 1600; }));
    }
    rtp_close(callee);

    const Samples samples = ReadWav(wavPath);
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

// Names separated by '|', with S, M, U and B for the preferred speakers and microphone and
// the USB device's English and Big5 names; '?' first: capabilities that cannot be read.
std::vector<VirtualAudioDevice> Devices(const std::string& names) {
    const std::pair<std::string, std::string> shortNames[] = {
        {"S", "Speakers (Realtek)"},
        {"M", "Microphone (Realtek)"},
        {"U", "USB Audio Device"},
        {"B", "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D"}};
    std::vector<VirtualAudioDevice> devices;
    for (size_t at = 0; at < names.size();) {
        const size_t end = std::min(names.find('|', at), names.size());
        const bool readable = names[at] != '?';
        std::string name = names.substr(at + !readable, end - at - !readable);
        for (const auto& [brief, full] : shortNames) {
            name = name == brief ? full : name;
        }
        devices.emplace_back(name).capabilitiesReadable = readable;
        at = end + 1;
    }
    return devices;
}

TEST(AudioDeviceSelectionTest, PicksTheUsbDeviceElseTheLastWithThePreferredNameElseNothing) {
    constexpr int kEnglish = 2, kChinese = 1;
    const struct {
        const char* what;
        std::string outputs, inputs;
        int language;
        std::string playbackName;  // the system's preferred; the record one is M
        uint32_t speaker, microphone;
    } cases[] = {
        {"USB wins over the preferred; Record names the input", "S|HDMI|U", "Line In|M", kEnglish,
         "S", 2, 1},
        {"other installs know USB only by its Big5 name", "S|HDMI|B", "M", kChinese, "S", 2, 0},
        {"other installs find USB by its English name too", "HDMI|S|U", "M", kChinese, "S", 2, 0},
        {"English installs find USB by its Big5 name too", "HDMI|S|B", "M", kEnglish, "S", 2, 0},
        {"the English name wins over an earlier Big5 one", "B|U|S", "M", kChinese, "S", 1, 0},
        {"the Big5 name wins over a later preferred one", "HDMI|B|S", "M", kEnglish, "S", 1, 0},
        {"two outputs with the mapper name: the later one", "S|HDMI|S", "M", kEnglish, "S", 2, 0},
        {"USB ends the search", "U|S", "M|M|M|x", kEnglish, "S", 0, 2},
        {"playback found but no input: both 0", "HDMI|S", "Line In", kEnglish, "S", 0, 0},
        {"empty Playback name: both 0, even with USB", "HDMI|U", "Line In|U", kEnglish, "", 0, 0},
        {"unreadable capabilities are skipped", "HDMI|?U|S", "M", kEnglish, "S", 2, 0},
        {"names compare exactly", "HDMI|usb audio device|speakers (realtek)", "Line In|M", kEnglish,
         "S", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::VirtualAudioBackEnd audio;
        const std::string playbackName = c.playbackName.empty() ? "" : Devices("S")[0].name;
        audio.SetPreferredNames(playbackName, "Microphone (Realtek)");
        audio.SetOutputDevices(Devices(c.outputs));
        audio.SetInputDevices(Devices(c.inputs));
        const AudioDeviceChoice choice = SelectAudioDevices(audio, c.language);
        EXPECT_EQ(choice.speakerDevice, c.speaker);
        EXPECT_EQ(choice.microphoneDevice, c.microphone);
        EXPECT_EQ(choice.speakerName, playbackName);
        EXPECT_EQ(choice.microphoneName, "Microphone (Realtek)");
    }
    EXPECT_EQ(UsbAudioDeviceName(kChinese), Devices("B")[0].name);
}

}  // namespace
