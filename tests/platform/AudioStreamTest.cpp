#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Audio.h"
#include "platform/AudioPortAudio.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::AudioBufferHeader;
using platform::AudioDirection;
using platform::AudioStream;
using platform::VirtualAudioDevice;

std::string TempWav(const std::string& name) {
    return testing_support::BinaryPath("audio_stream_test_" + name + ".wav");
}

// Records the buffers handed back, and queues each again while asked to.
struct Completions {
    std::mutex mutex;
    std::vector<AudioBufferHeader*> done;
    std::vector<uint32_t> lengths;
    std::atomic<int> count{0};
    std::atomic<bool> requeue{false};
    AudioStream* stream = nullptr;

    static void Callback(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Completions*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->done.push_back(header);
            self->lengths.push_back(header->bufferLength);
        }
        ++self->count;
        if (self->requeue.load()) {
            self->stream->Queue(header);
        }
    }
};

class AudioStreamTest : public ::testing::Test {
protected:
    void SetUp() override { backEnd.SetSpeed(10.0); }

    std::unique_ptr<AudioStream> OpenStream(AudioDirection direction, Completions* completions) {
        std::unique_ptr<AudioStream> stream;
        EXPECT_EQ(backEnd.Open(direction, 0, &Completions::Callback, completions, &stream),
                  platform::kAudioOk);
        completions->stream = stream.get();
        return stream;
    }

    platform::VirtualAudioBackEnd backEnd;
};

TEST_F(AudioStreamTest, PlaybackPlaysQueuedBuffersInOrderThenSilenceAtTheDevicePace) {
    const std::string path = TempWav("playback");
    backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    Completions completions;
    auto stream = OpenStream(AudioDirection::Playback, &completions);

    std::vector<int16_t> first(200, 1000), second(120, -2000);
    AudioBufferHeader a{reinterpret_cast<char*>(first.data()), 400, 0, 0, 0};
    AudioBufferHeader b{reinterpret_cast<char*>(second.data()), 240, 0, 0, 0};
    EXPECT_EQ(stream->Queue(&a), platform::kAudioUnprepared);
    ASSERT_EQ(stream->Prepare(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Prepare(&b), platform::kAudioOk);
    ASSERT_EQ(stream->Queue(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Queue(&b), platform::kAudioOk);
    EXPECT_EQ(stream->Queue(&a), platform::kAudioStillPlaying);
    EXPECT_EQ(stream->Unprepare(&a), platform::kAudioStillPlaying);

    ASSERT_TRUE(testing_support::WaitUntil([&] { return completions.count.load() == 2; }));
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    EXPECT_EQ(completions.done[0], &a);
    EXPECT_EQ(completions.done[1], &b);
    EXPECT_EQ(a.flags, platform::kAudioBufferPrepared | platform::kAudioBufferDone);
    EXPECT_EQ(stream->Unprepare(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Close(), platform::kAudioOk);
    EXPECT_EQ(stream->Queue(&b), platform::kAudioInvalidHandle);

    std::vector<int16_t> played;
    ASSERT_TRUE(platform::ReadWavFile(path, &played));
    ASSERT_GE(played.size(), 800u);
    // Both buffers back to back from the first period on, silence after them.
    for (size_t i = 0; i < 200; ++i) {
        ASSERT_EQ(played[i], 1000) << i;
    }
    for (size_t i = 200; i < 320; ++i) {
        ASSERT_EQ(played[i], -2000) << i;
    }
    for (size_t i = 320; i < played.size(); ++i) {
        ASSERT_EQ(played[i], 0) << i;
    }
}

TEST_F(AudioStreamTest, EmptyBuffersComeBackOncePerDevicePeriodNotInATightLoop) {
    backEnd.SetSpeed(1.0);
    Completions completions;
    completions.requeue = true;
    auto stream = OpenStream(AudioDirection::Playback, &completions);
    std::vector<AudioBufferHeader> headers(10);
    for (auto& header : headers) {
        stream->Prepare(&header);
        stream->Queue(&header);
    }
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    const int periods = static_cast<int>(backEnd.FramesPlayed(0) / 80);
    stream->Close();
    // Ten empty buffers per 10 ms period at most; a spinning layer would give thousands.
    EXPECT_LE(completions.count.load(), 10 * (periods + 1));
    EXPECT_GE(completions.count.load(), 10 * (periods - 1));
}

TEST_F(AudioStreamTest, VolumeScalesTheSamplesByTheLowHalf) {
    const std::string path = TempWav("volume");
    backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    Completions completions;
    auto stream = OpenStream(AudioDirection::Playback, &completions);
    EXPECT_EQ(stream->SetVolume(0x0000851Eu), platform::kAudioOk);
    uint32_t volume = 0;
    EXPECT_EQ(stream->GetVolume(&volume), platform::kAudioOk);
    EXPECT_EQ(volume, 0x0000851Eu);
    std::vector<int16_t> samples(80, 10000);
    samples[1] = -32768;
    AudioBufferHeader header{reinterpret_cast<char*>(samples.data()), 160, 0, 0, 0};
    stream->Prepare(&header);
    stream->Queue(&header);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return completions.count.load() == 1; }));
    stream->Close();
    std::vector<int16_t> played;
    ASSERT_TRUE(platform::ReadWavFile(path, &played));
    ASSERT_GE(played.size(), 80u);
    EXPECT_EQ(played[0], 10000 * 34078 / 65535);
    EXPECT_EQ(played[1], -32768 * 34078 / 65535);
}

