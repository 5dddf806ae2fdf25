#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/CodecBinding.h"
#include "media/rtp.h"
#include "platform/Audio.h"
#include "platform/DynamicLibrary.h"

// The microphone side of a call: records 100 ms buffers of 8 kHz 16-bit mono PCM, encodes each
// returned buffer into ten G.729a frames and sends them as five RTP packets of two frames
// through the call's session. All the work happens in the capture completion (WaveInProc).
//
// The session must stay open for as long as the object exists.
class CDeviceMC {
public:
    static constexpr int kBufferCount = 10;
    static constexpr int kMaxBufferBytes = 1600;
    static constexpr int kAudioBytes = 16000;
    static constexpr int kPacketCapacity = 40;
    static constexpr int kFramesPerPacket = 2;
    static constexpr int kPacketPayloadBytes = kFramesPerPacket * CodecBinding::kFrameBytes;
    static constexpr int kPcmBytesPerPacket = kFramesPerPacket * CodecBinding::kPcmFrameBytes;
    static constexpr uint32_t kTimestampStep = 160;

    // Binds and resets the encoder of codecLibrary. bufferBytes is limited to 1600 and to
    // whole packets (320 bytes each).
    CDeviceMC(platform::LibraryHandle codecLibrary, int payloadType, int bufferBytes,
              rtp_session* session);
    ~CDeviceMC();

    CDeviceMC(const CDeviceMC&) = delete;
    CDeviceMC& operator=(const CDeviceMC&) = delete;

    // Opens the capture device and starts recording; 0 or the audio layer's error code.
    int Open();
    // Stops and releases the device; nothing when none is open.
    void Close();

    // The capture completion; context is the CDeviceMC. Real-time: encodes and sends only.
    static void WaveInProc(void* context, platform::AudioBufferHeader* header);

    // A sound server can take hundreds of milliseconds to deliver its first buffer, and a
    // microphone may not open at all: until the first buffer has come, the owner calls this
    // every 20 ms so that the far end hears (encoded) silence from the answer on, and NATs
    // on the way see the stream. Nothing once the microphone delivers.
    void SendSilenceUntilDelivered();
    bool Delivered() const { return delivered_.load(); }

    // The capture device id chosen by the device selection.
    void SetDeviceId(uint32_t deviceId) { deviceId_ = deviceId; }
    uint32_t DeviceId() const { return deviceId_; }
    // While muted, silence is encoded and sent instead of the microphone, so the peer's
    // stream goes on without a gap.
    void SetMute(bool mute) { mute_.store(mute); }
    bool Mute() const { return mute_.load(); }
    int BufferBytes() const { return bufferBytes_; }
    bool IsOpen() const { return device_ != nullptr; }

private:
    void EncodeAndSend(const char* pcm, uint32_t length);
    void SendPacket(const unsigned char* payload);

    std::unique_ptr<platform::AudioStream> device_;
    rtp_session* session_;
    platform::AudioBufferHeader headers_[kBufferCount];
    alignas(int16_t) char audio_[kAudioBytes];
    uint32_t deviceId_ = 0;
    int bufferBytes_;
    int payloadType_;
    uint32_t timestamp_ = 0;
    std::atomic<bool> closing_{false};
    std::atomic<bool> mute_{false};
    std::atomic<bool> delivered_{false};
    std::atomic<bool> sentAny_{false};
    // The owner's silence and the first buffer must not share a timestamp.
    std::mutex sendMutex_;
    CodecBinding codec_;
};
