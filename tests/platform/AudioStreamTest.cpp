#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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
using Samples = std::vector<int16_t>;

std::string TempWav(const std::string& name) {
    return testing_support::BinaryPath("audio_stream_test_" + name + ".wav");
}

// Headers over consecutive pieces of samples, each of perBuffer samples.
std::vector<AudioBufferHeader> HeadersOver(Samples& samples, size_t perBuffer) {
    std::vector<AudioBufferHeader> headers(samples.size() / perBuffer);
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i] = {reinterpret_cast<char*>(&samples[perBuffer * i]),
                      static_cast<uint32_t>(2 * perBuffer), 0, 0, 0};
    }
    return headers;
}

// Records the buffers handed back, and queues each again while asked to.
struct Completions {
    std::mutex mutex;
    std::vector<AudioBufferHeader*> done;
    std::atomic<int> count{0};
    std::atomic<bool> requeue{false};
    AudioStream* stream = nullptr;

    static void Callback(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Completions*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->done.push_back(header);
        }
        ++self->count;
        if (self->requeue.load()) {
            self->stream->Queue(header);
        }
    }
    bool WaitFor(int wanted) {
        return testing_support::WaitUntil([&] { return count.load() >= wanted; });
    }
};

class AudioStreamTest : public ::testing::Test {
protected:
    void SetUp() override { backEnd.SetSpeed(10.0); }

    std::unique_ptr<AudioStream> OpenStream(AudioDirection direction,
                                            std::vector<AudioBufferHeader>& headers) {
        std::unique_ptr<AudioStream> stream;
        EXPECT_EQ(backEnd.Open(direction, 0, &Completions::Callback, &completions, &stream),
                  platform::kAudioOk);
        completions.stream = stream.get();
        for (auto& header : headers) {
            EXPECT_EQ(stream->Prepare(&header), platform::kAudioOk);
            EXPECT_EQ(stream->Queue(&header), platform::kAudioOk);
        }
        return stream;
    }

    platform::VirtualAudioBackEnd backEnd;
    Completions completions;
};

TEST_F(AudioStreamTest, PlaybackPlaysQueuedBuffersInOrderThenSilenceAtTheDevicePace) {
    const std::string path = TempWav("playback");
    backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    Samples samples(200, 1000);
    samples.resize(320, -2000);
    std::vector<AudioBufferHeader> none;
    auto stream = OpenStream(AudioDirection::Playback, none);
    AudioBufferHeader a{reinterpret_cast<char*>(samples.data()), 400, 0, 0, 0};
    AudioBufferHeader b{reinterpret_cast<char*>(&samples[200]), 240, 0, 0, 0};
    EXPECT_EQ(stream->Queue(&a), platform::kAudioUnprepared);
    ASSERT_EQ(stream->Prepare(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Prepare(&b), platform::kAudioOk);
    ASSERT_EQ(stream->Queue(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Queue(&b), platform::kAudioOk);
    EXPECT_EQ(stream->Queue(&a), platform::kAudioStillPlaying);
    EXPECT_EQ(stream->Unprepare(&a), platform::kAudioStillPlaying);

    ASSERT_TRUE(completions.WaitFor(2));
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    EXPECT_EQ(completions.done, (std::vector<AudioBufferHeader*>{&a, &b}));
    EXPECT_EQ(a.flags, platform::kAudioBufferPrepared | platform::kAudioBufferDone);
    EXPECT_EQ(stream->Unprepare(&a), platform::kAudioOk);
    ASSERT_EQ(stream->Close(), platform::kAudioOk);
    EXPECT_EQ(stream->Queue(&b), platform::kAudioInvalidHandle);

    Samples played;
    ASSERT_TRUE(platform::ReadWavFile(path, &played));
    ASSERT_GE(played.size(), 800u);
    // Both buffers back to back from the first period on, silence after them.
    samples.resize(played.size(), 0);
    EXPECT_EQ(played, samples);
}

TEST_F(AudioStreamTest, EmptyBuffersComeBackOncePerDevicePeriodNotInATightLoop) {
    backEnd.SetSpeed(1.0);
    completions.requeue = true;
    std::vector<AudioBufferHeader> headers(10);
    auto stream = OpenStream(AudioDirection::Playback, headers);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    const int periods = static_cast<int>(backEnd.FramesPlayed(0) / 80);
    stream->Close();
    // Ten empty buffers per 10 ms period at most; a spinning layer would give thousands.
    EXPECT_LE(completions.count.load(), 10 * (periods + 1));
    EXPECT_GE(completions.count.load(), 10 * (periods - 1));
}

TEST_F(AudioStreamTest, PausedPlaybackHoldsItsBuffersUntilStartedAndVolumeScalesThem) {
    const std::string path = TempWav("volume");
    backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", path)});
    Samples samples(80, 10000);
    samples[1] = -32768;
    std::vector<AudioBufferHeader> none;
    auto stream = OpenStream(AudioDirection::Playback, none);
    // Only the low half (the left channel) counts.
    EXPECT_EQ(stream->SetVolume(0xFFFF851Eu), platform::kAudioOk);
    stream->Pause();
    auto headers = HeadersOver(samples, 80);
    stream->Prepare(&headers[0]);
    stream->Queue(&headers[0]);
    EXPECT_EQ(backEnd.FramesPlayed(0), 0u);  // a paused device does not run
    stream->Start();
    ASSERT_TRUE(completions.WaitFor(1));
    stream->Close();
    Samples played;
    ASSERT_TRUE(platform::ReadWavFile(path, &played));
    ASSERT_GE(played.size(), 80u);
    EXPECT_EQ(played[0], 10000 * 34078 / 65535);
    EXPECT_EQ(played[1], -32768 * 34078 / 65535);
}

TEST_F(AudioStreamTest, CaptureFillsBuffersFromTheFileInOrder) {
    const std::string source = TempWav("capture_source");
    Samples ramp(2000);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<int16_t>(i);
    }
    ASSERT_TRUE(platform::WriteWavFile(source, ramp));
    backEnd.SetInputDevices({VirtualAudioDevice("Microphone", source)});
    Samples memory(3 * 300);
    auto headers = HeadersOver(memory, 300);
    auto stream = OpenStream(AudioDirection::Capture, headers);
    ASSERT_EQ(stream->Start(), platform::kAudioOk);
    ASSERT_TRUE(completions.WaitFor(3));
    stream->Close();
    EXPECT_EQ(completions.done,
              (std::vector<AudioBufferHeader*>{&headers[0], &headers[1], &headers[2]}));
    for (const auto& header : headers) {
        EXPECT_EQ(header.bytesRecorded, 600u);
    }
    EXPECT_EQ(memory, Samples(ramp.begin(), ramp.begin() + 900));
}

TEST_F(AudioStreamTest, StopReturnsThePartlyFilledBufferAndKeepsTheEmptyOnes) {
    // 80 frames per period never fill 100000 samples before the stop.
    Samples memory(2 * 100000);
    auto headers = HeadersOver(memory, 100000);
    auto stream = OpenStream(AudioDirection::Capture, headers);
    stream->Start();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return backEnd.FramesCaptured(0) >= 160; }));
    ASSERT_EQ(stream->Stop(), platform::kAudioOk);
    ASSERT_EQ(completions.count.load(), 1);
    EXPECT_EQ(completions.done[0], &headers[0]);
    EXPECT_GT(headers[0].bytesRecorded, 0u);
    EXPECT_LT(headers[0].bytesRecorded, 200000u);
    EXPECT_EQ(stream->Unprepare(&headers[1]), platform::kAudioStillPlaying);

    ASSERT_EQ(stream->Reset(), platform::kAudioOk);
    EXPECT_EQ(completions.count.load(), 2);
    EXPECT_EQ(completions.done[1], &headers[1]);
    EXPECT_EQ(stream->Unprepare(&headers[1]), platform::kAudioOk);
}

