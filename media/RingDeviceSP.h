#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Audio.h"

// The ring tone: the 0.6 s burst of RingToneSamples then 1.6 s of silence, repeated, fed to the
// playback device in 10 ms slices from its completions. Each new object starts at the burst.
class CRingDeviceSP {
public:
    static constexpr int kBufferCount = 10;
    static constexpr int kBufferBytes = 16000;
    static constexpr int kSliceBytes = 160;
    static constexpr int kToneBytes = 9600;
    static constexpr int kCycleBytes = 35200;

    CRingDeviceSP();
    ~CRingDeviceSP();

    CRingDeviceSP(const CRingDeviceSP&) = delete;
    CRingDeviceSP& operator=(const CRingDeviceSP&) = delete;

    // Opens the device and primes the buffers; 0 or the audio layer's error code.
    int Open();
    void Close();

    // The playback completion; context is the CRingDeviceSP. Real-time: copies one slice.
    static void RingOutProc(void* context, platform::AudioBufferHeader* header);

    void SetDeviceId(uint32_t deviceId) { deviceId_ = deviceId; }
    uint32_t DeviceId() const { return deviceId_; }
    bool IsOpen() const { return device_ != nullptr; }

private:
    void FillSlice(platform::AudioBufferHeader* header);

    std::unique_ptr<platform::AudioStream> device_;
    platform::AudioBufferHeader headers_[kBufferCount];
    std::unique_ptr<char[]> audio_;
    uint32_t deviceId_ = 0;
    std::atomic<bool> closing_{false};
    int position_ = 0;
};