TEST_F(AudioStreamTest, PausedPlaybackHoldsItsBuffersUntilStarted) {
    Completions completions;
    auto stream = OpenStream(AudioDirection::Playback, &completions);
    std::vector<int16_t> samples(80, 5);
    AudioBufferHeader header{reinterpret_cast<char*>(samples.data()), 160, 0, 0, 0};
    stream->Pause();
    stream->Prepare(&header);
    stream->Queue(&header);
    EXPECT_EQ(backEnd.FramesPlayed(0), 0u);  // a paused device does not run
    stream->Start();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return completions.count.load() == 1; }));
    stream->Close();
}

TEST_F(AudioStreamTest, CaptureFillsBuffersFromTheFileInOrder) {
    const std::string source = TempWav("capture_source");
    std::vector<int16_t> ramp(2000);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<int16_t>(i);
    }
    ASSERT_TRUE(platform::WriteWavFile(source, ramp));
    backEnd.SetInputDevices({VirtualAudioDevice("Microphone", source)});
    Completions completions;
    auto stream = OpenStream(AudioDirection::Capture, &completions);
    std::vector<int16_t> memory(3 * 300);
    std::vector<AudioBufferHeader> headers(3);
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i] = {reinterpret_cast<char*>(&memory[300 * i]), 600, 0, 0, 0};
        stream->Prepare(&headers[i]);
        stream->Queue(&headers[i]);
    }
    ASSERT_EQ(stream->Start(), platform::kAudioOk);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return completions.count.load() == 3; }));
    stream->Close();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(completions.done[i], &headers[i]);
        EXPECT_EQ(headers[i].bytesRecorded, 600u);
    }
    for (size_t i = 0; i < memory.size(); ++i) {
        ASSERT_EQ(memory[i], static_cast<int16_t>(i)) << i;
    }
}

TEST_F(AudioStreamTest, StopReturnsThePartlyFilledBufferAndKeepsTheEmptyOnes) {
    Completions completions;
    auto stream = OpenStream(AudioDirection::Capture, &completions);
    // 80 frames per period never fill 1000 samples before the stop.
    std::vector<int16_t> memory(2 * 100000);
    AudioBufferHeader big{reinterpret_cast<char*>(memory.data()), 200000, 0, 0, 0};
    AudioBufferHeader next{reinterpret_cast<char*>(&memory[100000]), 200000, 0, 0, 0};
    stream->Prepare(&big);
    stream->Prepare(&next);
    stream->Queue(&big);
    stream->Queue(&next);
    stream->Start();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesCaptured(0) >= 160; }));
    ASSERT_EQ(stream->Stop(), platform::kAudioOk);
    ASSERT_EQ(completions.count.load(), 1);
    EXPECT_EQ(completions.done[0], &big);
    EXPECT_GT(big.bytesRecorded, 0u);
    EXPECT_LT(big.bytesRecorded, 200000u);
    EXPECT_EQ(stream->Unprepare(&next), platform::kAudioStillPlaying);

    ASSERT_EQ(stream->Reset(), platform::kAudioOk);
    EXPECT_EQ(completions.count.load(), 2);
    EXPECT_EQ(completions.done[1], &next);
    EXPECT_EQ(stream->Unprepare(&next), platform::kAudioOk);
}

