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
using platform::AudioStream;

// Four buffers of 100 ms each, queued again as soon as they are done; a capture keeps the
// last one filled.
struct Buffers {
    std::vector<int16_t> memory = std::vector<int16_t>(4 * 800);
    AudioBufferHeader headers[4];
    std::unique_ptr<AudioStream> stream;
    std::mutex mutex;
    std::vector<int16_t> last;

    Buffers() {
        for (int i = 0; i < 4; ++i) {
            headers[i] = {reinterpret_cast<char*>(&memory[i * 800]), 1600, 0, 0, 0};
        }
    }
    static void Done(void* context, AudioBufferHeader* header) {
        auto* self = static_cast<Buffers*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            const auto* samples = reinterpret_cast<const int16_t*>(header->data);
            self->last.assign(samples, samples + header->bytesRecorded / 2);
        }
        self->stream->Queue(header);
    }
    void Open(platform::PortAudioBackEnd& audio, AudioDirection direction, uint32_t count,
              const std::string& wanted) {
        std::string name;
        uint32_t id = 0;
        while (id < count &&
               !((direction == AudioDirection::Playback ? audio.OutputDeviceName(id, &name)
                                                        : audio.InputDeviceName(id, &name)) &&
                 name == wanted)) {
            ++id;
        }
        ASSERT_LT(id, count) << wanted;
        ASSERT_EQ(audio.Open(direction, id, &Done, this, &stream), platform::kAudioOk);
    }
    void QueueAll() {
        for (auto& header : headers) {
            stream->Prepare(&header);
            stream->Queue(&header);
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
    ASSERT_FALSE(playbackName.empty());
    ASSERT_FALSE(recordName.empty());
    Buffers tone, recorder;
    for (size_t n = 0; n < tone.memory.size(); ++n) {
        // 8 samples per period: every buffer holds whole periods and joins seamlessly.
        tone.memory[n] = static_cast<int16_t>(8000 * std::sin(std::numbers::pi * n / 4.0));
    }
    tone.Open(audio, AudioDirection::Playback, audio.OutputDeviceCount(), playbackName);
    recorder.Open(audio, AudioDirection::Capture, audio.InputDeviceCount(), recordName);
    ASSERT_FALSE(HasFatalFailure());
    recorder.QueueAll();
    tone.QueueAll();
    ASSERT_EQ(recorder.stream->Start(), platform::kAudioOk);
    // The sound server's streams take up to about two seconds to run steadily.
    EXPECT_TRUE(testing_support::WaitUntil([&] { return recorder.HearsTone(); }, 8000));
    EXPECT_EQ(recorder.stream->Close(), platform::kAudioOk);
    EXPECT_EQ(tone.stream->Close(), platform::kAudioOk);
}

}  // namespace
