#include "media/UDPReceiveThread.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Audio.h"
#include "platform/Clock.h"

namespace {

constexpr int kG729PayloadType = 18;

// The local clock in the RTP clock's 8 kHz units, for arrivals and playout alike.
uint32_t LocalTicks() {
    return platform::TickCountMs() * static_cast<uint32_t>(platform::kAudioSampleRate / 1000);
}

// A decoded frame whose loudest sample stays under this (about -40 dB of full scale) is a
// pause in the far end's speech.
constexpr int kQuietPeak = 320;

bool IsQuiet(const short* pcm) {
    return std::all_of(pcm, pcm + CodecBinding::kFrameSamples,
                       [](short sample) { return sample > -kQuietPeak && sample < kQuietPeak; });
}

}  // namespace

CUDPReceiveThread::CUDPReceiveThread(platform::LibraryHandle codecLibrary, int payloadType,
                                     rtp_session* session)
    : session_(session), codec_(codecLibrary) {
    payloadType_ = payloadType;
    codec_.InitDecoder();
    // Other payload types have no frame size: their packets decode to nothing.
    frameSize_ = payloadType == kG729PayloadType ? CodecBinding::kFrameBytes : 0;
}

CUDPReceiveThread::~CUDPReceiveThread() {
    // Execute uses the members and the session: it must end before either goes away.
    TerminateAndWait();
}

void CUDPReceiveThread::WakeUp() {
    if (session_ != nullptr && session_->sock) {
        session_->sock->Wake();
    }
}

void CUDPReceiveThread::Execute() {
    while (!Terminated()) {
        if (session_ == nullptr || !session_->sock) {
            SleepUnlessTerminated(kWaitMs);
            continue;
        }
        const platform::UdpSocket::WaitResult ready = session_->sock->WaitReadable(kWaitMs);
        if (ready == platform::UdpSocket::WaitResult::Error) {
            // A broken socket answers at once: wait out the period instead of spinning.
            SleepUnlessTerminated(kWaitMs);
            continue;
        }
        if (ready != platform::UdpSocket::WaitResult::Readable) {
            continue;
        }
        if (ReceiveOne()) {
            datagramsReceived_.fetch_add(1);
        }
    }
}

// False when nothing could be received.
bool CUDPReceiveThread::ReceiveOne() {
    std::memset(receiveBuffer_, 0, sizeof(receiveBuffer_));
    const long received =
        session_->sock->ReceiveFrom(receiveBuffer_, sizeof(receiveBuffer_), &source_);
    if (received < 0) {
        return false;
    }
    // A datagram longer than the buffer arrives cut: not worth parsing.
    if (received > kReceiveBufferBytes || !FromPeer(source_)) {
        return true;
    }
    rtp_packet packet{};
    if (rtp_packet_init(&packet, kPacketCapacity) != 0) {
        return true;
    }
    const uint32_t arrival = LocalTicks();
    // Another payload type still counts for its source's sequence, but is not played.
    const bool parsed =
        rtp_parse(session_, &packet, receiveBuffer_, static_cast<int>(received)) > 0;
    if (parsed && CarriesOurPayload(packet)) {
        if (ShouldPlay()) {
            PutEarlyPackets();
            PutPacket(session_->last_ts, packet.data, packet.len, arrival);
        }
    } else if (!parsed && session_->error.load() == RTP_ESEQ && InProbation() &&
               CarriesOurPayload(packet)) {
        KeepEarlyPacket(packet, arrival);
    }
    rtp_packet_free(&packet);
    return true;
}

// Comfort noise, telephone events or any other payload on the call's source is not the
// call's codec: decoding it would play noise.
bool CUDPReceiveThread::CarriesOurPayload(const rtp_packet& packet) const {
    return packet.buf != nullptr && (packet.buf[1] & 0x7F) == payloadType_;
}

bool CUDPReceiveThread::InProbation() {
    const rtp_source* source = srcs_find(&session_->srcs, session_->last_ssrc);
    return source != nullptr && source->probation != 0;
}

// A new source's packets wait for it to be validated (RFC 3550 A.1); with reordering that
// can take a few. They are kept, and played once the source is, instead of being lost.
void CUDPReceiveThread::KeepEarlyPacket(const rtp_packet& packet, uint32_t arrival) {
    if (earlyCount_ >= kEarlyPackets || packet.len <= 0 || packet.len > kPacketCapacity) {
        return;
    }
    EarlyPacket& early = early_[earlyCount_++];
    early.ssrc = session_->last_ssrc;
    early.timestamp = session_->last_ts;
    early.arrival = arrival;
    early.length = packet.len;
    std::memcpy(early.payload, packet.data, static_cast<size_t>(packet.len));
}

