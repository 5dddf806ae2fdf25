#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <numeric>
#include <optional>

#include "media/AudioDeviceSelection.h"
#include "platform/AudioPortAudio.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/DynamicLibrary.h"
#include "platform/TThread.h"
#include "tests/support/LeakCheck.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::AudioBufferHeader;
using platform::AudioDirection;
using platform::kAudioOk;
using platform::VirtualAudioDevice;
using Samples = std::vector<int16_t>;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

// Buffers over consecutive pieces of `memory` on one stream, prepared and queued unless
// `queue` is false; records the buffers handed back and the samples of the last, and queues
// each again while `requeue`.
struct Buffers {
    static void Callback(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Buffers*>(context);
        const auto* samples = reinterpret_cast<const int16_t*>(header->data);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->done.push_back(header);
            self->last.assign(samples, samples + header->bytesRecorded / 2);
        }
        ++self->count;
        if (self->requeue.load()) {
            self->stream->Queue(header);
        }
    }
    void Open(platform::AudioBackEnd& audio, AudioDirection direction,
              const std::vector<size_t>& sizes, uint32_t id = 0, bool queue = true) {
        ASSERT_EQ(audio.Open(direction, id, &Callback, this, &stream), kAudioOk);
        headers.reserve(sizes.size());  // queued buffers must not move
        for (size_t i = 0, at = 0; i < sizes.size(); at += sizes[i++]) {
            AudioBufferHeader& header = headers.emplace_back(AudioBufferHeader{
                reinterpret_cast<char*>(memory.data() + at), uint32_t(2 * sizes[i]), 0, 0, 0});
            EXPECT_EQ(queue ? stream->Prepare(&header) + stream->Queue(&header) : kAudioOk,
                      kAudioOk);
        }
    }

    Samples memory, last;
    std::vector<AudioBufferHeader> headers;
    std::mutex mutex;
    std::vector<AudioBufferHeader*> done;
    std::atomic<int> count{0};
    std::atomic<bool> requeue{false};
    std::unique_ptr<platform::AudioStream> stream;
};

class AudioStreamTest : public ::testing::Test, public Buffers {
protected:
    void SetUp() override { backEnd.SetSpeed(10.0); }
    void TearDown() override { stream.reset(); }  // before the back end it runs on

    platform::VirtualAudioBackEnd backEnd;
    const std::string wav = testing_support::BinaryPath(
        std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + ".wav");
};

// Paused, the device holds its buffers; started, it plays them in order at the left
// channel's volume, then silence.
TEST_F(AudioStreamTest, PlaybackPlaysQueuedBuffersInOrderAtTheVolumeThenSilence) {
    backEnd.SetOutputDevices({VirtualAudioDevice("Speaker", wav)});
    memory.assign(200, 1000);
    memory.resize(320, -2000);
    memory[1] = -32768;
    Open(backEnd, AudioDirection::Playback, {200, 120}, 0, false);
    EXPECT_EQ(stream->SetVolume(0xFFFF851Eu), kAudioOk);  // only the low half counts
    EXPECT_EQ(stream->Pause(), kAudioOk);
    AudioBufferHeader &a = headers[0], &b = headers[1];
    EXPECT_EQ(stream->Queue(&a), platform::kAudioUnprepared);
    ASSERT_EQ(stream->Prepare(&a) + stream->Prepare(&b) + stream->Queue(&a) + stream->Queue(&b),
              kAudioOk);
    EXPECT_EQ(stream->Queue(&a), platform::kAudioStillPlaying);
    EXPECT_EQ(stream->Unprepare(&a), platform::kAudioStillPlaying);
    EXPECT_EQ(backEnd.FramesPlayed(0) + backEnd.FramesPlayed(1), 0u);  // 1: no such device
    stream->Start();
    ASSERT_TRUE(WaitUntil([&] { return count >= 2 && backEnd.FramesPlayed(0) >= 800; }));
    EXPECT_EQ(done, (std::vector<AudioBufferHeader*>{&a, &b}));
    EXPECT_EQ(a.flags, platform::kAudioBufferPrepared | platform::kAudioBufferDone);
    EXPECT_EQ(stream->Unprepare(&a), kAudioOk);
    ASSERT_EQ(stream->Close(), kAudioOk);
    EXPECT_EQ(stream->Queue(&b), platform::kAudioInvalidHandle);
    Samples played;
    ASSERT_TRUE(platform::ReadWavFile(wav, &played));
    ASSERT_GE(played.size(), 800u);
    for (int16_t& sample : memory) {
        sample = int16_t(sample * 34078 / 65535);
    }
    memory.resize(played.size(), 0);
    EXPECT_EQ(played, memory);
    // Any other format is refused: here two channels.
    std::fstream(wav, std::ios::in | std::ios::out | std::ios::binary).seekp(22).put(2);
    EXPECT_FALSE(platform::ReadWavFile(wav, &played));
}

