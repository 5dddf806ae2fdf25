#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "media/DeviceSP.h"
#include "platform/AudioWavFile.h"
#include "tests/media/MediaTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using media_testing::VirtualAudio;
using platform::VirtualAudioDevice;

// Four frames of the fake codec that decode to 320 samples of value.
std::vector<unsigned char> Payload(int16_t value) {
    std::vector<unsigned char> payload(40, 0);
    for (int frame = 0; frame < 4; ++frame) {
        std::memcpy(&payload[10 * frame], &value, 2);
    }
    return payload;
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
    // Plays 640 bytes of value through a device at the given volume; returns what was heard.
    std::vector<int16_t> PlayOnce(int16_t value, int maximum, int position) {
        std::vector<int16_t> played;
        CDeviceSP playback(codec, 18, session);
        playback.SetVolume(maximum, position);
        auto payload = Payload(value);
        EXPECT_EQ(playback.ReceiveThread()->AccessBuffer(true, payload.data(), 40), 640);
        const uint64_t framesBefore = audio.backEnd.FramesPlayed(0);
        EXPECT_EQ(playback.Open(), 0);
        EXPECT_TRUE(testing_support::WaitUntil(
            [&] { return audio.backEnd.FramesPlayed(0) >= framesBefore + 800; }));
        EXPECT_EQ(playback.ReceiveThread()->Held(), 0);
        playback.Close();
        EXPECT_TRUE(platform::ReadWavFile(wavPath, &played));
        return played;
    }

    VirtualAudio audio;
    const std::string wavPath = media_testing::TempPath("speaker.wav");
    platform::LibraryHandle codec = nullptr;
    rtp_session* session = nullptr;
};

TEST_F(DeviceSPTest, VolumeValueIsThePositionScaledOnBothChannels) {
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 25), 0xFFFFFFFFu);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 0), 0u);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 13), 0x851E851Eu);  // 34078 each
    // Out of range: neither channel spills into the other, no division by zero.
    EXPECT_EQ(CDeviceSP::VolumeValue(25, 40), 0xFFFFFFFFu);
    EXPECT_EQ(CDeviceSP::VolumeValue(25, -3), 0u);
    EXPECT_EQ(CDeviceSP::VolumeValue(0, 0), 0xFFFFFFFFu);
    CDeviceSP playback(codec, 18, session);
    EXPECT_EQ(playback.VolumeMaximum(), 25);
    EXPECT_EQ(playback.VolumePosition(), 13);
}

TEST_F(DeviceSPTest, SixHundredFortyBytesInThePlayoutBufferPlayAsSixHundredFortyBytes) {
    const auto played = PlayOnce(10000, 25, 25);
    ASSERT_GE(played.size(), 800u);
    const auto first = std::find_if(played.begin(), played.end(), [](int16_t s) { return s; });
    ASSERT_NE(first, played.end());
    EXPECT_EQ(std::count(played.begin(), played.end(), 10000), 320);
    EXPECT_TRUE(std::all_of(first, first + 320, [](int16_t s) { return s == 10000; }));
    EXPECT_TRUE(std::all_of(first + 320, played.end(), [](int16_t s) { return s == 0; }));
}

TEST_F(DeviceSPTest, TheVolumeControlScalesWhatIsPlayed) {
    const auto atDefault = PlayOnce(10000, 25, 13);
    EXPECT_EQ(std::count(atDefault.begin(), atDefault.end(), 10000 * 34078 / 65535), 320);
    const auto muted = PlayOnce(10000, 25, 0);
    EXPECT_TRUE(std::all_of(muted.begin(), muted.end(), [](int16_t s) { return s == 0; }));
}

TEST_F(DeviceSPTest, CloseJoinsTheReceiveThreadBeforeReturning) {
    CDeviceSP playback(codec, 18, session);
    ASSERT_EQ(playback.Open(), 0);
    ASSERT_TRUE(playback.ReceiveThread()->Started());
    ASSERT_TRUE(testing_support::WaitUntil([&] { return audio.backEnd.FramesPlayed(0) >= 160; }));
    playback.Close();
    EXPECT_FALSE(playback.IsOpen());
    EXPECT_TRUE(playback.ReceiveThread()->Finished());
}

TEST_F(DeviceSPTest, ADeviceThatCannotOpenStillRunsAndStopsTheReceiveThread) {
    VirtualAudioDevice busy("Speaker");
    busy.openable = false;
    audio.backEnd.SetOutputDevices({busy});
    CDeviceSP playback(codec, 18, session);
    EXPECT_EQ(playback.Open(), platform::kAudioAllocated);
    EXPECT_FALSE(playback.IsOpen());
    EXPECT_TRUE(playback.ReceiveThread()->Started());
    playback.Close();
    EXPECT_TRUE(playback.ReceiveThread()->Finished());
}

}  // namespace