TEST_F(AudioStreamTest, ResetHandsEveryBufferBackAndNothingComesAfterwards) {
    completions.requeue = true;
    Samples memory(10 * 800);
    auto headers = HeadersOver(memory, 800);
    auto stream = OpenStream(AudioDirection::Playback, headers);
    ASSERT_TRUE(completions.WaitFor(12));
    ASSERT_EQ(stream->Reset(), platform::kAudioOk);
    const int afterReset = completions.count.load();
    for (auto& header : headers) {
        EXPECT_EQ(header.flags & platform::kAudioBufferInQueue, 0u);
        EXPECT_EQ(stream->Unprepare(&header), platform::kAudioOk);
    }
    EXPECT_EQ(completions.count.load(), afterReset);
    // Nothing of the layer may touch the buffers any more (AddressSanitizer watches this).
    Samples().swap(memory);
    EXPECT_EQ(stream->Close(), platform::kAudioOk);
}

TEST(PortAudioBackEndTest, ProductNameIsTheCardNameCutTo31Characters) {
    using platform::PortAudioBackEnd;
    EXPECT_EQ(PortAudioBackEnd::ProductName("USB Audio Device: - (hw:1,0)"), "USB Audio Device");
    EXPECT_EQ(PortAudioBackEnd::ProductName("default"), "default");
    EXPECT_EQ(PortAudioBackEnd::ProductName(std::string(35, 'c') + ": x"), std::string(31, 'c'));
}

#if defined(__SANITIZE_ADDRESS__)
struct IgnoreLeaksHere {
    IgnoreLeaksHere() { __lsan_disable(); }
    ~IgnoreLeaksHere() { __lsan_enable(); }
};
#else
struct IgnoreLeaksHere {};
#endif

// The sound system's complaints about the cards and servers this machine lacks stay off the
// terminal while the devices are listed.
TEST(PortAudioBackEndTest, ListingTheDevicesPrintsNothing) {
    std::fflush(stderr);
    FILE* captured = std::tmpfile();
    ASSERT_NE(captured, nullptr);
    const int terminal = dup(STDERR_FILENO);
    ASSERT_GE(terminal, 0);
    dup2(fileno(captured), STDERR_FILENO);
    {
        // What the sound libraries allocate for themselves and keep is not this program's leak.
        [[maybe_unused]] IgnoreLeaksHere ignore;
        platform::PortAudioBackEnd audio;
        audio.OutputDeviceCount();
        audio.PreferredRecordName();
    }
    std::fflush(stderr);
    dup2(terminal, STDERR_FILENO);
    close(terminal);
    std::string printed(4096, '\0');
    std::rewind(captured);
    printed.resize(std::fread(printed.data(), 1, printed.size(), captured));
    std::fclose(captured);
    EXPECT_EQ(printed, "");
}

}  // namespace