TEST_F(AudioStreamTest, EmptyBuffersComeBackOncePerDevicePeriodNotInATightLoop) {
    backEnd.SetSpeed(1.0);
    requeue = true;
    Open(backEnd, AudioDirection::Playback, std::vector<size_t>(10, 0));
    ASSERT_TRUE(WaitUntil([&] { return backEnd.FramesPlayed(0) >= 800; }));
    const int periods = static_cast<int>(backEnd.FramesPlayed(0) / 80);
    stream->Close();
    EXPECT_LE(count.load(), 10 * (periods + 1));
    EXPECT_GE(count.load(), 10 * (periods - 1));
}

// Three buffers fill from the file in order; a stop returns the partly filled fourth and
// keeps the empty fifth until the reset, which a buffer queued again from its callback would
// outlive.
TEST_F(AudioStreamTest, CaptureFillsBuffersInOrderAndStopReturnsThePartlyFilledOne) {
    Samples ramp(2000);
    std::iota(ramp.begin(), ramp.end(), 0);
    ASSERT_TRUE(platform::WriteWavFile(wav, ramp));
    backEnd.SetInputDevices({VirtualAudioDevice("Microphone", wav)});
    memory.resize(900 + 2 * 100000);
    Open(backEnd, AudioDirection::Capture, {300, 300, 300, 100000, 100000});
    EXPECT_EQ(stream->Pause(), platform::kAudioNotSupported);
    ASSERT_EQ(stream->Start(), kAudioOk);
    ASSERT_TRUE(WaitUntil([&] { return count >= 3 && backEnd.FramesCaptured(0) >= 900 + 160; }));
    ASSERT_EQ(stream->Stop(), kAudioOk);
    EXPECT_EQ(done, (std::vector<AudioBufferHeader*>{&headers[0], &headers[1], &headers[2],
                                                     &headers[3]}));
    EXPECT_EQ(headers[0].bytesRecorded + headers[1].bytesRecorded + headers[2].bytesRecorded,
              1800u);
    EXPECT_EQ(Samples(memory.begin(), memory.begin() + 900),
              Samples(ramp.begin(), ramp.begin() + 900));
    EXPECT_TRUE(headers[3].bytesRecorded > 0 && headers[3].bytesRecorded < 200000u);
    EXPECT_EQ(stream->Unprepare(&headers[4]), platform::kAudioStillPlaying);
    requeue = true;
    ASSERT_EQ(stream->Reset(), kAudioOk);
    EXPECT_EQ(count.load(), 5);
    EXPECT_EQ(done.back(), &headers[4]);
    for (auto& header : headers) {
        EXPECT_EQ(stream->Unprepare(&header), kAudioOk);
    }
}

// The card name is cut at its ": " and to 31 characters.
TEST(PortAudioBackEndTest, ProductNames) {
    using platform::PortAudioBackEnd;
    EXPECT_EQ(PortAudioBackEnd::ProductName("USB Audio Device: - (hw:1,0)"), "USB Audio Device");
    EXPECT_EQ(PortAudioBackEnd::ProductName("default"), "default");
    EXPECT_EQ(PortAudioBackEnd::ProductName(std::string(35, 'c') + ": x"), std::string(31, 'c'));
}

