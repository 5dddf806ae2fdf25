#include "UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = endpoint.address;
    address.sin_port = htons(endpoint.port);
    return address;
}

}  // namespace

UdpSocket::UdpSocket() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0) {
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
}

UdpSocket::~UdpSocket() {
    Close();
}

void UdpSocket::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
}

bool UdpSocket::SetReuseAddress() {
    const int on = 1;
    return fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
}

bool UdpSocket::Bind(uint16_t port, uint32_t address) {
    if (fd_ < 0) {
        return false;
    }
    const sockaddr_in local = ToSockaddr({address, port});
    return bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}

bool UdpSocket::Connect(const Ipv4Endpoint& peer) {
    if (fd_ < 0) {
        return false;
    }
    const sockaddr_in remote = ToSockaddr(peer);
    return connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0;
}

long UdpSocket::SendTo(const void* data, size_t length, const Ipv4Endpoint& to) {
    if (fd_ < 0) {
        return -1;
    }
    const sockaddr_in remote = ToSockaddr(to);
    return sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&remote),
                  sizeof(remote));
}

long UdpSocket::Send(const void* data, size_t length) {
    if (fd_ < 0) {
        return -1;
    }
    return send(fd_, data, length, MSG_NOSIGNAL);
}

long UdpSocket::ReceiveFrom(void* buffer, size_t capacity, Ipv4Endpoint* from) {
    if (fd_ < 0) {
        return -1;
    }
    sockaddr_in source{};
    socklen_t sourceLength = sizeof(source);
    const long received = recvfrom(fd_, buffer, capacity, MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received >= 0 && from != nullptr) {
        from->address = source.sin_addr.s_addr;
        from->port = ntohs(source.sin_port);
    }
    return received;
}

UdpSocket::WaitResult UdpSocket::WaitReadable(int timeoutMs) {
    if (fd_ < 0) {
        return WaitResult::Error;
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = poll(fds, wakeFd_ >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? WaitResult::Timeout : WaitResult::Error;
    }
    if (ready == 0) {
        return WaitResult::Timeout;
    }
    if (wakeFd_ >= 0 && (fds[1].revents & POLLIN) != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(wakeFd_, &count, sizeof(count));
        return WaitResult::Woken;
    }
    return (fds[0].revents & (POLLIN | POLLERR)) != 0 ? WaitResult::Readable : WaitResult::Timeout;
}

void UdpSocket::Wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof(one));
    }
}

uint16_t UdpSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

bool ParseDottedIpv4(const char* text, uint32_t* address) {
    in_addr parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) {
        return false;
    }
    if (address != nullptr) {
        *address = parsed.s_addr;
    }
    return true;
}

const char* FormatDottedIpv4(uint32_t address, char (&text)[16]) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

}  // namespace platform
