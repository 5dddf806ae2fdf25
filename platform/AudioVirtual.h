#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Audio.h"

namespace platform {

// A sound device that exists only in the program: capture reads a WAV file (8000 Hz mono
// 16-bit), playback writes one, both paced by the clock at one period per period's duration.
struct VirtualAudioDevice {
    explicit VirtualAudioDevice(std::string deviceName, std::string wavFile = {})
        : name(std::move(deviceName)), wavPath(std::move(wavFile)) {}

    std::string name;
    // Capture: the file to read (empty: silence). Playback: the file to write (empty: nowhere).
    std::string wavPath;
    // Capture: start the file again at its end rather than going on with silence.
    bool loop = true;
    bool capabilitiesReadable = true;
    bool openable = true;
};

// The back end of tests, benchmarks and headless demos. Its device lists and the names it
// reports as preferred are set by its user.
class VirtualAudioBackEnd final : public AudioBackEnd {
public:
    // One output "Virtual Speaker" and one input "Virtual Microphone", both preferred.
    VirtualAudioBackEnd();

    void SetOutputDevices(std::vector<VirtualAudioDevice> devices);
    void SetInputDevices(std::vector<VirtualAudioDevice> devices);
    void SetPreferredNames(std::string playback, std::string record);
    // Runs the devices' clocks this many times faster than real time (tests).
    void SetSpeed(double factor);

    // Frames moved so far by the streams opened on a device.
    uint64_t FramesPlayed(uint32_t id);
    uint64_t FramesCaptured(uint32_t id);

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
        VirtualAudioDevice config;
        std::shared_ptr<std::atomic<uint64_t>> frames;
    };
    static std::vector<Device> MakeDevices(std::vector<VirtualAudioDevice> devices);
    std::vector<Device>& DevicesFor(AudioDirection direction);

    std::mutex mutex_;
    std::vector<Device> outputs_;
    std::vector<Device> inputs_;
    std::string preferredPlayback_;
    std::string preferredRecord_;
    double speed_ = 1.0;
};

}  // namespace platform
