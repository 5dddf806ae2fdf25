#include "media/UDPReceiveThread.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr int kG729PayloadType = 18;

}  // namespace

CUDPReceiveThread::CUDPReceiveThread(platform::LibraryHandle codecLibrary, int payloadType,
                                     rtp_session* session)
    : session_(session), codec_(codecLibrary) {
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
    if (rtp_parse(session_, &packet, receiveBuffer_, static_cast<int>(received)) > 0 &&
        ShouldPlay()) {
        AccessBuffer(true, packet.data, packet.len);
    }
    rtp_packet_free(&packet);
    return true;
}

bool CUDPReceiveThread::FromPeer(const platform::Ipv4Endpoint& source) const {
    return source.address == session_->remote.address && source.port == session_->remote.port;
}

bool CUDPReceiveThread::ShouldPlay() {
    if (!firstAccepted_) {
        firstAccepted_ = true;
        acceptedSsrc_ = session_->last_ssrc;
        lastSequence_ = session_->last_seq;
        return true;
    }
    if (session_->last_ssrc != acceptedSsrc_ || lastSequence_ >= session_->last_seq) {
        return false;
    }
    lastSequence_ = session_->last_seq;
    // Near the top of the sequence space the comparison starts over, so that the numbers
    // after the wrap are played again.
    if (lastSequence_ >= static_cast<uint32_t>(kSequenceResetMark)) {
        lastSequence_ = 0;
    }
    return true;
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
    std::lock_guard<TCriticalSection> guard(lock_);
    if (write) {
        return PutLocked(static_cast<const unsigned char*>(data), length);
    }
    return TakeLocked(static_cast<unsigned char*>(data), length);
}

int CUDPReceiveThread::Held() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return HeldLocked();
}

int CUDPReceiveThread::HeldLocked() const {
    if (full_) {
        return capacity_;
    }
    return (writePosition_ - readPosition_ + capacity_) % capacity_;
}

int CUDPReceiveThread::PutLocked(const unsigned char* payload, int length) {
    int n = DecodeFrames(payload, decodeArea_, length);
    const int space = capacity_ - HeldLocked();
    if (n >= space) {
        // What does not fit is dropped; a full ring has read position = write position.
        n = space;
        full_ = true;
    }
    const auto* pcm = reinterpret_cast<const unsigned char*>(decodeArea_);
    const int first = std::min(n, capacity_ - writePosition_);
    std::memcpy(playout_ + writePosition_, pcm, static_cast<size_t>(first));
    std::memcpy(playout_, pcm + first, static_cast<size_t>(n - first));
    writePosition_ = (writePosition_ + n) % capacity_;
    return n;
}

int CUDPReceiveThread::TakeLocked(unsigned char* data, int length) {
    if (data == nullptr || length <= 0) {
        return 0;
    }
    const int n = std::min(length, HeldLocked());
    if (n == 0) {
        return 0;
    }
    const int first = std::min(n, capacity_ - readPosition_);
    std::memcpy(data, playout_ + readPosition_, static_cast<size_t>(first));
    std::memcpy(data + first, playout_, static_cast<size_t>(n - first));
    readPosition_ = (readPosition_ + n) % capacity_;
    full_ = false;
    return n;
}
