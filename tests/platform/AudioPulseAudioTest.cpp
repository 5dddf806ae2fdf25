#include <gtest/gtest.h>

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

// Four buffers of 100 ms each, queued again as soon as they are done; a capture keeps the
// last one filled.
struct Buffers {
    std::vector<int16_t> memory = std::vector<int16_t>(4 * 800);
    AudioBufferHeader headers[4];
    std::unique_ptr<platform::AudioStream> stream;
    std::mutex mutex;
    std::vector<int16_t> last;

    static void Done(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Buffers*>(context);
        const auto* samples = reinterpret_cast<const int16_t*>(header->data);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->last.assign(samples, samples + header->bytesRecorded / 2);
        }
        self->stream->Queue(header);
    }
    // Opens the device of the name wanted and queues the buffers.
    void Open(platform::PortAudioBackEnd& audio, AudioDirection direction,
              const std::string& wanted) {
        const bool playback = direction == AudioDirection::Playback;
        const uint32_t count = playback ? audio.OutputDeviceCount() : audio.InputDeviceCount();
        uint32_t id = 0;
        for (std::string name; id < count; ++id) {
            if ((playback ? audio.OutputDeviceName(id, &name) : audio.InputDeviceName(id, &name)) &&
                name == wanted) {
                break;
            }
        }
        ASSERT_LT(id, count) << wanted;
        ASSERT_EQ(audio.Open(direction, id, &Done, this, &stream), platform::kAudioOk);
        for (int i = 0; i < 4; ++i) {
            headers[i] = {reinterpret_cast<char*>(&memory[i * 800]), 1600, 0, 0, 0};
            stream->Prepare(&headers[i]);
            stream->Queue(&headers[i]);
        }
    }
    // Whether the last buffer is whole and 1 kHz has over 80 % of its power.
    bool HearsTone() {
        std::lock_guard<std::mutex> lock(mutex);
        double re = 0, im = 0, total = 0;
        for (size_t n = 0; n < last.size(); ++n) {
            re += last[n] * std::cos(std::numbers::pi * double(n) / 4);
            im += last[n] * std::sin(std::numbers::pi * double(n) / 4);
            total += double(last[n]) * last[n];
        }
        return last.size() == 800 && total > 0 && 2 * (re * re + im * im) / (800 * total) > 0.8;
    }
};

TEST(PortAudioOverPulseAudioTest, ATonePlayedComesBackOnTheCaptureDevice) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || !std::filesystem::exists(std::string(runtime) + "/pulse/native")) {
        GTEST_SKIP() << "no PulseAudio server reachable (run through run-with-pulseaudio.sh)";
    }
    platform::PortAudioBackEnd audio;
    const std::string playbackName = audio.PreferredPlaybackName();
    const std::string recordName = audio.PreferredRecordName();
    ASSERT_FALSE(playbackName.empty() || recordName.empty());
    Buffers tone, recorder;
    for (size_t n = 0; n < tone.memory.size(); ++n) {
        // 8 samples per period: every buffer holds whole periods and joins seamlessly.
        tone.memory[n] = static_cast<int16_t>(8000 * std::sin(std::numbers::pi * n / 4.0));
    }
    recorder.Open(audio, AudioDirection::Capture, recordName);
    tone.Open(audio, AudioDirection::Playback, playbackName);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(recorder.stream->Start(), platform::kAudioOk);
    // The sound server's streams take up to about two seconds to run steadily.
    EXPECT_TRUE(testing_support::WaitUntil([&] { return recorder.HearsTone(); }, 8000));
    EXPECT_EQ(recorder.stream->Close(), platform::kAudioOk);
    EXPECT_EQ(tone.stream->Close(), platform::kAudioOk);
}

}  // namespace
