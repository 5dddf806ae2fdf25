#include "platform/AudioVirtual.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/AudioStreamEngine.h"
#include "platform/AudioWavFile.h"

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Paces a virtual device: one period per period's duration (divided by the speed factor).
class PeriodClock {
public:
    explicit PeriodClock(double speed)
        : period_(std::chrono::duration_cast<SteadyClock::duration>(
              std::chrono::duration<double, std::milli>(kAudioPeriodMs / speed))) {}

    void Begin() { next_ = SteadyClock::now(); }
    void WaitForNextPeriod() {
        next_ += period_;
        const auto now = SteadyClock::now();
        // After a long stall (a debugger, an overloaded machine) the clock starts afresh
        // instead of rushing through the missed periods.
        if (now - next_ > 20 * period_) {
            next_ = now;
        }
        std::this_thread::sleep_until(next_);
    }

private:
    const SteadyClock::duration period_;
    SteadyClock::time_point next_;
};

class VirtualPlaybackEndpoint final : public AudioEndpoint {
public:
    VirtualPlaybackEndpoint(double speed, std::shared_ptr<std::atomic<uint64_t>> frames)
        : clock_(speed), frames_(std::move(frames)) {}

    bool OpenFile(const std::string& path) { return path.empty() || writer_.Open(path); }

    bool Begin() override {
        clock_.Begin();
        return true;
    }
    bool Transfer(int16_t* samples, size_t frames) override {
        clock_.WaitForNextPeriod();
        writer_.Append(samples, frames);
        *frames_ += frames;
        return true;
    }
    void End() override {}

private:
    PeriodClock clock_;
    std::shared_ptr<std::atomic<uint64_t>> frames_;
    WavFileWriter writer_;
};

class VirtualCaptureEndpoint final : public AudioEndpoint {
public:
    VirtualCaptureEndpoint(double speed, bool loop, std::shared_ptr<std::atomic<uint64_t>> frames)
        : clock_(speed), loop_(loop), frames_(std::move(frames)) {}

    bool OpenFile(const std::string& path) { return path.empty() || ReadWavFile(path, &source_); }

    bool Begin() override {
        clock_.Begin();
        return true;
    }
    bool Transfer(int16_t* samples, size_t frames) override {
        clock_.WaitForNextPeriod();
        for (size_t i = 0; i < frames; ++i) {
            samples[i] = NextSample();
        }
        *frames_ += frames;
        return true;
    }
    void End() override {}

private:
    int16_t NextSample() {
        if (position_ >= source_.size()) {
            if (!loop_ || source_.empty()) {
                return 0;
            }
            position_ = 0;
        }
        return source_[position_++];
    }

    PeriodClock clock_;
    const bool loop_;
    std::shared_ptr<std::atomic<uint64_t>> frames_;
    std::vector<int16_t> source_;
    size_t position_ = 0;
};

}  // namespace

VirtualAudioBackEnd::VirtualAudioBackEnd()
    : outputs_(MakeDevices({VirtualAudioDevice("Virtual Speaker")})),
      inputs_(MakeDevices({VirtualAudioDevice("Virtual Microphone")})),
      preferredPlayback_("Virtual Speaker"),
      preferredRecord_("Virtual Microphone") {}

std::vector<VirtualAudioBackEnd::Device> VirtualAudioBackEnd::MakeDevices(
    std::vector<VirtualAudioDevice> devices) {
    std::vector<Device> made;
    for (auto& config : devices) {
        made.push_back({std::move(config), std::make_shared<std::atomic<uint64_t>>(0)});
    }
    return made;
}

void VirtualAudioBackEnd::SetOutputDevices(std::vector<VirtualAudioDevice> devices) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_ = MakeDevices(std::move(devices));
}

void VirtualAudioBackEnd::SetInputDevices(std::vector<VirtualAudioDevice> devices) {
    std::lock_guard<std::mutex> lock(mutex_);
    inputs_ = MakeDevices(std::move(devices));
}

void VirtualAudioBackEnd::SetPreferredNames(std::string playback, std::string record) {
    std::lock_guard<std::mutex> lock(mutex_);
    preferredPlayback_ = std::move(playback);
    preferredRecord_ = std::move(record);
}

void VirtualAudioBackEnd::SetSpeed(double factor) {
    std::lock_guard<std::mutex> lock(mutex_);
    speed_ = std::clamp(factor, 0.01, 1000.0);
}

std::vector<VirtualAudioBackEnd::Device>& VirtualAudioBackEnd::DevicesFor(
    AudioDirection direction) {
    return direction == AudioDirection::Playback ? outputs_ : inputs_;
}

uint64_t VirtualAudioBackEnd::FramesPlayed(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return id < outputs_.size() ? outputs_[id].frames->load() : 0;
}

uint64_t VirtualAudioBackEnd::FramesCaptured(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return id < inputs_.size() ? inputs_[id].frames->load() : 0;
}

uint32_t VirtualAudioBackEnd::OutputDeviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(outputs_.size());
}

uint32_t VirtualAudioBackEnd::InputDeviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(inputs_.size());
}

bool VirtualAudioBackEnd::OutputDeviceName(uint32_t id, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id >= outputs_.size() || !outputs_[id].config.capabilitiesReadable) {
        return false;
    }
    *name = outputs_[id].config.name.substr(0, kAudioProductNameMax);
    return true;
}

bool VirtualAudioBackEnd::InputDeviceName(uint32_t id, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id >= inputs_.size() || !inputs_[id].config.capabilitiesReadable) {
        return false;
    }
    *name = inputs_[id].config.name.substr(0, kAudioProductNameMax);
    return true;
}

std::string VirtualAudioBackEnd::PreferredPlaybackName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return preferredPlayback_;
}

std::string VirtualAudioBackEnd::PreferredRecordName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return preferredRecord_;
}

int VirtualAudioBackEnd::Open(AudioDirection direction, uint32_t deviceId, AudioCallback callback,
                              void* context, std::unique_ptr<AudioStream>* stream) {
    if (stream == nullptr) {
        return kAudioInvalidParam;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Device>& devices = DevicesFor(direction);
    if (deviceId >= devices.size()) {
        return kAudioBadDeviceId;
    }
    const Device& device = devices[deviceId];
    if (!device.config.openable) {
        return kAudioAllocated;
    }
    std::unique_ptr<AudioEndpoint> endpoint;
    if (direction == AudioDirection::Playback) {
        auto playback = std::make_unique<VirtualPlaybackEndpoint>(speed_, device.frames);
        if (!playback->OpenFile(device.config.wavPath)) {
            return kAudioError;
        }
        endpoint = std::move(playback);
    } else {
        auto capture =
            std::make_unique<VirtualCaptureEndpoint>(speed_, device.config.loop, device.frames);
        if (!capture->OpenFile(device.config.wavPath)) {
            return kAudioError;
        }
        endpoint = std::move(capture);
    }
    *stream =
        std::make_unique<AudioStreamEngine>(direction, std::move(endpoint), callback, context);
    return kAudioOk;
}

}  // namespace platform
