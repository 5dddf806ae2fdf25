#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

#include "media/AudioDeviceSelection.h"
#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "media/RingDeviceSP.h"
#include "media/RingTone.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;
using platform::VirtualAudioDevice;
using Bytes = std::vector<unsigned char>;
using Samples = std::vector<int16_t>;
using testing_support::WaitUntil;

// The readable stand-in codec (FakeCodec.cpp), a session sending to a loopback socket of the
// test's own (named "localhost"), and a speaker that writes a file of the running test's own.
class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetAudioBackEnd(&backEnd);
        ASSERT_NE(codec, nullptr);
        ASSERT_TRUE(receiver.Bind(0, htonl(INADDR_LOOPBACK)));
        ASSERT_TRUE(rtp_open(session, 0, 0));
        ASSERT_EQ(rtp_connect(session, "localhost", receiver.LocalPort()), 0);
        backEnd.SetSpeed(10.0);
        backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", prefix + "speaker.wav")});
    }
    void TearDown() override {
        rtp_close(session);
        platform::SetAudioBackEnd(nullptr);
    }

    void MicrophonePlays(const Samples& samples) {
        ASSERT_TRUE(platform::WriteWavFile(prefix + "microphone.wav", samples));
        backEnd.SetInputDevices({VirtualAudioDevice("Other"),
                                 VirtualAudioDevice("Microphone", prefix + "microphone.wav")});
    }
    // What the speaker played from its first sound on.
    Samples Played() {
        Samples played;
        EXPECT_TRUE(platform::ReadWavFile(prefix + "speaker.wav", &played));
        return Samples(std::find_if(played.begin(), played.end(), [](int16_t v) { return v; }),
                       played.end());
    }
    // A datagram, or nothing within two seconds.
    Bytes Receive() {
        Bytes datagram(200);
        const bool readable = receiver.WaitReadable(2000) == UdpSocket::WaitResult::Readable;
        datagram.resize(readable ? std::max(receiver.ReceiveFrom(datagram.data(), 200, nullptr), 0L)
                                 : 0);
        return datagram;
    }

    const std::string prefix = testing_support::BinaryPath(
        std::string("media_devices_") +
        ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_");
    platform::VirtualAudioBackEnd backEnd;
    platform::LibraryHandle codec = platform::LoadLibraryByName("libsoftphone_fake_codec.so");
    UdpSocket receiver;
    rtp_session* session = new rtp_session();
};

// Until the microphone's first buffer the owner's calls send silence, whose timestamp the
// microphone's packets go on from; then two frames a packet, five packets a 100 ms buffer, the
// sequence wrapping; muted, silence.
TEST_F(DevicesTest, CaptureSendsTheMicrophoneInPacketsOfTwoFrames) {
    EXPECT_EQ(CDeviceMC(codec, 18, 4000, session).BufferBytes(), 1600);
    EXPECT_EQ(CDeviceMC(codec, 18, 1000, session).BufferBytes(), 960);
    Samples ramp(16000);  // sample k has the value k + 1: each frame tells where it came from
    std::iota(ramp.begin(), ramp.end(), 1);
    MicrophonePlays(ramp);
    testing_support::FakeClock clock(1'700'000'000, 4'000'000'000u);
    CDeviceMC capture(codec, 18, 1600, session);
    capture.SetDeviceId(1);
    session->seq = 65529;
    capture.SendSilenceUntilDelivered();  // before the device is even open
    clock.SetTickCount(5);
    ASSERT_EQ(capture.Open(), 0);
    ASSERT_TRUE(WaitUntil([&] { return capture.Delivered(); }));
    capture.SendSilenceUntilDelivered();
    std::vector<Bytes> datagrams;
    for (int i = 0; i < 11; ++i) {
        datagrams.push_back(Receive());
    }
    capture.SetMute(true);
    EXPECT_TRUE(WaitUntil([&] {
        const Bytes d = Receive();
        return d.size() == 32 && d[12] == 0 && d[13] == 0;
    }));
    capture.Close();
    for (uint32_t i = 0; i < datagrams.size(); ++i) {
        Bytes expected;
        for (const uint32_t word :
             {0x80120000u | ((65530 + i) & 0xFFFF), 4'000'000'000u + 160 * i, session->ssrc}) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                expected.push_back(uint8_t(word >> shift));
            }
        }
        // The fake codec's frames: the first and the last of their 80 samples, then 0xAA.
        for (const uint32_t offset : {0, 79, 80, 159}) {
            const uint32_t sample = i == 0 ? 0 : 160 * (i - 1) + 1 + offset;
            expected.insert(expected.end(), {uint8_t(sample), uint8_t(sample >> 8)});
            expected.resize(expected.size() + (offset % 80 == 79 ? 6 : 0), 0xAA);
        }
        EXPECT_EQ(datagrams[i], expected) << i;
    }
}

