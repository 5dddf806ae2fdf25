#include "tests/call/CallTestDoubles.h"

namespace call_testing {

UdpPeer::UdpPeer(uint16_t port) {
    uint32_t loopback = 0;
    platform::ParseDottedIpv4("127.0.0.1", &loopback);
    socket_.Bind(port, loopback);
}

std::optional<std::string> UdpPeer::Receive(int timeoutMs) {
    if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
        return std::nullopt;
    }
    char buffer[70000];
    const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &phone_);
    if (length < 0 || static_cast<size_t>(length) > sizeof(buffer)) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

std::vector<std::string> UdpPeer::ReceiveAll(int windowMs) {
    std::vector<std::string> all;
    while (auto datagram = Receive(windowMs)) {
        all.push_back(*datagram);
    }
    return all;
}

std::string HeaderValue(const std::string& text, const std::string& name) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.rfind(name, 0) == 0) {
            return line.substr(name.size());
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return {};
}

}  // namespace call_testing
