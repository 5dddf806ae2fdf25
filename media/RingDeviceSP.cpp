#include "media/RingDeviceSP.h"

#include <cstring>

#include "media/RingTone.h"

CRingDeviceSP::CRingDeviceSP() : audio_(new char[kBufferCount * kBufferBytes]()) {
    for (int i = 0; i < kBufferCount; ++i) {
        headers_[i] = {};
        headers_[i].data = audio_.get() + i * kBufferBytes;
    }
}

CRingDeviceSP::~CRingDeviceSP() {
    Close();
}

int CRingDeviceSP::Open() {
    device_.reset();
    std::memset(audio_.get(), 0, kBufferCount * kBufferBytes);
    std::unique_ptr<platform::AudioStream> device;
    const int result = platform::OpenAudio(platform::AudioDirection::Playback, deviceId_,
                                           &CRingDeviceSP::RingOutProc, this, &device);
    if (result != platform::kAudioOk) {
        return result;
    }
    device->Pause();
    for (auto& header : headers_) {
        header.bufferLength = 0;
        device->Prepare(&header);
        device->Queue(&header);
    }
    device_ = std::move(device);
    return device_->Start();
}

void CRingDeviceSP::Close() {
    if (!device_) {
        return;
    }
    closing_.store(true);
    device_->Reset();
    for (auto& header : headers_) {
        device_->Unprepare(&header);
    }
    device_->Close();
    device_.reset();
}

void CRingDeviceSP::RingOutProc(void* context, platform::AudioBufferHeader* header) {
    auto* self = static_cast<CRingDeviceSP*>(context);
    if (self->closing_.load()) {
        return;
    }
    self->FillSlice(header);
    if (self->device_) {
        self->device_->Queue(header);
    }
}

void CRingDeviceSP::FillSlice(platform::AudioBufferHeader* header) {
    if (position_ >= kCycleBytes) {
        position_ = 0;
    }
    if (position_ < kToneBytes) {
        std::memcpy(header->data,
                    reinterpret_cast<const char*>(RingToneSamples().data()) + position_,
                    kSliceBytes);
    } else {
        std::memset(header->data, 0, kSliceBytes);
    }
    position_ += kSliceBytes;
    header->bufferLength = kSliceBytes;
}
