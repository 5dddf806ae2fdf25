#pragma once

#include <atomic>
#include <cstdint>

#include "media/CodecBinding.h"
#include "media/PlayoutBuffer.h"
#include "media/rtp.h"
#include "platform/DynamicLibrary.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"

// The incoming half of a call's voice: waits on the session's socket, keeps the packets of
// the peer's first SSRC and puts their G.729a frames into the playout buffer by timestamp;
// the playback device takes them out, decoded, through Play (one call per device buffer),
// lost frames concealed.
//
// Created suspended; the owner starts it with Resume, and stops it with Terminate (which
// wakes the socket wait) and WaitFor before the session is closed. The destructor does
// both, so the session must outlive the object.
class CUDPReceiveThread : public TThread {
public:
    // 2 s of 8 kHz 16-bit mono
    static constexpr int kCapacity = PlayoutBuffer::kSlots * CodecBinding::kPcmFrameBytes;
    static constexpr int kDecodeAreaBytes = 8000;  // 50 frames of PCM
    static constexpr int kReceiveBufferBytes = 1000;
    static constexpr int kPacketCapacity = 40;
    static constexpr int kWaitMs = 500;
    static constexpr int kEarlyPackets = 8;

    // Binds and resets the decoder of codecLibrary (may be nullptr: nothing is decoded).
    // Payload type 18 (G.729) has 10-byte frames; any other type decodes nothing.
    CUDPReceiveThread(platform::LibraryHandle codecLibrary, int payloadType, rtp_session* session);
    ~CUDPReceiveThread() override;

    // write true: puts the frames of the payload (data, length) in after the newest, as far
    // as they fit. write false: takes up to length bytes of decoded PCM out into data, as
    // long as frames are held. Returns the PCM bytes put in or taken out. Safe from any thread.
    int AccessBuffer(bool write, void* data, int length);
    // Fills frames 10 ms frames of pcm for the speaker: received frames decoded, lost ones
    // concealed, silence when nothing is there. Safe from any thread.
    void Play(short* pcm, int frames);
    // Decodes length / 10 frames (at most 50) into pcm; returns the PCM byte count.
    int DecodeFrames(const unsigned char* frames, short* pcm, int length);

    // Bytes of PCM the frames waiting in the playout buffer decode to.
    int Held();
    // The playout buffer's target delay in ms and its counters (for observers and tests).
    int PlayoutDelayMs();
    PlayoutBuffer::Counters PlayoutStats();
    // Datagrams taken off the socket so far, played or not (for observers and tests); each
    // is counted once it has been dealt with, so the ring already shows its audio.
    uint32_t DatagramsReceived() const { return datagramsReceived_.load(); }
    // The peer's voice packets put into the playout buffer so far.
    uint32_t PacketsAccepted() const { return packetsAccepted_.load(); }

protected:
    void Execute() override;
    void WakeUp() override;

private:
    bool ReceiveOne();
    bool FromPeer(const platform::Ipv4Endpoint& source) const;
    bool ShouldPlay();
    bool CarriesOurPayload(const rtp_packet& packet) const;
    bool InProbation();
    void KeepEarlyPacket(const rtp_packet& packet, uint32_t arrival);
    void PutEarlyPackets();
    void PutPacket(uint32_t timestamp, const unsigned char* payload, int length, uint32_t arrival);
    void DecodeSlot(PlayoutBuffer::Slot slot, const unsigned char* frame, short* pcm);

    TCriticalSection lock_;
    PlayoutBuffer playout_;
    int frameSize_ = 0;
    int payloadType_ = 0;
    unsigned char receiveBuffer_[kReceiveBufferBytes] = {};
    platform::Ipv4Endpoint source_;
    rtp_session* session_;
    uint32_t acceptedSsrc_ = 0;
    bool firstAccepted_ = false;
    struct EarlyPacket {
        uint32_t ssrc = 0;
        uint32_t timestamp = 0;
        uint32_t arrival = 0;
        int length = 0;
        unsigned char payload[kPacketCapacity] = {};
    };
    EarlyPacket early_[kEarlyPackets];
    int earlyCount_ = 0;
    CodecBinding codec_;
    std::atomic<uint32_t> datagramsReceived_{0};
    std::atomic<uint32_t> packetsAccepted_{0};
};
