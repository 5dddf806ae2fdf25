#include "media/DeviceSP.h"

#include <algorithm>
#include <cstring>

CDeviceSP::CDeviceSP(platform::LibraryHandle codecLibrary, int payloadType, rtp_session* session)
    : receiveThread_(std::make_unique<CUDPReceiveThread>(codecLibrary, payloadType, session)),
      audio_(new char[kBufferCount * kBufferBytes]()) {
    for (int i = 0; i < kBufferCount; ++i) {
        headers_[i] = {};
        headers_[i].data = audio_.get() + i * kBufferBytes;
    }
}

CDeviceSP::~CDeviceSP() {
    Close();
}

uint32_t CDeviceSP::VolumeValue(int maximum, int position) {
    // A control without a range leaves the sound as it is; a position beyond the range must
    // not spill into the other channel's half.
    if (maximum <= 0) {
        return 0xFFFFFFFFu;
    }
    const uint32_t clamped = static_cast<uint32_t>(std::clamp(position, 0, maximum));
    const uint32_t v = clamped * 65535u / static_cast<uint32_t>(maximum);
    return v | (v << 16);
}

void CDeviceSP::SetVolume(int maximum, int position) {
    volumeMaximum_.store(maximum);
    volumePosition_.store(position);
}

int CDeviceSP::Open() {
    device_.reset();
    closing_.store(false);
    std::memset(audio_.get(), 0, kBufferCount * kBufferBytes);
    std::unique_ptr<platform::AudioStream> device;
    const int result = platform::OpenAudio(platform::AudioDirection::Playback, deviceId_,
                                           &CDeviceSP::WaveOutProc, this, &device);
    if (result == platform::kAudioOk) {
        // Empty buffers come back after one device period, so the first refills follow at once.
        device->Pause();
        for (auto& header : headers_) {
            header.bufferLength = 0;
            device->Prepare(&header);
            device->Queue(&header);
        }
        device_ = std::move(device);
        device_->Start();
    }
    receiveThread_->Resume();
    return result;
}

void CDeviceSP::Close() {
    if (device_) {
        closing_.store(true);
        // Every queued buffer comes back and, because of closing, stays idle.
        device_->Reset();
        for (auto& header : headers_) {
            device_->Unprepare(&header);
        }
        device_->Close();
        device_.reset();
    }
    // The device no longer calls into the receive thread; it must end before the session
    // it reads is closed.
    receiveThread_->TerminateAndWait();
}

void CDeviceSP::WaveOutProc(void* context, platform::AudioBufferHeader* header) {
    auto* self = static_cast<CDeviceSP*>(context);
    if (self->closing_.load()) {
        return;
    }
    self->Refill(header);
}

void CDeviceSP::Refill(platform::AudioBufferHeader* header) {
    receiveThread_->Play(reinterpret_cast<short*>(header->data), kBufferFrames);
    header->bufferLength = kBufferBytes;
    device_->SetVolume(VolumeValue(volumeMaximum_.load(), volumePosition_.load()));
    device_->Queue(header);
}
