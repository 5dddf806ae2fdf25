#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/UDPReceiveThread.h"
#include "media/rtp.h"
#include "platform/Audio.h"
#include "platform/DynamicLibrary.h"

// The speaker side of a call: owns the call's receive thread and plays what it decodes. One
// 10 ms buffer goes round: the stream hands it back on its own thread right after its
// period, it is refilled with the next slot from the playout buffer (concealment or silence
// where nothing came) and queued again at the volume of the main window's control before the
// stream takes its next period. The device holds no more than its own periods: the playout
// buffer, not the device, absorbs the network's jitter.
//
// Close stops the device first, then stops and joins the receive thread, so the session may
// be closed as soon as Close (or the destructor) has returned.
class CDeviceSP {
public:
    static constexpr int kBufferCount = 1;
    static constexpr int kBufferFrames = 1;  // 10 ms frames
    static constexpr int kBufferBytes = kBufferFrames * CodecBinding::kPcmFrameBytes;
    static constexpr int kDefaultVolumeMaximum = 25;
    static constexpr int kDefaultVolumePosition = 13;

    // Creates the receive thread, suspended, with the decoder of codecLibrary.
    CDeviceSP(platform::LibraryHandle codecLibrary, int payloadType, rtp_session* session);
    ~CDeviceSP();

    CDeviceSP(const CDeviceSP&) = delete;
    CDeviceSP& operator=(const CDeviceSP&) = delete;

    // Opens the playback device, primes its buffers and starts the receive thread (also when
    // the device did not open: the call then runs without sound). 0 or the audio layer's
    // error code.
    int Open();
    void Close();

    // The playback completion; context is the CDeviceSP. Real-time: takes audio under the
    // playout buffer's lock, nothing else blocks.
    static void WaveOutProc(void* context, platform::AudioBufferHeader* header);

    // The device value for a volume control: position x 65535 / maximum on both channels.
    static uint32_t VolumeValue(int maximum, int position);

    void SetDeviceId(uint32_t deviceId) { deviceId_ = deviceId; }
    uint32_t DeviceId() const { return deviceId_; }
    // The main window's volume control; may be written from any thread at any time.
    void SetVolume(int maximum, int position);
    int VolumeMaximum() const { return volumeMaximum_.load(); }
    int VolumePosition() const { return volumePosition_.load(); }

    CUDPReceiveThread* ReceiveThread() { return receiveThread_.get(); }
    bool IsOpen() const { return device_ != nullptr; }
    uint64_t DeviceUnderruns() const { return device_ ? device_->Underruns() : 0; }

private:
    void Refill(platform::AudioBufferHeader* header);

    std::unique_ptr<platform::AudioStream> device_;
    std::unique_ptr<CUDPReceiveThread> receiveThread_;
    platform::AudioBufferHeader headers_[kBufferCount];
    std::unique_ptr<char[]> audio_;
    uint32_t deviceId_ = 0;
    std::atomic<bool> closing_{false};
    std::atomic<int> volumeMaximum_{kDefaultVolumeMaximum};
    std::atomic<int> volumePosition_{kDefaultVolumePosition};
};
