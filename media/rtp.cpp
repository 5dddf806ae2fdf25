#include "media/rtp.h"

#include <cstring>
#include <new>

#include "platform/Random.h"

namespace {

constexpr uint16_t kFirstSearchPort = 9000;
constexpr uint16_t kSearchPortLimit = 9999;

uint16_t Read16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t Read32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void Write16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void Write32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

bool BindConfiguredPort(rtp_session* rtp, uint16_t port) {
    auto sock = std::make_unique<platform::UdpSocket>();
    if (!sock->IsValid()) {
        return false;
    }
    rtp->local.port = port;
    if (!sock->Bind(port, rtp->local.address)) {
        return false;  // the socket closes as it goes out of scope
    }
    rtp->sock = std::move(sock);
    return true;
}

// RTP on an even port, RTCP on the next: the pair is searched although only the RTP socket
// is kept. The RTCP socket is only there to make sure the pair is free, and is released as
// soon as the search ends, so it can never outlive the session.
bool BindSearchedPortPair(rtp_session* rtp) {
    std::unique_ptr<platform::UdpSocket> rtpSock;
    std::unique_ptr<platform::UdpSocket> rtcpSock;
    for (uint32_t port = kFirstSearchPort; port < kSearchPortLimit; port += 2) {
        if (!rtpSock) {
            rtpSock = std::make_unique<platform::UdpSocket>();
        }
        if (!rtcpSock) {
            rtcpSock = std::make_unique<platform::UdpSocket>();
        }
        if (!rtpSock->IsValid() || !rtcpSock->IsValid()) {
            return false;
        }
        const bool rtpBound = rtpSock->Bind(static_cast<uint16_t>(port), rtp->local.address);
        const bool rtcpBound = rtcpSock->Bind(static_cast<uint16_t>(port + 1), rtp->local.address);
        if (rtpBound && rtcpBound) {
            rtp->local.port = static_cast<uint16_t>(port);
            rtp->sock = std::move(rtpSock);
            return true;
        }
        // A bound socket cannot be bound again: make a fresh one for the next candidate.
        if (rtpBound) {
            rtpSock.reset();
        }
        if (rtcpBound) {
            rtcpSock.reset();
        }
    }
    return false;
}

}  // namespace

bool rtp_open(rtp_session* rtp, uint16_t port, uint32_t ssrc) {
    RTP_ASSERT(rtp, "rtp != NULL");
    if (rtp == nullptr) {
        return false;
    }
    rtp->sock.reset();
    const bool bound = port != 0 ? BindConfiguredPort(rtp, port) : BindSearchedPortPair(rtp);
    if (!bound) {
        return false;
    }
    // The media code never seeds the generator: the process does that once.
    rtp->seq = static_cast<uint16_t>(platform::NextRandom());
    rtp->ssrc = ssrc != 0 ? ssrc : rtp_make_ssrc();
    rtp->error = RTP_OK;
    srcs_init(&rtp->srcs);
    return true;
}

int rtp_connect(rtp_session* rtp, const char* host, uint16_t port) {
    RTP_ASSERT(rtp, "rtp != NULL");
    RTP_ASSERT(host, "host != NULL");
    if (rtp == nullptr) {
        return -1;
    }
    if (host == nullptr) {
        rtp->error = RTP_EINVAL;
        return -1;
    }
    uint32_t address = 0;
    if (rtp_resolve(host, &address) != 0) {
        return -1;  // the error code is deliberately left as it was
    }
    rtp->remote = platform::Ipv4Endpoint{address, port};
    // Connected, the socket sends to the peer with a plain send and the system drops
    // datagrams from anyone else.
    if (!rtp->sock || !rtp->sock->Connect(rtp->remote)) {
        rtp->error = RTP_ECONNECT;
        return -1;
    }
    return 0;
}

int rtp_send(rtp_session* rtp, rtp_packet* pkt) {
    RTP_ASSERT(rtp != nullptr && pkt != nullptr, "rtp != NULL && pkt != NULL");
    if (rtp == nullptr) {
        return -1;
    }
    if (pkt == nullptr || pkt->buf == nullptr) {
        rtp->error = RTP_EINVAL;
        return -1;
    }
    RTP_ASSERT(pkt->data > pkt->buf, "pkt->data > pkt->buf");
    const long headerBytes = pkt->data - pkt->buf;
    const long total = headerBytes + pkt->len;
    if (headerBytes < RTP_HEADER_SIZE || pkt->len < 0 || total > static_cast<long>(pkt->size)) {
        rtp->error = RTP_EINVAL;
        return -1;
    }
    uint16_t seq = Read16(pkt->buf + 2);
    if (seq == 0) {
        seq = static_cast<uint16_t>(rtp->seq + 1);
        Write16(pkt->buf + 2, seq);
    }
    rtp->seq = seq;
    if (Read32(pkt->buf + 8) == 0) {
        Write32(pkt->buf + 8, rtp->ssrc);
    }
    const long sent = rtp->sock ? rtp->sock->Send(pkt->buf, static_cast<size_t>(total)) : -1;
    if (sent < 0) {
        rtp->error = RTP_ESOCKET;
        return -1;
    }
    return static_cast<int>(sent);
}