// The volume is the slider's position scaled (0x851E of 0xFFFF) and bounded, unity before the
// window sets a range; 640 bytes play as 640 bytes at it, then silence. Close joins the thread.
TEST_F(DevicesTest, PlaybackAtTheSetVolumeAndCloseJoinsTheThread) {
    EXPECT_EQ((std::vector{CDeviceSP::VolumeValue(25, 40), CDeviceSP::VolumeValue(25, -3),
                           CDeviceSP::VolumeValue(0, 0)}),
              (std::vector{0xFFFFFFFFu, 0u, 0xFFFFFFFFu}));
    CDeviceSP playback(codec, 18, session);
    playback.SetVolume(25, 13);
    Bytes payload(40, 0);  // four frames of 80 samples of 10000
    for (int i = 0; i < 40; i += 10) {
        payload[i] = 10000 & 0xFF, payload[i + 1] = 10000 >> 8;
    }
    ASSERT_EQ(playback.ReceiveThread()->AccessBuffer(true, payload.data(), 40), 640);
    ASSERT_EQ(playback.Open(), 0);
    ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    playback.Close();
    EXPECT_TRUE(playback.ReceiveThread()->Finished());
    const Samples played = Played();
    Samples expected(320, 10000 * 34078 / 65535);
    expected.resize(std::max(played.size(), expected.size()));
    EXPECT_EQ(played, expected);
}

// The 60 ms tone, 160 ms of silence, the tone again, without gaps: each buffer is refilled as it
// completes. A new device plays the tone from its start (a sample of 0).
TEST_F(DevicesTest, RingTonePlaysInItsCycleWithoutGaps) {
    constexpr int kCycle = 17600;
    {
        CRingDeviceSP ring;
        ASSERT_EQ(ring.Open(), 0);
        ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= kCycle + 4800 + 400; }));
    }
    const Samples played = Played();
    ASSERT_GE(played.size(), kCycle + 4800u);
    for (int n = 1; n < kCycle + 4800; ++n) {
        ASSERT_EQ(played[n - 1], n % kCycle < 4800 ? RingToneSamples()[n % kCycle] : 0) << n;
    }
}

// 1 kHz captured on the fixture's session through the real codec is played on a second one: at
// least 800 ms of the second sent comes out as the tone.
TEST_F(DevicesTest, VoiceLoopCarriesAToneBetweenTwoSessions) {
    codec = platform::LoadLibraryByName("libKYR_Codec.so");
    Samples tone(16000);
    for (size_t n = 0; n < tone.size(); ++n) {
        tone[n] = static_cast<int16_t>(8000 * std::sin(std::numbers::pi * n / 4));
    }
    MicrophonePlays(tone);
    backEnd.SetSpeed(2.0);
    std::unique_ptr<rtp_session, decltype(&rtp_close)> callee(new rtp_session(), rtp_close);
    ASSERT_TRUE(rtp_open(callee.get(), 0, 0));
    ASSERT_EQ(rtp_connect(callee.get(), "127.0.0.1", session->local.port), 0);
    ASSERT_EQ(rtp_connect(session, "127.0.0.1", callee->local.port), 0);
    {
        CDeviceSP playback(codec, 18, callee.get());
        CDeviceMC capture(codec, 18, 1600, session);
        capture.SetDeviceId(1);
        ASSERT_EQ(playback.Open(), 0);
        ASSERT_EQ(capture.Open(), 0);
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->DatagramsReceived() >= 50; }));
        capture.Close();
        ASSERT_TRUE(WaitUntil([&] { return playback.ReceiveThread()->Held() == 0; }));
    }
    const Samples played = Played();
    int toneWindows = 0;
    for (size_t start = 0; start + 160 <= played.size(); start += 160) {
        // The best-fitting 1 kHz sine, any phase (the window holds whole periods of it).
        double re = 0, im = 0, all = 0;
        for (size_t n = start; n < start + 160; ++n) {
            re += played[n] * std::cos(std::numbers::pi * n / 4);
            im += played[n] * std::sin(std::numbers::pi * n / 4);
            all += double(played[n]) * played[n];
        }
        const double sine = 2 * (re * re + im * im) / 160;
        // Loud (RMS over 1000), past the decoder's settling, the rest 6 dB under the sine.
        toneWindows += start >= 4 * 160 && all >= 1000.0 * 1000.0 * 160 && sine > 4 * (all - sine);
    }
    EXPECT_GE(toneWindows, 40) << "of 50 windows sent, the ones that came out the tone";
}

