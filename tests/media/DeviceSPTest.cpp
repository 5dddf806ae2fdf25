#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "media/DeviceSP.h"
#include "platform/AudioWavFile.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::VirtualAudioDevice;

TEST(DeviceSPVolumeTest, VolumeValueIsThePositionScaledOnBothChannels) {
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 25), 0xFFFFFFFFu);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 0), 0u);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 13), 0x851E851Eu);  // 34078 each
    // Out of range: neither channel spills into the other, no division by zero.
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 40), 0xFFFFFFFFu);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, -3), 0u);
    EXPECT_EQ(CDeviceSP::VolumeValue(0, 0), 0xFFFFFFFFu);
}

class DeviceSPTest : public ::testing::Test {
protected:
    void SetUp() override {
        codec = platform::LoadLibraryByName(media_testing::kFakeCodec);
        ASSERT_NE(codec, nullptr);
        // Nobody sends to this session: the playout buffer holds only what the test puts in.
        session = media_testing::OpenLoopbackSession(9);
        ASSERT_NE(session, nullptr);
        audio.backEnd.SetSpeed(10.0);
        audio.backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", wavPath)});
    }
    void TearDown() override {
        if (session != nullptr) {
            rtp_close(session);
        }
    }

    media_testing::VirtualAudio audio;
    const std::string wavPath = media_testing::TempPath("speaker.wav");
    platform::LibraryHandle codec = nullptr;
    rtp_session* session = nullptr;
};

TEST_F(DeviceSPTest, SixHundredFortyBytesPlayAsSixHundredFortyBytesAtTheSetVolume) {
    CDeviceSP playback(codec, 18, session);
    playback.SetVolume(25, 13);
    // Four frames of the fake codec that decode to 320 samples of 10000.
    std::vector<unsigned char> payload(40, 0);
    const int16_t value = 10000;
    for (int frame = 0; frame < 4; ++frame) {
        std::memcpy(&payload[10 * frame], &value, 2);
    }
    ASSERT_EQ(playback.ReceiveThread()->AccessBuffer(true, payload.data(), 40), 640);
    ASSERT_EQ(playback.Open(), 0);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= 800; }));
    EXPECT_EQ(playback.ReceiveThread()->Held(), 0);
    playback.Close();

    std::vector<int16_t> played;
    ASSERT_TRUE(platform::ReadWavFile(wavPath, &played));
    ASSERT_GE(played.size(), 800u);
    const auto first = std::find_if(played.begin(), played.end(), [](int16_t s) { return s; });
    ASSERT_LE(first + 320, played.end());
    const int16_t scaled = 10000 * 34078 / 65535;
    EXPECT_TRUE(std::all_of(first, first + 320, [&](int16_t s) { return s == scaled; }));
    EXPECT_TRUE(std::all_of(first + 320, played.end(), [](int16_t s) { return s == 0; }));
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
            ASSERT_TRUE(
                testing_support::WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= 160; }));
        }
        playback.Close();
        EXPECT_FALSE(playback.IsOpen());
        EXPECT_TRUE(playback.ReceiveThread()->Finished());
    }
}

}  // namespace
