#include "platform/AudioPortAudio.h"

#include <malloc.h>

#include "platform/AudioStreamEngine.h"

namespace platform {

class PortAudioEndpoint final : public AudioEndpoint {
public:
    PortAudioEndpoint(AudioDirection direction, PaStream* stream, const PortAudioLibrary& pa,
                      PortAudioBackEnd* backEnd)
        : direction_(direction), stream_(stream), pa_(pa), backEnd_(backEnd) {}
    ~PortAudioEndpoint() override {
        pa_.CloseStream(stream_);
        backEnd_->ReleaseStream();
    }

    bool Begin() override { return pa_.StartStream(stream_) == paNoError; }
    bool Transfer(int16_t* samples, size_t frames) override {
        const PaError result = direction_ == AudioDirection::Playback
                                   ? pa_.WriteStream(stream_, samples, frames)
                                   : pa_.ReadStream(stream_, samples, frames);
        underruns_ += result == paOutputUnderflowed ? 1 : 0;
        // A late period is heard as a click; the stream itself goes on.
        return result == paNoError || result == paOutputUnderflowed || result == paInputOverflowed;
    }
    // Abort rather than drain: a stopped call or ring must go quiet at once.
    void End() override { pa_.AbortStream(stream_); }
    // Read on the stream's own thread only.
    uint64_t Underruns() const override { return underruns_; }
    // Every call into the stream goes through the sound server's client library, its lock
    // and, often, its thread: a whole voice packet's worth at a time halves those hand-overs.
    size_t PeriodsPerTransfer() const override { return kAudioMaxPeriods; }

private:
    const AudioDirection direction_;
    PaStream* const stream_;
    const PortAudioLibrary& pa_;
    PortAudioBackEnd* const backEnd_;
    uint64_t underruns_ = 0;
};

namespace {

int OpenPortAudioStream(const PortAudioLibrary& pa, AudioDirection direction, int deviceIndex,
                        PaStream** stream) {
    const PaDeviceInfo* info = pa.GetDeviceInfo(deviceIndex);
    if (info == nullptr) {
        return kAudioBadDeviceId;
    }
    PaStreamParameters parameters{};
    parameters.device = deviceIndex;
    parameters.channelCount = 1;
    parameters.sampleFormat = paInt16;
    parameters.suggestedLatency = direction == AudioDirection::Playback
                                      ? info->defaultLowOutputLatency
                                      : info->defaultLowInputLatency;
    const bool playback = direction == AudioDirection::Playback;
    // The device moves 20 ms at a time, a voice packet's worth, as the stream hands it over.
    // Waking the sound server 100 times a second per direction cost more of the call's CPU
    // than the codec.
    const unsigned long framesPerBuffer = kAudioMaxPeriods * kAudioPeriodFrames;
    const PaError result =
        pa.OpenStream(stream, playback ? nullptr : &parameters, playback ? &parameters : nullptr,
                      kAudioSampleRate, framesPerBuffer, paClipOff, nullptr, nullptr);
    if (result == paDeviceUnavailable) {
        return kAudioAllocated;
    }
    return result == paNoError ? kAudioOk : kAudioError;
}

}  // namespace

PortAudioBackEnd::PortAudioBackEnd(bool soundServerDirect)
    : direct_(soundServerDirect ? std::make_unique<PulseAudioDirect>() : nullptr) {}

PortAudioBackEnd::~PortAudioBackEnd() {
    if (running_) {
        pa_.Terminate();
    }
}

std::string PortAudioBackEnd::ProductName(const std::string& deviceName) {
    const size_t colon = deviceName.find(": ");
    const std::string card = colon == std::string::npos ? deviceName : deviceName.substr(0, colon);
    return card.substr(0, kAudioProductNameMax);
}

bool PortAudioBackEnd::EnsureListed() {
    if (listed_) {
        return available_;
    }
    listed_ = true;
    if (!StartLocked()) {
        return false;
    }
    available_ = true;
    const int count = pa_.GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = pa_.GetDeviceInfo(i);
        if (info == nullptr || info->name == nullptr) {
            continue;
        }
        const Device device{i, ProductName(info->name), info->name};
        if (info->maxOutputChannels > 0) {
            outputs_.push_back(device);
        }
        if (info->maxInputChannels > 0) {
            inputs_.push_back(device);
        }
    }
    defaultOutput_ = pa_.GetDefaultOutputDevice();
    defaultInput_ = pa_.GetDefaultInputDevice();
    StopIfUnusedLocked();
    return true;
}