TEST_F(AudioStreamTest, ResetHandsEveryBufferBackAndNothingComesAfterwards) {
    Completions completions;
    completions.requeue = true;
    auto stream = OpenStream(AudioDirection::Playback, &completions);
    std::vector<int16_t> memory(10 * 800);
    std::vector<AudioBufferHeader> headers(10);
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i] = {reinterpret_cast<char*>(&memory[800 * i]), 1600, 0, 0, 0};
        stream->Prepare(&headers[i]);
        stream->Queue(&headers[i]);
    }
    ASSERT_TRUE(testing_support::WaitUntil([&] { return completions.count.load() >= 12; }));
    ASSERT_EQ(stream->Reset(), platform::kAudioOk);
    const int afterReset = completions.count.load();
    for (auto& header : headers) {
        EXPECT_EQ(header.flags & platform::kAudioBufferInQueue, 0u);
        EXPECT_EQ(stream->Unprepare(&header), platform::kAudioOk);
    }
    EXPECT_EQ(completions.count.load(), afterReset);
    // Nothing of the layer may touch the buffers any more (AddressSanitizer watches this).
    std::vector<int16_t>().swap(memory);
    EXPECT_EQ(stream->Close(), platform::kAudioOk);
}

TEST_F(AudioStreamTest, DeviceListsAndOpenFailures) {
    VirtualAudioDevice unreadable("Hidden");
    unreadable.capabilitiesReadable = false;
    VirtualAudioDevice busy("Busy");
    busy.openable = false;
    backEnd.SetOutputDevices({VirtualAudioDevice(std::string(40, 'x')), unreadable, busy});
    backEnd.SetPreferredNames("Speakers", "");
    EXPECT_EQ(backEnd.OutputDeviceCount(), 3u);
    std::string name;
    ASSERT_TRUE(backEnd.OutputDeviceName(0, &name));
    EXPECT_EQ(name, std::string(31, 'x'));
    EXPECT_FALSE(backEnd.OutputDeviceName(1, &name));
    EXPECT_FALSE(backEnd.OutputDeviceName(3, &name));
    EXPECT_EQ(backEnd.PreferredPlaybackName(), "Speakers");
    EXPECT_EQ(backEnd.PreferredRecordName(), "");

    std::unique_ptr<AudioStream> stream;
    EXPECT_EQ(backEnd.Open(AudioDirection::Playback, 2, nullptr, nullptr, &stream),
              platform::kAudioAllocated);
    EXPECT_EQ(backEnd.Open(AudioDirection::Playback, 3, nullptr, nullptr, &stream),
              platform::kAudioBadDeviceId);
    backEnd.SetInputDevices({VirtualAudioDevice("Mic", TempWav("does_not_exist_dir/x"))});
    EXPECT_EQ(backEnd.Open(AudioDirection::Capture, 0, nullptr, nullptr, &stream),
              platform::kAudioError);
    EXPECT_EQ(stream, nullptr);
}

TEST(AudioBackEndTest, TheCurrentBackEndCanBeReplacedAndRestored) {
    platform::VirtualAudioBackEnd virtualAudio;
    platform::SetAudioBackEnd(&virtualAudio);
    EXPECT_EQ(&platform::CurrentAudioBackEnd(), &virtualAudio);
    platform::SetAudioBackEnd(nullptr);
    EXPECT_NE(&platform::CurrentAudioBackEnd(), &virtualAudio);
}

TEST(PortAudioBackEndTest, ProductNameIsTheCardNameCutTo31Characters) {
    using platform::PortAudioBackEnd;
    EXPECT_EQ(PortAudioBackEnd::ProductName("USB Audio Device: - (hw:1,0)"), "USB Audio Device");
    EXPECT_EQ(PortAudioBackEnd::ProductName("HDA Intel PCH: ALC3246 Analog (hw:0,0)"),
              "HDA Intel PCH");
    EXPECT_EQ(PortAudioBackEnd::ProductName("default"), "default");
    EXPECT_EQ(PortAudioBackEnd::ProductName(std::string(35, 'c') + ": x"), std::string(31, 'c'));
}

TEST(WavFileTest, RefusesOtherFormatsAndDamagedFiles) {
    const std::string path = TempWav("roundtrip");
    const std::vector<int16_t> samples = {0, 1, -1, 32767, -32768};
    ASSERT_TRUE(platform::WriteWavFile(path, samples));
    std::vector<int16_t> read;
    ASSERT_TRUE(platform::ReadWavFile(path, &read));
    EXPECT_EQ(read, samples);

    // A stereo header, and a data chunk claiming more than the file holds.
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 22, SEEK_SET);
    std::fputc(2, file);
    std::fclose(file);
    EXPECT_FALSE(platform::ReadWavFile(path, &read));
    ASSERT_TRUE(platform::WriteWavFile(path, samples));
    file = std::fopen(path.c_str(), "r+b");
    std::fseek(file, 40, SEEK_SET);
    std::fputc(0xFF, file);
    std::fputc(0xFF, file);
    std::fclose(file);
    EXPECT_FALSE(platform::ReadWavFile(path, &read));
    EXPECT_FALSE(platform::ReadWavFile(TempWav("missing"), &read));
}

}  // namespace
