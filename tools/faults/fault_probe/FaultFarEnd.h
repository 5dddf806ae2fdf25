#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/UdpSocket.h"

// The operator's side of a call on loopback, scripted: a proxy that takes every REGISTER
// with 200, a callee behind it that answers each INVITE at once (100, 180, 200 with a G.729
// offer) and takes BYE, and a media port that sends every RTP datagram straight back to
// where it came from. The proxy can vanish and return, and the echo can stop, mid-run.
class FaultFarEnd {
public:
    struct Counters {
        uint32_t registers = 0;
        uint32_t registersAnswered = 0;
        uint32_t invites = 0;
        uint32_t acks = 0;
        uint32_t byes = 0;
        uint32_t cancels = 0;
        uint32_t ignored = 0;  // SIP that arrived while the proxy was gone
        uint32_t rtpReceived = 0;
        uint32_t rtpEchoed = 0;
    };

    FaultFarEnd();
    ~FaultFarEnd();  // stops and joins both threads

    FaultFarEnd(const FaultFarEnd&) = delete;
    FaultFarEnd& operator=(const FaultFarEnd&) = delete;

    uint16_t SipPort() const;
    uint16_t RtpPort() const;
    // The media port written into the answer (a relay in front of RtpPort, or RtpPort).
    void SetAnsweredMediaPort(uint16_t port) { answeredMediaPort_.store(port); }
    // A gone proxy reads and forgets every SIP datagram.
    void SetProxyPresent(bool present) { proxyPresent_.store(present); }
    void SetEchoing(bool echoing) { echoing_.store(echoing); }
    Counters Snapshot() const;

private:
    class SipResponder;
    class RtpEcho;

    platform::UdpSocket sip_;
    platform::UdpSocket rtp_;
    std::atomic<uint16_t> answeredMediaPort_{0};
    std::atomic<bool> proxyPresent_{true};
    std::atomic<bool> echoing_{true};
    std::unique_ptr<SipResponder> sipThread_;
    std::unique_ptr<RtpEcho> rtpThread_;
};
