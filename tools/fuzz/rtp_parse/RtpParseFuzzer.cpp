#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "media/UDPReceiveThread.h"
#include "media/rtp.h"
#include "platform/DynamicLibrary.h"

// Every datagram the peer (or anyone spoofing its address) sends to the RTP port goes through
// rtp_parse and, when accepted, into the playout ring. The input is taken the way the receive
// thread takes a datagram: at most kReceiveBufferBytes, parsed into a packet of
// kPacketCapacity payload bytes. It is parsed twice in one session, the second time with the
// next sequence number, so a new source passes probation and its payload is decoded.

namespace {

platform::LibraryHandle Codec() {
    static const platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    return library;
}

// The bytes are copied into a buffer of exactly their size so any read past them is caught.
struct Accepted {
    bool ok;
    std::vector<uint8_t> payload;
};

Accepted ParseOnce(rtp_session* rtp, const std::vector<uint8_t>& datagram) {
    rtp_packet packet{};
    if (rtp_packet_init(&packet, CUDPReceiveThread::kPacketCapacity) != 0) {
        __builtin_trap();
    }
    const int length = static_cast<int>(datagram.size());
    const int result = rtp_parse(rtp, &packet, datagram.data(), length);
    Accepted accepted{result > 0, {}};
    if (accepted.ok) {
        // What an accepted packet claims must lie inside both the datagram and the buffer.
        const long offset = packet.data - packet.buf;
        if (result != length || offset < RTP_HEADER_SIZE || packet.len < 0 ||
            offset + packet.len > length || static_cast<uint32_t>(length) > packet.size) {
            __builtin_trap();
        }
        accepted.payload.assign(packet.data, packet.data + packet.len);
    } else if (rtp->error == RTP_OK) {
        __builtin_trap();  // a refusal must say why
    }
    rtp_packet_free(&packet);
    return accepted;
}

void Play(CUDPReceiveThread& receiver, std::vector<uint8_t>& payload) {
    const int put = receiver.AccessBuffer(true, payload.data(), static_cast<int>(payload.size()));
    if (put < 0 || put > CUDPReceiveThread::kCapacity ||
        receiver.Held() > CUDPReceiveThread::kCapacity) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(CUDPReceiveThread::kReceiveBufferBytes)) {
        return 0;  // the receive thread drops a datagram it could not take whole
    }
    std::vector<uint8_t> datagram(data, data + size);
    auto* rtp = new rtp_session();
    srcs_init(&rtp->srcs);
    {
        // Never started: only its playout ring is used, as the receive thread would.
        CUDPReceiveThread receiver(Codec(), 18, rtp);
        for (int round = 0; round < 2; ++round) {
            Accepted accepted = ParseOnce(rtp, datagram);
            if (accepted.ok) {
                Play(receiver, accepted.payload);
            }
            if (datagram.size() >= 4) {
                const uint16_t next = static_cast<uint16_t>(((datagram[2] << 8) | datagram[3]) + 1);
                datagram[2] = static_cast<uint8_t>(next >> 8);
                datagram[3] = static_cast<uint8_t>(next);
            }
        }
        std::vector<uint8_t> pcm(CUDPReceiveThread::kCapacity + 1);
        const int taken = receiver.AccessBuffer(false, pcm.data(), static_cast<int>(pcm.size()));
        if (taken < 0 || taken > CUDPReceiveThread::kCapacity || receiver.Held() != 0) {
            __builtin_trap();
        }
    }
    rtp_close(rtp);
    return 0;
}
