#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/UdpSocket.h"

// An impaired stretch of network on loopback: datagrams sent to FrontPort() go on to the
// server, the server's answers come back to whoever sent last, and each direction loses
// and delays datagrams on its own seeded schedule. It stands in for a kernel queueing
// discipline where none can be added, so a run is the same every time for the same seed.
class FaultRelay {
public:
    struct Impairment {
        double lossRatio = 0.0;  // 0..1, the share of datagrams dropped
        int delayMs = 0;         // mean one-way delay
        int jitterMs = 0;        // the delay varies evenly by up to this much either way
        // A varying delay on a path that keeps order (one queue): a datagram waits for the
        // one before it instead of overtaking it.
        bool keepOrder = false;
    };

    // What one direction has done so far.
    struct Counters {
        uint32_t received = 0;
        uint32_t lost = 0;        // dropped by the loss schedule
        uint32_t overflowed = 0;  // dropped because too many were in flight
        uint32_t delivered = 0;
        // RTP datagrams delivered after one with a higher sequence number: a receiver that
        // plays in order cannot use them.
        uint32_t overtaken = 0;
    };

    // server: where the front's datagrams go (on loopback). Both directions get their own
    // generator, derived from seed.
    FaultRelay(const platform::Ipv4Endpoint& server, const Impairment& impairment, uint64_t seed);
    ~FaultRelay();  // stops and joins both directions

    FaultRelay(const FaultRelay&) = delete;
    FaultRelay& operator=(const FaultRelay&) = delete;

    // The port on 127.0.0.1 the client sends to; 0 when the relay could not bind.
    uint16_t FrontPort() const;
    Counters Upstream() const;    // client to server
    Counters Downstream() const;  // server to client

private:
    class Pump;

    platform::UdpSocket front_;
    platform::UdpSocket back_;
    // The client's endpoint, learned upstream and answered downstream.
    std::atomic<uint64_t> client_{0};
    std::unique_ptr<Pump> upstream_;
    std::unique_ptr<Pump> downstream_;
};
