#pragma once

#include <atomic>
#include <cstdint>

#include "media/CodecBinding.h"
#include "media/rtp.h"
#include "platform/DynamicLibrary.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"

// The incoming half of a call's voice: waits on the session's socket, keeps the packets of
// the peer's first SSRC with rising sequence numbers, decodes their G.729a frames and
// appends the PCM to a two-second playout ring that the playback device drains through
// AccessBuffer.
//
// Created suspended; the owner starts it with Resume, and stops it with Terminate (which
// wakes the socket wait) and WaitFor before the session is closed. The destructor does
// both, so the session must outlive the object.
class CUDPReceiveThread : public TThread {
public:
    static constexpr int kCapacity = 32000;        // 2 s of 8 kHz 16-bit mono
    static constexpr int kDecodeAreaBytes = 8000;  // 50 frames of PCM
    static constexpr int kReceiveBufferBytes = 1000;
    static constexpr int kPacketCapacity = 40;
    static constexpr int kWaitMs = 500;
    static constexpr int kSequenceResetMark = 65500;

    // Binds and resets the decoder of codecLibrary (may be nullptr: nothing is decoded).
    // Payload type 18 (G.729) has 10-byte frames; any other type decodes nothing.
    CUDPReceiveThread(platform::LibraryHandle codecLibrary, int payloadType, rtp_session* session);
    ~CUDPReceiveThread() override;

    // write true: decodes the payload (data, length) and puts the PCM in, as far as it fits.
    // write false: takes up to length bytes of PCM out into data.
    // Returns the PCM bytes put in or taken out. Safe from any thread.
    int AccessBuffer(bool write, void* data, int length);
    // Decodes length / 10 frames (at most 50) into pcm; returns the PCM byte count.
    int DecodeFrames(const unsigned char* frames, short* pcm, int length);

    // Bytes of PCM waiting in the playout ring.
    int Held();
    // Datagrams taken off the socket so far, played or not (for observers and tests); each
    // is counted once it has been dealt with, so the ring already shows its audio.
    uint32_t DatagramsReceived() const { return datagramsReceived_.load(); }

protected:
    void Execute() override;
    void WakeUp() override;

private:
    bool ReceiveOne();
    bool FromPeer(const platform::Ipv4Endpoint& source) const;
    bool ShouldPlay();
    int HeldLocked() const;
    int PutLocked(const unsigned char* payload, int length);
    int TakeLocked(unsigned char* data, int length);

    int capacity_ = kCapacity;
    int readPosition_ = 0;
    int writePosition_ = 0;
    bool full_ = false;
    TCriticalSection lock_;
    unsigned char playout_[kCapacity] = {};
    short decodeArea_[kDecodeAreaBytes / 2] = {};
    int frameSize_ = 0;
    unsigned char receiveBuffer_[kReceiveBufferBytes] = {};
    platform::Ipv4Endpoint source_;
    rtp_session* session_;
    uint32_t acceptedSsrc_ = 0;
    uint32_t lastSequence_ = 0;
    bool firstAccepted_ = false;
    CodecBinding codec_;
    std::atomic<uint32_t> datagramsReceived_{0};
};
