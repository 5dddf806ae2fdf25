#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/DeviceMC.h"
#include "platform/AudioWavFile.h"
#include "platform/UdpSocket.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;
using platform::VirtualAudioDevice;

uint32_t BigEndian(const unsigned char* p, int bytes) {
    return bytes == 2 ? p[0] << 8 | p[1] : uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
int16_t SampleAt(const unsigned char* p) {
    int16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

// Capture with the readable fake codec, sending to a loopback socket of the test's own.
class DeviceMCTest : public ::testing::Test {
protected:
    void SetUp() override {
        codec = platform::LoadLibraryByName(media_testing::kFakeCodec);
        ASSERT_NE(codec, nullptr);
        uint32_t loopback = 0;
        ASSERT_TRUE(platform::ParseDottedIpv4("127.0.0.1", &loopback));
        ASSERT_TRUE(receiver.Bind(0, loopback));
        session = media_testing::OpenLoopbackSession(receiver.LocalPort());
        ASSERT_NE(session, nullptr);
        audio.backEnd.SetSpeed(10.0);
    }
    void TearDown() override {
        if (session != nullptr) {
            rtp_close(session);
        }
    }

    void MicrophonePlays(const std::vector<int16_t>& samples) {
        const std::string source = media_testing::TempPath("microphone.wav");
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

    media_testing::VirtualAudio audio;
    platform::LibraryHandle codec = nullptr;
    UdpSocket receiver;
    rtp_session* session = nullptr;
};

TEST_F(DeviceMCTest, EachBufferLeavesAsFivePacketsOfTwoFramesWithTimestampsFromTheOpenTick) {
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

    for (uint32_t i = 0; i < datagrams.size(); ++i) {
        const auto& d = datagrams[i];
        ASSERT_EQ(d.size(), 32u) << i;
        EXPECT_EQ(d[0], 0x80);
        EXPECT_EQ(d[1], 18);
        EXPECT_EQ(BigEndian(&d[2], 2), (BigEndian(&datagrams[0][2], 2) + i) & 0xFFFF);
        EXPECT_EQ(BigEndian(&d[4], 4), 4'000'000'000u + 160u * i);
        EXPECT_EQ(BigEndian(&d[8], 4), session->ssrc);
        // The frame of the pair's first 80 samples is first.
        EXPECT_EQ(SampleAt(&d[12]), static_cast<int16_t>(160 * i));
        EXPECT_EQ(SampleAt(&d[14]), static_cast<int16_t>(160 * i + 79));
        EXPECT_EQ(SampleAt(&d[22]), static_cast<int16_t>(160 * i + 80));
        EXPECT_EQ(SampleAt(&d[24]), static_cast<int16_t>(160 * i + 159));
    }
}

TEST_F(DeviceMCTest, BufferSizeABusyDeviceAndMute) {
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
TEST_F(DeviceMCTest, SilenceGoesUntilTheMicrophoneDelivers) {
    MicrophonePlays(std::vector<int16_t>(1600, 1234));
    CDeviceMC capture(codec, 18, 320, session);
    capture.SetDeviceId(1);
    capture.SendSilenceUntilDelivered();  // before the device is even open
    const auto silence = Receive();
    ASSERT_EQ(silence.size(), 32u);
    EXPECT_EQ(SampleAt(&silence[12]), 0);
    ASSERT_EQ(capture.Open(), 0);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return capture.Delivered(); }));
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

TEST_F(DeviceMCTest, CloseStopsTheStreamAndDropsThePartBufferOfTheStop) {
    audio.backEnd.SetSpeed(1.0);
    CDeviceMC capture(codec, 18, 1600, session);
    ASSERT_EQ(capture.Open(), 0);
    // Stop in the middle of the second buffer: only the first one's five packets leave.
    ASSERT_TRUE(
        testing_support::WaitUntil([&] { return audio.backEnd.FramesCaptured(0) >= 800 + 400; }));
    capture.Close();
    const uint64_t captured = audio.backEnd.FramesCaptured(0);
    int packets = 0;
    while (receiver.WaitReadable(0) == UdpSocket::WaitResult::Readable) {
        Receive();
        ++packets;
    }
    EXPECT_EQ(packets, 5 * static_cast<int>(captured / 800));
}

}  // namespace
