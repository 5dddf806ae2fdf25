#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Audio.h"
#include "platform/AudioPulse.h"
#include "platform/PortAudioLibrary.h"

namespace platform {

// The sound system's devices through PortAudio (ALSA here). A device's product name is the
// card name in front of ": " in PortAudio's device name ("USB Audio Device: - (hw:1,0)"); the
// preferred devices are PortAudio's default input and output. The device lists are read once,
// on first use. PortAudio runs only while a stream is open: started, it holds every ALSA
// plugin the configuration names (with their codec libraries, megabytes of them) loaded.
// The devices "pulse" and "default" are opened straight on the PulseAudio server when one
// answers (soundServerDirect), PortAudio's own streams otherwise.
class PortAudioBackEnd final : public AudioBackEnd {
public:
    explicit PortAudioBackEnd(bool soundServerDirect = true);
    ~PortAudioBackEnd() override;

    // The product name a PortAudio device name stands for.
    static std::string ProductName(const std::string& deviceName);

    uint32_t OutputDeviceCount() override;
    uint32_t InputDeviceCount() override;
    bool OutputDeviceName(uint32_t id, std::string* name) override;
    bool InputDeviceName(uint32_t id, std::string* name) override;
    std::string PreferredPlaybackName() override;
    std::string PreferredRecordName() override;
    int Open(AudioDirection direction, uint32_t deviceId, AudioCallback callback, void* context,
             std::unique_ptr<AudioStream>* stream) override;

private:
    struct Device {
        int index;  // PortAudio's device index when the lists were read
        std::string name;
        std::string fullName;  // PortAudio's own, to find the device again after a restart
    };
    friend class PortAudioEndpoint;

    bool EnsureListed();
    std::string PreferredName(int defaultIndex, const std::vector<Device>& devices);
    bool StartLocked();
    void StopIfUnusedLocked();
    int CurrentIndexLocked(const Device& device, AudioDirection direction) const;
    void ReleaseStream();

    PortAudioLibrary pa_;
    std::unique_ptr<PulseAudioDirect> direct_;
    std::mutex mutex_;
    bool listed_ = false;
    bool available_ = false;
    bool running_ = false;
    int openStreams_ = 0;
    std::vector<Device> outputs_;
    std::vector<Device> inputs_;
    int defaultOutput_ = -1;
    int defaultInput_ = -1;
};

}  // namespace platform