// One second of 1 kHz through the library loaded by name, each way from a reset coder as
// each new call does: the same frames each time, and the tone back, 40 samples late (the
// encoder's look-ahead), with the waveform's SNR above 9 dB after 100 ms of settling. A lost
// frame after it is extrapolated from the tone, whatever bytes stand in for it.
TEST(CodecLibraryTest, OneSecondOfToneComesBackAndALostFrameIsExtrapolated) {
    const CodecBinding codec(platform::LoadLibraryByName("libKYR_Codec.so"));
    ASSERT_TRUE(codec.Bound()) << "libKYR_Codec.so not found beside the test program";
    std::vector<short> input(8080), output(8080), again(8080);
    for (int n = 0; n < 8080; ++n) {
        input[n] = static_cast<short>(std::lround(8000 * std::sin(std::numbers::pi * n / 4)));
    }
    // The 101st frame lost, its bytes `filler`.
    const auto code = [&](std::vector<short>* pcm, unsigned char filler) {
        std::vector<unsigned char> coded(1000), lost(10, filler);
        codec.InitEncoder(), codec.InitDecoder();
        for (size_t f = 0; f < 100; ++f) {
            codec.Encode(&input[80 * f], &coded[10 * f]);
            codec.Decode(&coded[10 * f], &(*pcm)[80 * f]);
        }
        codec.g729a_decoder(lost.data(), &(*pcm)[8000], 1);
        return coded;
    };
    const std::vector<unsigned char> coded = code(&output, 0);
    const auto snrDb = [&](size_t from, size_t to) {
        double signal = 0, noise = 0;
        for (size_t n = from; n < to; ++n) {
            const double expected = input[n - 40];
            signal += expected * expected;
            noise += (output[n] - expected) * (output[n] - expected);
        }
        return 10 * std::log10(signal / noise);
    };
    EXPECT_GT(snrDb(800, 8000), 9.0);
    EXPECT_GT(snrDb(8000, 8080), 6.0) << "the lost frame";
    EXPECT_EQ(code(&again, 0x5A), coded);
    EXPECT_EQ(again, output);
}

// One device a letter, named by it, but U and B: the USB device's English and Big5 names; '?'
// before one: capabilities that cannot be read.
std::vector<VirtualAudioDevice> Devices(const std::string& letters) {
    std::vector<VirtualAudioDevice> devices;
    for (size_t i = 0; i < letters.size(); ++i) {
        const bool readable = letters[i] != '?';
        const char c = letters[i += !readable];
        devices.emplace_back(c == 'U'   ? "USB Audio Device"
                             : c == 'B' ? "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D"
                                        : std::string(1, c));
        devices.back().capabilitiesReadable = readable;
    }
    return devices;
}

// Either USB name is looked for whatever the install language. A row: outputs, inputs, whether
// the system names S its preferred playback device (M the record one), the devices chosen.
TEST(AudioDeviceSelectionTest, PicksTheUsbDeviceElseTheLastWithThePreferredNameElseNothing) {
    const std::tuple<const char*, const char*, bool, uint32_t, uint32_t> cases[] = {
        {"SHU", "HM", true, 2, 1},   // USB wins; Record names the input
        {"BUS", "M", true, 1, 0},    // the English name before an earlier Big5 one
        {"HBS", "M", true, 1, 0},    // Big5 before a later preferred one
        {"US", "MMMH", true, 0, 2},  // USB ends the search; the last preferred one
        {"HU", "HU", false, 0, 0},   // no playback name: both 0, as when one is missing
        {"H?US", "M", true, 2, 0},   // unreadable capabilities skipped
        {"Hs", "HM", true, 0, 0},    // names compared case by case
    };
    for (const auto& [outputs, inputs, named, speaker, microphone] : cases) {
        platform::VirtualAudioBackEnd audio;
        audio.SetPreferredNames(named ? "S" : "", "M");
        audio.SetOutputDevices(Devices(outputs));
        audio.SetInputDevices(Devices(inputs));
        const AudioDeviceChoice choice = SelectAudioDevices(audio, 1);
        EXPECT_EQ(std::tuple(choice.speakerDevice, choice.microphoneDevice, choice.speakerName,
                             choice.microphoneName),
                  std::tuple(speaker, microphone, named ? "S" : "", "M"))
            << outputs << " / " << inputs;
    }
    EXPECT_EQ(UsbAudioDeviceName(1), Devices("B")[0].name);
}

}  // namespace
