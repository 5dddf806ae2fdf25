#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/DeviceMC.h"
#include "platform/AudioWavFile.h"
#include "platform/UdpSocket.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using media_testing::VirtualAudio;
using platform::VirtualAudioDevice;

uint16_t Be16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
int16_t SampleAt(const unsigned char* p) {
    int16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

class DeviceMCTest : public ::testing::Test {
protected:
    void SetUp() override {
        codec = platform::LoadLibraryByName(media_testing::kFakeCodec);
        ASSERT_NE(codec, nullptr);
        ASSERT_TRUE(receiver.Bind(0, htonlLoopback()));
        session = media_testing::OpenLoopbackSession(receiver.LocalPort());
        ASSERT_NE(session, nullptr);
        audio.backEnd.SetSpeed(10.0);
    }
    void TearDown() override {
        if (session != nullptr) {
            rtp_close(session);
        }
    }
    static uint32_t htonlLoopback() {
        uint32_t address = 0;
        platform::ParseDottedIpv4("127.0.0.1", &address);
        return address;
    }
    std::vector<unsigned char> Receive() {
        if (receiver.WaitReadable(2000) != platform::UdpSocket::WaitResult::Readable) {
            return {};
        }
        std::vector<unsigned char> datagram(200);
        platform::Ipv4Endpoint from;
        const long n = receiver.ReceiveFrom(datagram.data(), datagram.size(), &from);
        datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return datagram;
    }

    VirtualAudio audio;
    platform::LibraryHandle codec = nullptr;
    platform::UdpSocket receiver;
    rtp_session* session = nullptr;
};

TEST_F(DeviceMCTest, EachBufferLeavesAsFivePacketsOfTwoFramesWithTimestampsFromTheOpenTick) {
    // Sample k of the microphone has the value k, so each frame tells where it came from.
    std::vector<int16_t> ramp(16000);
    for (size_t k = 0; k < ramp.size(); ++k) {
        ramp[k] = static_cast<int16_t>(k);
    }
    const std::string source = media_testing::TempPath("ramp.wav");
    ASSERT_TRUE(platform::WriteWavFile(source, ramp));
    audio.backEnd.SetInputDevices(
        {VirtualAudioDevice("Other"), VirtualAudioDevice("Microphone", source)});
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
        EXPECT_EQ(Be16(&d[2]), static_cast<uint16_t>(Be16(&datagrams[0][2]) + i));
        EXPECT_EQ(Be32(&d[4]), 4'000'000'000u + 160u * i);
        EXPECT_EQ(Be32(&d[8]), session->ssrc);
        // The frame of the pair's first 80 samples is first.
        EXPECT_EQ(SampleAt(&d[12]), static_cast<int16_t>(160 * i));
        EXPECT_EQ(SampleAt(&d[14]), static_cast<int16_t>(160 * i + 79));
        EXPECT_EQ(SampleAt(&d[22]), static_cast<int16_t>(160 * i + 80));
        EXPECT_EQ(SampleAt(&d[24]), static_cast<int16_t>(160 * i + 159));
    }
}

TEST_F(DeviceMCTest, MutedCaptureSendsSilenceWithoutAGap) {
    std::vector<int16_t> loud(1600, 1234);
    const std::string source = media_testing::TempPath("loud.wav");
    ASSERT_TRUE(platform::WriteWavFile(source, loud));
    audio.backEnd.SetInputDevices({VirtualAudioDevice("Microphone", source)});
    CDeviceMC capture(codec, 18, 1600, session);
    capture.SetMute(true);
    ASSERT_EQ(capture.Open(), 0);
    const auto datagram = Receive();
    capture.Close();
    ASSERT_EQ(datagram.size(), 32u);
    EXPECT_EQ(SampleAt(&datagram[12]), 0);
}

TEST_F(DeviceMCTest, BufferSizeIsLimitedToOneHundredMilliseconds) {
    EXPECT_EQ(CDeviceMC(codec, 18, 4000, session).BufferBytes(), 1600);
    EXPECT_EQ(CDeviceMC(codec, 18, 1000, session).BufferBytes(), 960);
    EXPECT_EQ(CDeviceMC(codec, 18, 0, session).BufferBytes(), 320);
}

TEST_F(DeviceMCTest, ADeviceThatCannotOpenLeavesNothingToClose) {
    VirtualAudioDevice busy("Microphone");
    busy.openable = false;
    audio.backEnd.SetInputDevices({busy});
    {
        CDeviceMC capture(codec, 18, 1600, session);
        EXPECT_EQ(capture.Open(), platform::kAudioAllocated);
        EXPECT_FALSE(capture.IsOpen());
        capture.Close();
        EXPECT_FALSE(capture.IsOpen());
    }
    EXPECT_EQ(receiver.WaitReadable(0), platform::UdpSocket::WaitResult::Timeout);
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
    while (receiver.WaitReadable(0) == platform::UdpSocket::WaitResult::Readable) {
        Receive();
        ++packets;
    }
    EXPECT_EQ(packets, 5 * static_cast<int>(captured / 800));
}

}  // namespace
