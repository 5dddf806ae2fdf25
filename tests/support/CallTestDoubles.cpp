#include "tests/support/CallTestDoubles.h"

#include <netinet/in.h>

namespace call_testing {

UdpPeer::UdpPeer(uint16_t port, const char* address) {
    uint32_t ip = 0;
    platform::ParseDottedIpv4(address, &ip);
    socket_.Bind(port, ip);
}

std::optional<std::string> UdpPeer::Receive(int timeoutMs) {
    if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
        return std::nullopt;
    }
    std::string buffer(70000, '\0');
    const long length = socket_.ReceiveFrom(buffer.data(), buffer.size(), &phone_);
    return length < 0 ? std::nullopt : std::optional(buffer.substr(0, length));
}

std::vector<std::string> UdpPeer::ReceiveAll(int windowMs) {
    std::vector<std::string> all;
    while (auto datagram = Receive(windowMs)) {
        all.push_back(*datagram);
    }
    return all;
}

bool UdpPeer::SendTo(const std::string& bytes, uint16_t port) {
    return socket_.SendTo(bytes.data(), bytes.size(), {htonl(INADDR_LOOPBACK), port}) ==
           static_cast<long>(bytes.size());
}

std::string HeaderValue(const std::string& text, const std::string& name) {
    const size_t at = ("\r\n" + text).find("\r\n" + name);  // where its line starts in text
    return at == std::string::npos
               ? std::string()
               : text.substr(at + name.size(), text.find("\r\n", at) - at - name.size());
}

std::string ResponseTo(const std::string& request, const std::string& status,
                       const std::string& extra, const std::string& sdp, const std::string& toTag) {
    std::string text = "SIP/2.0 " + status + "\r\n";
    for (const std::string name : {"Via: ", "From: ", "To: ", "Call-ID: ", "CSeq: "}) {
        text +=
            name + HeaderValue(request, name) + (name == "To: " ? ";tag=" + toTag : "") + "\r\n";
    }
    return text + extra + (sdp.empty() ? "" : "Content-Type: application/sdp\r\n") +
           "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

}  // namespace call_testing
