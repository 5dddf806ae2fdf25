#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "platform/AudioPortAudio.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::AudioBufferHeader;
using platform::AudioDirection;
using platform::AudioStream;

constexpr int kBufferSamples = 800;  // 100 ms
constexpr int kBuffers = 4;

bool PulseAudioServerReachable() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && std::filesystem::exists(std::string(runtime) + "/pulse/native");
}

// Power of the signal at frequency hz relative to its total power (0 to 1).
double ShareAt(const std::vector<int16_t>& samples, double hz) {
    double re = 0, im = 0, total = 0;
    for (size_t n = 0; n < samples.size(); ++n) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(n) / 8000.0;
        re += samples[n] * std::cos(phase);
        im += samples[n] * std::sin(phase);
        total += static_cast<double>(samples[n]) * samples[n];
    }
    if (total == 0) {
        return 0;
    }
    return 2 * (re * re + im * im) / (static_cast<double>(samples.size()) * total);
}

// Buffers of 100 ms each, queued again as soon as they are done.
struct Buffers {
    std::vector<int16_t> memory = std::vector<int16_t>(kBuffers * kBufferSamples);
    AudioBufferHeader headers[kBuffers];
    AudioStream* stream = nullptr;

    Buffers() {
        for (int i = 0; i < kBuffers; ++i) {
            headers[i] = {reinterpret_cast<char*>(&memory[i * kBufferSamples]), kBufferSamples * 2,
                          0, 0, 0};
        }
    }
    void QueueAll() {
        for (auto& header : headers) {
            stream->Prepare(&header);
            stream->Queue(&header);
        }
    }
};

struct ToneSource : Buffers {
    ToneSource() {
        for (size_t n = 0; n < memory.size(); ++n) {
            // 8 samples per period: every buffer holds whole periods and joins seamlessly.
            memory[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
        }
    }
    static void Done(void* context, AudioBufferHeader* header) {
        static_cast<ToneSource*>(context)->stream->Queue(header);
    }
};

struct Recorder : Buffers {
    std::mutex mutex;
    std::vector<int16_t> last;
    std::atomic<int> buffers{0};

    static void Done(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Recorder*>(context);
        {
            // Counted under the lock, so whoever sees the samples also sees the count.
            std::lock_guard<std::mutex> lock(self->mutex);
            const auto* samples = reinterpret_cast<const int16_t*>(header->data);
            self->last.assign(samples, samples + header->bytesRecorded / 2);
            ++self->buffers;
        }
        self->stream->Queue(header);
    }
    bool HearsTone() {
        std::lock_guard<std::mutex> lock(mutex);
        return last.size() == kBufferSamples && ShareAt(last, 1000) > 0.8;
    }
};

// The id of the device named wanted, or count when there is none.
template <typename NameOf>
uint32_t FindDevice(uint32_t count, const std::string& wanted, NameOf nameOf) {
    std::string name;
    uint32_t id = 0;
    while (id < count && !(nameOf(id, &name) && name == wanted)) {
        ++id;
    }
    return id;
}

TEST(PortAudioOverPulseAudioTest, ATonePlayedComesBackOnTheCaptureDevice) {
    if (!PulseAudioServerReachable()) {
        GTEST_SKIP() << "no PulseAudio server reachable (run through run-with-pulseaudio.sh)";
    }
    platform::PortAudioBackEnd audio;
    const std::string playbackName = audio.PreferredPlaybackName();
    const std::string recordName = audio.PreferredRecordName();
    ASSERT_FALSE(playbackName.empty());
    ASSERT_FALSE(recordName.empty());
    const uint32_t output = FindDevice(
        audio.OutputDeviceCount(), playbackName,
        [&](uint32_t id, std::string* name) { return audio.OutputDeviceName(id, name); });
    const uint32_t input =
        FindDevice(audio.InputDeviceCount(), recordName,
                   [&](uint32_t id, std::string* name) { return audio.InputDeviceName(id, name); });
    ASSERT_LT(output, audio.OutputDeviceCount());
    ASSERT_LT(input, audio.InputDeviceCount());

    ToneSource tone;
    Recorder recorder;
    std::unique_ptr<AudioStream> playback, capture;
    ASSERT_EQ(audio.Open(AudioDirection::Playback, output, &ToneSource::Done, &tone, &playback),
              platform::kAudioOk);
    ASSERT_EQ(audio.Open(AudioDirection::Capture, input, &Recorder::Done, &recorder, &capture),
              platform::kAudioOk);
    tone.stream = playback.get();
    recorder.stream = capture.get();
    recorder.QueueAll();
    tone.QueueAll();
    ASSERT_EQ(capture->Start(), platform::kAudioOk);

    // The sound server's streams take up to about two seconds to run steadily.
    EXPECT_TRUE(testing_support::WaitUntil([&] { return recorder.HearsTone(); }, 8000));
    EXPECT_GT(recorder.buffers.load(), 0);
    EXPECT_EQ(capture->Close(), platform::kAudioOk);
    EXPECT_EQ(playback->Close(), platform::kAudioOk);
}

}  // namespace
