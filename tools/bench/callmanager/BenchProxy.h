#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/UdpSocket.h"

// The phone's proxy for a benchmark: a UDP socket on 127.0.0.1 that accepts the phone's
// REGISTER like a registrar and sends it whatever the benchmark composes.
class BenchProxy {
public:
    BenchProxy();
    uint16_t Port() const { return socket_.LocalPort(); }
    bool IsValid() const { return socket_.IsValid() && Port() != 0; }
    // The next datagram from anyone within timeoutMs; remembers its sender as the phone.
    std::optional<std::string> Receive(int timeoutMs);
    // Sends to the phone last heard from.
    bool SendToPhone(const std::string& text);
    // Waits for a REGISTER and answers it 200 OK, as the operator's registrar would.
    bool AcceptRegistration(int timeoutMs);

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint phone_;
};

// The value of the first header line that starts with name (e.g. "Call-ID: "), or empty.
std::string HeaderValue(const std::string& text, const std::string& name);
