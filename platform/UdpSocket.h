#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An IPv4 address in network byte order and a port in host byte order.
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    bool operator==(const Ipv4Endpoint&) const = default;
};

// One UDP socket over IPv4. A wait on it can be interrupted from another thread with Wake,
// so a receive loop notices a stop request without sitting out its whole timeout.
class UdpSocket {
public:
    enum class WaitResult { Readable, Timeout, Woken, Error };

    UdpSocket();  // creates the socket; IsValid tells whether that worked
    ~UdpSocket();

    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool IsValid() const { return fd_ >= 0; }
    // Lets a second socket bind the same port on another local address (a peer on 127.0.0.2).
    bool SetReuseAddress();
    // address in network byte order; 0 is INADDR_ANY.
    bool Bind(uint16_t port, uint32_t address = 0);
    bool Connect(const Ipv4Endpoint& peer);
    // Results as the system call's: bytes, or -1.
    long SendTo(const void* data, size_t length, const Ipv4Endpoint& to);
    long Send(const void* data, size_t length);
    // Returns the datagram's full length even when it did not fit (only capacity bytes are
    // stored), so a caller can tell a cut datagram by a result above capacity; -1 on error.
    long ReceiveFrom(void* buffer, size_t capacity, Ipv4Endpoint* from);
    // timeoutMs -1 waits until a datagram or a Wake.
    WaitResult WaitReadable(int timeoutMs);
    void Wake();
    bool CanWake() const { return wakeFd_ >= 0; }
    void Close();
    // The port the socket is bound to, 0 when unbound.
    uint16_t LocalPort() const;

private:
    int fd_ = -1;
    int wakeFd_ = -1;
};

// inet_addr: a dotted IPv4 text to network byte order; false for anything else.
bool ParseDottedIpv4(const char* text, uint32_t* address);
// inet_ntoa: network byte order to dotted text.
const char* FormatDottedIpv4(uint32_t address, char (&text)[16]);

}  // namespace platform
