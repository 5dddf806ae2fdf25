#include "media/DeviceMC.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace {

int WholePacketBytes(int requested) {
    const int limited =
        std::clamp(requested, CDeviceMC::kPcmBytesPerPacket, CDeviceMC::kMaxBufferBytes);
    return limited - limited % CDeviceMC::kPcmBytesPerPacket;
}

}  // namespace

CDeviceMC::CDeviceMC(platform::LibraryHandle codecLibrary, int payloadType, int bufferBytes,
                     rtp_session* session)
    : session_(session),
      audio_{},
      bufferBytes_(WholePacketBytes(bufferBytes)),
      payloadType_(payloadType),
      codec_(codecLibrary) {
    codec_.InitEncoder();
    timestamp_ = platform::TickCountMs();
    for (int i = 0; i < kBufferCount; ++i) {
        headers_[i] = {};
        headers_[i].data = audio_ + i * bufferBytes_;
        headers_[i].bufferLength = static_cast<uint32_t>(bufferBytes_);
    }
}

CDeviceMC::~CDeviceMC() {
    Close();
}

int CDeviceMC::Open() {
    device_.reset();
    closing_.store(false);
    delivered_.store(false);
    std::memset(audio_, 0, sizeof(audio_));
    std::unique_ptr<platform::AudioStream> device;
    const int result = platform::OpenAudio(platform::AudioDirection::Capture, deviceId_,
                                           &CDeviceMC::WaveInProc, this, &device);
    if (result != platform::kAudioOk) {
        return result;
    }
    // Silence sent before the device opened has started the timestamps: they go on from it.
    if (!sentAny_.load()) {
        timestamp_ = platform::TickCountMs();
    }
    for (auto& header : headers_) {
        device->Prepare(&header);
        device->Queue(&header);
    }
    device_ = std::move(device);
    return device_->Start();
}

void CDeviceMC::Close() {
    if (!device_) {
        return;
    }
    // Buffers that come back while the device stops are partly filled or stale: dropped.
    closing_.store(true);
    device_->Stop();
    device_->Reset();
    for (auto& header : headers_) {
        device_->Unprepare(&header);
    }
    device_->Close();
    device_.reset();
}

void CDeviceMC::WaveInProc(void* context, platform::AudioBufferHeader* header) {
    auto* self = static_cast<CDeviceMC*>(context);
    if (self->closing_.load() || header->bytesRecorded < header->bufferLength) {
        return;
    }
    if (!self->delivered_.load()) {
        std::lock_guard<std::mutex> guard(self->sendMutex_);
        self->delivered_.store(true);
    }
    self->EncodeAndSend(header->data, header->bufferLength);
    // A buffer that cannot be queued again drops out of the rotation; the others go on.
    self->device_->Queue(header);
}

void CDeviceMC::SendSilenceUntilDelivered() {
    static const char kSilence[kPcmBytesPerPacket] = {};
    std::lock_guard<std::mutex> guard(sendMutex_);
    if (!delivered_.load()) {
        EncodeAndSend(kSilence, kPcmBytesPerPacket);
    }
}

void CDeviceMC::EncodeAndSend(const char* pcm, uint32_t length) {
    static const short kSilence[CodecBinding::kFrameSamples] = {};
    const bool mute = mute_.load();
    unsigned char staging[kPacketPayloadBytes];
    short samples[CodecBinding::kFrameSamples];
    for (uint32_t offset = 0; offset + kPcmBytesPerPacket <= length; offset += kPcmBytesPerPacket) {
        std::memset(staging, 0, sizeof(staging));
        // The earlier 10 ms goes first in the packet.
        for (int slot = 0; slot < kFramesPerPacket; ++slot) {
            std::memcpy(samples, pcm + offset + slot * CodecBinding::kPcmFrameBytes,
                        sizeof(samples));
            codec_.Encode(mute ? kSilence : samples, staging + slot * CodecBinding::kFrameBytes);
        }
        SendPacket(staging);
    }
}

void CDeviceMC::SendPacket(const unsigned char* payload) {
    rtp_packet packet{};
    if (rtp_packet_init(&packet, kPacketCapacity) != 0) {
        return;
    }
    packet.len = kPacketPayloadBytes;
    rtp_param param{};
    param.ts = timestamp_;
    param.pt = static_cast<uint8_t>(payloadType_ & 0x7F);
    timestamp_ += kTimestampStep;
    sentAny_.store(true);
    rtp_set_header(&packet, &param);
    std::memcpy(packet.data, payload, kPacketPayloadBytes);
    // A failed send is not retried; the next packet goes out as usual.
    rtp_send(session_, &packet);
    rtp_packet_free(&packet);
}