bool Mapped(const std::string& library) {
    std::ifstream maps("/proc/self/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {}).find(library) != std::string::npos;
}

// Beside scripts/with-pulseaudio.sh's daemon (a null sink, its monitor the default source), a
// 1 kHz tone on the devices a call chooses comes back, straight through the server's client
// library (PortAudio then stays unloaded) and through PortAudio; choosing the devices keeps
// the terminal quiet.
class PortAudioOverPulseAudioTest : public ::testing::TestWithParam<bool> {};

TEST_P(PortAudioOverPulseAudioTest, ATonePlayedComesBackOnTheCaptureDevice) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || !std::filesystem::exists(std::string(runtime) + "/pulse/native")) {
        GTEST_SKIP() << "no PulseAudio server reachable (run through scripts/with-pulseaudio.sh)";
    }
    const bool direct = GetParam();
    testing::internal::CaptureStderr();  // the sound system's complaints about missing cards
    platform::PortAudioBackEnd audio(direct);
    AudioDeviceChoice choice;
    EXPECT_TRUE(FindAudioDevices(audio, kInstallLanguageEnglish, &choice));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // The direct streams' connection and thread go with the last of them.
    std::optional<testing_support::LeakCheck> leakCheck;
    if (direct) {
        leakCheck.emplace();
    }
    Buffers tone, recorder;
    for (size_t n = 0; n < 4 * 800; ++n) {
        // 8 samples per period: every buffer holds whole periods and joins seamlessly.
        tone.memory.push_back(static_cast<int16_t>(8000 * std::sin(std::numbers::pi * n / 4.0)));
    }
    recorder.memory.resize(4 * 800);
    tone.requeue = recorder.requeue = true;
    recorder.Open(audio, AudioDirection::Capture, {800, 800, 800, 800}, choice.microphoneDevice);
    tone.Open(audio, AudioDirection::Playback, {800, 800, 800, 800}, choice.speakerDevice);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(recorder.stream->Start(), kAudioOk);
    // Whether the last buffer is whole and 1 kHz has over 80 % of its power.
    const auto hearsTone = [&recorder] {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        const Samples& last = recorder.last;
        double re = 0, im = 0, total = 0;
        for (size_t n = 0; n < last.size(); ++n) {
            re += last[n] * std::cos(std::numbers::pi * double(n) / 4);
            im += last[n] * std::sin(std::numbers::pi * double(n) / 4);
            total += double(last[n]) * last[n];
        }
        return last.size() == 800 && total > 0 && 2 * (re * re + im * im) / (800 * total) > 0.8;
    };
    // The sound server's streams take up to about two seconds to run steadily.
    EXPECT_TRUE(WaitUntil(hearsTone, 8000));
    EXPECT_EQ(Mapped("libportaudio.so"), !direct);
    EXPECT_EQ(recorder.stream->Close() + tone.stream->Close(), kAudioOk);
}

INSTANTIATE_TEST_SUITE_P(DirectOrThroughPortAudio, PortAudioOverPulseAudioTest, ::testing::Bool());

// Rests until nudged, as the call manager does between calls, twice; then takes a plain
// sleep that a nudge must not shorten (as between DTMF digits), and one of a minute.
class RestingThread final : public TThread {
public:
    ~RestingThread() override { TerminateAndWait(); }
    std::atomic<int> wakes{0};
    std::atomic<int64_t> plainSleepMs{-1};

protected:
    void Execute() override {
        while (wakes < 2 && SleepUntilNudged(60'000)) {
            ++wakes;
        }
        const auto start = Clock::now();
        SleepUnlessTerminated(200);
        plainSleepMs = (Clock::now() - start) / std::chrono::milliseconds(1);
        SleepUnlessTerminated(60'000);
    }
};

TEST(TThreadTest, NudgeEndsARestButNotAPlainSleepAndTerminateEndsBoth) {
    RestingThread thread;
    thread.Nudge();  // before the thread rests at all: its first rest ends at once
    EXPECT_FALSE(thread.Started());
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return thread.wakes.load() == 1; }));
    thread.Nudge();
    ASSERT_TRUE(WaitUntil([&] { return thread.wakes.load() == 2; }));
    thread.Nudge();  // lands in the plain sleep, or just before it
    ASSERT_TRUE(WaitUntil([&] { return thread.plainSleepMs.load() >= 0; }));
    EXPECT_GE(thread.plainSleepMs.load(), 200);
    thread.Terminate();  // ends the sleep of a minute, well within the test's timeout
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    thread.WaitFor();  // a second wait returns at once
}

// Found by name only, on the library path or beside the program.
TEST(DynamicLibraryTest, RefusesPathsAndFindsNothingInNoLibrary) {
    EXPECT_EQ(platform::LoadLibraryByName("../escape.so"), nullptr);
    EXPECT_EQ(platform::LoadLibraryByName("/usr/lib/x86_64-linux-gnu/libc.so.6"), nullptr);
    EXPECT_EQ(platform::FindEntry(nullptr, "malloc"), nullptr);
    EXPECT_NE(platform::ProgramFolder().find("/bin"), std::string::npos);
}

}  // namespace