bool PortAudioBackEnd::StartLocked() {
    if (!running_) {
        running_ = pa_.Load() && pa_.Initialize() == paNoError;
        if (!running_) {
            pa_.Unload();
        }
    }
    return running_;
}

void PortAudioBackEnd::StopIfUnusedLocked() {
    if (running_ && openStreams_ == 0) {
        pa_.Terminate();
        pa_.Unload();
        running_ = false;
        // Listing the devices parses ALSA's whole configuration: give the freed heap back.
        malloc_trim(0);
    }
}

void PortAudioBackEnd::ReleaseStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    --openStreams_;
    StopIfUnusedLocked();
}

// A restarted PortAudio lists the devices afresh: the same device may have another index, or
// be gone.
int PortAudioBackEnd::CurrentIndexLocked(const Device& device, AudioDirection direction) const {
    const bool playback = direction == AudioDirection::Playback;
    const int count = pa_.GetDeviceCount();
    for (int offset = 0; offset < count; ++offset) {
        const int i = (device.index + offset) % count;
        const PaDeviceInfo* info = pa_.GetDeviceInfo(i);
        const bool usable =
            info != nullptr && (playback ? info->maxOutputChannels : info->maxInputChannels) > 0;
        if (usable && info->name != nullptr && device.fullName == info->name) {
            return i;
        }
    }
    return -1;
}

uint32_t PortAudioBackEnd::OutputDeviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    EnsureListed();
    return static_cast<uint32_t>(outputs_.size());
}

uint32_t PortAudioBackEnd::InputDeviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    EnsureListed();
    return static_cast<uint32_t>(inputs_.size());
}

bool PortAudioBackEnd::OutputDeviceName(uint32_t id, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!EnsureListed() || id >= outputs_.size()) {
        return false;
    }
    *name = outputs_[id].name;
    return true;
}

bool PortAudioBackEnd::InputDeviceName(uint32_t id, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!EnsureListed() || id >= inputs_.size()) {
        return false;
    }
    *name = inputs_[id].name;
    return true;
}

std::string PortAudioBackEnd::PreferredName(int defaultIndex, const std::vector<Device>& devices) {
    for (const Device& device : devices) {
        if (device.index == defaultIndex) {
            return device.name;
        }
    }
    return {};
}

std::string PortAudioBackEnd::PreferredPlaybackName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return EnsureListed() ? PreferredName(defaultOutput_, outputs_) : std::string();
}

std::string PortAudioBackEnd::PreferredRecordName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return EnsureListed() ? PreferredName(defaultInput_, inputs_) : std::string();
}

int PortAudioBackEnd::Open(AudioDirection direction, uint32_t deviceId, AudioCallback callback,
                           void* context, std::unique_ptr<AudioStream>* stream) {
    if (stream == nullptr) {
        return kAudioInvalidParam;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!EnsureListed()) {
        return kAudioError;
    }
    const std::vector<Device>& devices = direction == AudioDirection::Playback ? outputs_ : inputs_;
    if (deviceId >= devices.size()) {
        return kAudioBadDeviceId;
    }
    const std::string& name = devices[deviceId].fullName;
    if (direct_ != nullptr && (name == "pulse" || name == "default")) {
        if (std::unique_ptr<AudioEndpoint> endpoint = direct_->Open(direction)) {
            *stream = std::make_unique<AudioStreamEngine>(direction, std::move(endpoint), callback,
                                                          context);
            return kAudioOk;
        }
    }
    if (!StartLocked()) {
        return kAudioError;
    }
    const int index = CurrentIndexLocked(devices[deviceId], direction);
    PaStream* paStream = nullptr;
    const int result =
        index < 0 ? kAudioBadDeviceId : OpenPortAudioStream(pa_, direction, index, &paStream);
    if (result != kAudioOk) {
        StopIfUnusedLocked();
        return result;
    }
    ++openStreams_;
    *stream = std::make_unique<AudioStreamEngine>(
        direction, std::make_unique<PortAudioEndpoint>(direction, paStream, pa_, this), callback,
        context);
    return kAudioOk;
}

}  // namespace platform
