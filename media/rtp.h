#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/rtp_helper.h"
#include "platform/UdpSocket.h"

// One RTP session (RFC 3550) per call: a UDP socket bound to the local RTP port and
// connected to the peer, the sender's sequence counter and SSRC, the last packet parsed and
// the sources seen. No RTCP.
//
// Calling order: the creator allocates the record (new rtp_session), rtp_open, rtp_connect;
// the capture side sends with rtp_send, the receive thread waits on `sock` and hands each
// datagram to rtp_parse; rtp_close (which also releases the record) once both have stopped.
// Sending and parsing touch different fields, so they may run on two threads at once.

enum rtp_error : int32_t {
    RTP_OK = 0,
    RTP_EINVAL = 1,    // a required argument is missing
    RTP_ESOCKET = 2,   // sending failed, or a negative or impossible datagram length
    RTP_EVERSION = 3,  // version field not 2
    RTP_EPADDING = 4,  // padding count exceeds the bytes after the header
    RTP_ECONNECT = 6,  // connecting to the peer failed
    RTP_ESEQ = 7,      // update_seq refused the sequence number, or no room for a new source
};

constexpr int RTP_HEADER_SIZE = 12;
// Fixed header, fifteen CSRC words and one extension word.
constexpr int RTP_PACKET_OVERHEAD = 76;

struct rtp_session {
    std::unique_ptr<platform::UdpSocket> sock;  // nullptr when there is none
    platform::Ipv4Endpoint local;               // address "any" (0) until rtp_open
    platform::Ipv4Endpoint remote;              // set by rtp_connect
    uint32_t ssrc = 0;                          // host order
    // Written by both users of a session (a failed send, every parse), hence atomic.
    std::atomic<int32_t> error{RTP_OK};
    uint16_t seq = 0;        // sequence number of the last packet sent
    uint32_t last_ssrc = 0;  // as in the header (network byte order)
    uint16_t last_seq = 0;   // host order
    uint32_t last_ts = 0;    // host order
    rtp_srcs srcs{};
};

struct rtp_packet {
    uint8_t* data;  // payload, inside buf
    int32_t len;    // payload bytes
    uint8_t* buf;   // header first
    uint32_t size;  // bytes in buf
};

// Header values for rtp_set_header. seq 0 and ssrc 0 ask rtp_send to fill them in.
struct rtp_param {
    uint32_t ts;
    uint8_t marker;
    uint8_t pt;
    uint16_t seq;
    uint32_t ssrc;
    const uint32_t* csrc;  // not written into the header
    uint8_t cc;
};

// Binds the local port (0: the first free even/odd pair from 9000), draws the start
// sequence number and the SSRC (0: rtp_make_ssrc). True on success.
bool rtp_open(rtp_session* rtp, uint16_t port, uint32_t ssrc);
// host is a dotted IPv4 address or a name; port in host order. 0, or -1.
int rtp_connect(rtp_session* rtp, const char* host, uint16_t port);
// Bytes sent, or -1.
int rtp_send(rtp_session* rtp, rtp_packet* pkt);
// Validates and unpacks one datagram into pkt: the datagram length, or -1.
int rtp_parse(rtp_session* rtp, rtp_packet* pkt, const void* datagram, int length);
// Closes the socket, releases the sources and the record itself. 0, or -1.
int rtp_close(rtp_session* rtp);

// A packet with room for capacity payload bytes (size = capacity + 76), zeroed, version 2,
// data just after the fixed header. 0, or -1.
int rtp_packet_init(rtp_packet* pkt, int capacity);
int rtp_packet_free(rtp_packet* pkt);
int rtp_set_header(rtp_packet* pkt, const rtp_param* param);