namespace {

// Length of the fixed header, the CSRC list and any header extension, or -1 when the
// datagram is too short to hold what its first byte announces.
int HeaderLength(const uint8_t* buf, int length) {
    int header = RTP_HEADER_SIZE + 4 * (buf[0] & 0x0F);
    if ((buf[0] & 0x10) != 0) {
        // Skip the extension as RFC 3550 5.3.1 says, so its words are not played as audio.
        if (header + 4 > length) {
            return -1;
        }
        header += 4 + 4 * Read16(buf + header + 2);
    }
    return header <= length ? header : -1;
}

void RememberLastPacket(rtp_session* rtp, const uint8_t* buf) {
    rtp->last_seq = Read16(buf + 2);
    rtp->last_ts = Read32(buf + 4);
    std::memcpy(&rtp->last_ssrc, buf + 8, sizeof(rtp->last_ssrc));
}

// 0 when the source's sequence number is acceptable; a new source's first packet is.
int CheckSource(rtp_session* rtp) {
    rtp_source* src = srcs_find(&rtp->srcs, rtp->last_ssrc);
    if (src == nullptr) {
        src = srcs_add(&rtp->srcs, rtp->last_ssrc);
        // A source the table cannot hold (full, or no memory) cannot be validated: its
        // packets are refused rather than played unchecked.
        if (src == nullptr) {
            return -1;
        }
        init_seq(src, rtp->last_seq);
        return 0;
    }
    return update_seq(src, rtp->last_seq);
}

}  // namespace

int rtp_parse(rtp_session* rtp, rtp_packet* pkt, const void* datagram, int length) {
    RTP_ASSERT(rtp != nullptr && pkt != nullptr, "rtp != NULL && pkt != NULL");
    if (rtp == nullptr) {
        return -1;
    }
    if (pkt == nullptr || pkt->buf == nullptr || datagram == nullptr) {
        rtp->error = RTP_EINVAL;
        return -1;
    }
    // A datagram that cannot hold the fixed header, or that would not fit the packet
    // buffer, is refused rather than read short or copied past the buffer.
    if (length < RTP_HEADER_SIZE || static_cast<uint32_t>(length) > pkt->size) {
        rtp->error = RTP_ESOCKET;
        return -1;
    }
    std::memcpy(pkt->buf, datagram, static_cast<size_t>(length));
    uint8_t* buf = pkt->buf;
    if ((buf[0] >> 6) != 2) {
        rtp->error = RTP_EVERSION;
        return -1;
    }
    const int header = HeaderLength(buf, length);
    if (header < 0) {
        rtp->error = RTP_ESOCKET;
        return -1;
    }
    const int padding = (buf[0] & 0x20) != 0 ? buf[length - 1] : 0;
    if (length - header < padding) {
        rtp->error = RTP_EPADDING;
        return -1;
    }
    pkt->len = length - header - padding;
    pkt->data = buf + header;
    RememberLastPacket(rtp, buf);
    if (CheckSource(rtp) != 0) {
        rtp->error = RTP_ESEQ;
        return -1;
    }
    rtp->error = RTP_OK;
    return length;
}

int rtp_close(rtp_session* rtp) {
    RTP_ASSERT(rtp, "rtp != NULL");
    if (rtp == nullptr) {
        return -1;
    }
    if (rtp->sock) {
        rtp->sock->Close();
        rtp->sock.reset();
    }
    if (rtp->srcs.src != nullptr) {
        srcs_free(&rtp->srcs);
    }
    delete rtp;
    return 0;
}

int rtp_packet_init(rtp_packet* pkt, int capacity) {
    if (pkt == nullptr || capacity < 0) {
        return -1;
    }
    pkt->data = nullptr;
    pkt->len = 0;
    pkt->size = static_cast<uint32_t>(capacity) + RTP_PACKET_OVERHEAD;
    pkt->buf = new (std::nothrow) uint8_t[pkt->size]();
    if (pkt->buf == nullptr) {
        pkt->size = 0;
        return -1;
    }
    pkt->data = pkt->buf + RTP_HEADER_SIZE;
    pkt->buf[0] = 0x80;  // version 2
    return 0;
}

int rtp_packet_free(rtp_packet* pkt) {
    RTP_ASSERT(pkt, "pkt");
    if (pkt == nullptr) {
        return -1;
    }
    delete[] pkt->buf;
    pkt->buf = nullptr;
    pkt->data = nullptr;
    pkt->size = 0;
    return 0;
}

int rtp_set_header(rtp_packet* pkt, const rtp_param* param) {
    RTP_ASSERT(pkt && param, "pkt && param");
    if (pkt == nullptr || param == nullptr || pkt->buf == nullptr) {
        return -1;
    }
    uint8_t* buf = pkt->buf;
    const uint8_t cc = param->cc & 0x0F;
    buf[0] = static_cast<uint8_t>((buf[0] & 0xF0) | cc);
    buf[1] = static_cast<uint8_t>(((param->marker & 0x01) << 7) | (param->pt & 0x7F));
    Write16(buf + 2, param->seq);
    Write32(buf + 4, param->ts);
    Write32(buf + 8, param->ssrc);
    pkt->data = buf + RTP_HEADER_SIZE + 4 * cc;
    return 0;
}