void CUDPReceiveThread::PutEarlyPackets() {
    if (earlyCount_ == 0 || InProbation()) {
        return;
    }
    for (int i = 0; i < earlyCount_; ++i) {
        if (early_[i].ssrc == acceptedSsrc_) {
            PutPacket(early_[i].timestamp, early_[i].payload, early_[i].length, early_[i].arrival);
        }
    }
    earlyCount_ = 0;
}

void CUDPReceiveThread::PutPacket(uint32_t timestamp, const unsigned char* payload, int length,
                                  uint32_t arrival) {
    if (frameSize_ <= 0 || !codec_.DecoderBound()) {
        return;
    }
    {
        std::lock_guard<TCriticalSection> guard(lock_);
        playout_.Put(timestamp, payload, length / frameSize_, arrival);
    }
    packetsAccepted_.fetch_add(1);
}

bool CUDPReceiveThread::FromPeer(const platform::Ipv4Endpoint& source) const {
    return source.address == session_->remote.address && source.port == session_->remote.port;
}

bool CUDPReceiveThread::ShouldPlay() {
    if (!firstAccepted_) {
        firstAccepted_ = true;
        acceptedSsrc_ = session_->last_ssrc;
    }
    return session_->last_ssrc == acceptedSsrc_;
}

int CUDPReceiveThread::DecodeFrames(const unsigned char* frames, short* pcm, int length) {
    if (frameSize_ <= 0 || !codec_.DecoderBound() || frames == nullptr || pcm == nullptr ||
        length <= 0) {
        return 0;
    }
    const int maxFrames = kDecodeAreaBytes / CodecBinding::kPcmFrameBytes;
    const int count = std::min(length / frameSize_, maxFrames);
    for (int i = 0; i < count; ++i) {
        codec_.Decode(frames + frameSize_ * i, pcm + CodecBinding::kFrameSamples * i);
    }
    return CodecBinding::kPcmFrameBytes * count;
}

int CUDPReceiveThread::AccessBuffer(bool write, void* data, int length) {
    if (data == nullptr || length <= 0 || frameSize_ <= 0 || !codec_.DecoderBound()) {
        return 0;
    }
    std::lock_guard<TCriticalSection> guard(lock_);
    if (write) {
        const int frames =
            std::min(length / frameSize_, kDecodeAreaBytes / CodecBinding::kPcmFrameBytes);
        return playout_.Append(static_cast<const unsigned char*>(data), frames) *
               CodecBinding::kPcmFrameBytes;
    }
    // The caller's bytes need not be aligned for samples: each frame is decoded aside.
    auto* out = static_cast<unsigned char*>(data);
    const int room = length / CodecBinding::kPcmFrameBytes;
    int taken = 0;
    unsigned char frame[PlayoutBuffer::kFrameBytes];
    short samples[CodecBinding::kFrameSamples];
    for (; taken < room; ++taken) {
        const PlayoutBuffer::Slot slot = playout_.NextHeld(frame);
        if (slot == PlayoutBuffer::Slot::Silence) {
            break;
        }
        DecodeSlot(slot, frame, samples);
        std::memcpy(out + taken * CodecBinding::kPcmFrameBytes, samples, sizeof(samples));
    }
    return taken * CodecBinding::kPcmFrameBytes;
}

void CUDPReceiveThread::Play(short* pcm, int frames) {
    if (pcm == nullptr || frames <= 0) {
        return;
    }
    const uint32_t now = LocalTicks();
    std::lock_guard<TCriticalSection> guard(lock_);
    unsigned char frame[PlayoutBuffer::kFrameBytes];
    for (int i = 0; i < frames; ++i) {
        const PlayoutBuffer::Slot slot = frameSize_ > 0 && codec_.DecoderBound()
                                             ? playout_.Next(now, frame)
                                             : PlayoutBuffer::Slot::Silence;
        DecodeSlot(slot, frame, pcm + i * CodecBinding::kFrameSamples);
        playout_.HeardQuiet(slot == PlayoutBuffer::Slot::Silence ||
                            IsQuiet(pcm + i * CodecBinding::kFrameSamples));
    }
}

void CUDPReceiveThread::DecodeSlot(PlayoutBuffer::Slot slot, const unsigned char* frame,
                                   short* pcm) {
    switch (slot) {
        case PlayoutBuffer::Slot::Frame:
            codec_.Decode(frame, pcm);
            break;
        case PlayoutBuffer::Slot::Concealed:
            codec_.Conceal(pcm);
            break;
        case PlayoutBuffer::Slot::Silence:
            std::fill(pcm, pcm + CodecBinding::kFrameSamples, short{0});
            break;
    }
}

int CUDPReceiveThread::Held() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return playout_.Held() * CodecBinding::kPcmFrameBytes;
}

int CUDPReceiveThread::PlayoutDelayMs() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return playout_.TargetDelayFrames() * 10;
}

PlayoutBuffer::Counters CUDPReceiveThread::PlayoutStats() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return playout_.Stats();
}
