#include "BenchProxy.h"

#include <chrono>

namespace {

std::string HeaderLine(const std::string& text, const std::string& name) {
    const std::string value = HeaderValue(text, name);
    return value.empty() ? std::string() : name + value + "\r\n";
}

}  // namespace

std::string HeaderValue(const std::string& text, const std::string& name) {
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find("\r\n", at);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (text.compare(at, name.size(), name) == 0) {
            return text.substr(at + name.size(), stop - at - name.size());
        }
        if (end == std::string::npos || end == at) {
            break;
        }
        at = end + 2;
    }
    return {};
}

BenchProxy::BenchProxy() {
    uint32_t loopback = 0;
    platform::ParseDottedIpv4("127.0.0.1", &loopback);
    socket_.Bind(0, loopback);
}

std::optional<std::string> BenchProxy::Receive(int timeoutMs) {
    if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
        return std::nullopt;
    }
    char buffer[4096];
    const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &phone_);
    if (length < 0 || static_cast<size_t>(length) > sizeof(buffer)) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

bool BenchProxy::SendToPhone(const std::string& text) {
    return socket_.SendTo(text.data(), text.size(), phone_) == static_cast<long>(text.size());
}

bool BenchProxy::AcceptRegistration(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::optional<std::string> request = Receive(100);
        if (!request || request->rfind("REGISTER ", 0) != 0) {
            continue;
        }
        const std::string to = HeaderValue(*request, "To: ");
        return SendToPhone("SIP/2.0 200 OK\r\n" + HeaderLine(*request, "Via: ") +
                           HeaderLine(*request, "From: ") + "To: " + to + ";tag=bench-reg\r\n" +
                           HeaderLine(*request, "Call-ID: ") + HeaderLine(*request, "CSeq: ") +
                           "Contact: " + HeaderValue(*request, "Contact: ") +
                           ";expires=7200\r\nContent-Length: 0\r\n\r\n");
    }
    return false;
}
