#include "tests/app/LoopbackProxy.h"

#include <array>
#include <mutex>

namespace app_testing {

LoopbackProxy::LoopbackProxy() {
    uint32_t address = 0;
    platform::ParseDottedIpv4("127.0.0.2", &address);
    if (socket_.SetReuseAddress() && socket_.Bind(0, address)) {
        port_ = socket_.LocalPort();
    }
    Resume();
}

LoopbackProxy::~LoopbackProxy() {
    TerminateAndWait();
}

void LoopbackProxy::AcceptRegistrations(bool accept) {
    std::lock_guard<TCriticalSection> hold(lock_);
    acceptRegistrations_ = accept;
}

void LoopbackProxy::AnswerInvites(bool answer) {
    std::lock_guard<TCriticalSection> hold(lock_);
    answerInvites_ = answer;
}

bool LoopbackProxy::SendToPhone(const std::string& text) {
    platform::Ipv4Endpoint phone{};
    {
        std::lock_guard<TCriticalSection> hold(lock_);
        phone = phone_;
    }
    return phone.port != 0 &&
           socket_.SendTo(text.data(), text.size(), phone) == static_cast<long>(text.size());
}

std::vector<std::string> LoopbackProxy::Received() {
    std::lock_guard<TCriticalSection> hold(lock_);
    return received_;
}

std::vector<std::string> LoopbackProxy::ReceivedFirstLines() {
    std::vector<std::string> lines;
    for (const std::string& datagram : Received()) {
        lines.push_back(FirstLine(datagram));
    }
    return lines;
}

bool LoopbackProxy::HasReceivedStartingWith(const std::string& prefix) {
    for (const std::string& line : ReceivedFirstLines()) {
        if (line.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

void LoopbackProxy::Execute() {
    std::array<char, 4096> buffer{};
    while (!Terminated()) {
        if (socket_.WaitReadable(200) != platform::UdpSocket::WaitResult::Readable) {
            continue;
        }
        platform::Ipv4Endpoint phone{};
        const long length = socket_.ReceiveFrom(buffer.data(), buffer.size(), &phone);
        if (length <= 0 || static_cast<size_t>(length) > buffer.size()) {
            continue;
        }
        const std::string datagram(buffer.data(), static_cast<size_t>(length));
        {
            std::lock_guard<TCriticalSection> hold(lock_);
            received_.push_back(datagram);
            phone_ = phone;
        }
        Answer(datagram, phone);
    }
}

void LoopbackProxy::Answer(const std::string& request, const platform::Ipv4Endpoint& phone) {
    bool acceptRegistrations = false;
    bool answerInvites = false;
    {
        std::lock_guard<TCriticalSection> hold(lock_);
        acceptRegistrations = acceptRegistrations_;
        answerInvites = answerInvites_;
    }
    const bool isRegister = request.rfind("REGISTER ", 0) == 0;
    const bool isInvite = request.rfind("INVITE ", 0) == 0;
    if (!(isRegister && acceptRegistrations) && !(isInvite && answerInvites)) {
        return;
    }
    const std::string body = isInvite ? SdpBody() : std::string();
    std::string ok = "SIP/2.0 200 OK\r\n" + HeaderLine(request, "Via:") + "\r\n" +
                     HeaderLine(request, "From:") + "\r\n" + HeaderLine(request, "To:") +
                     ";tag=proxy1\r\n" + HeaderLine(request, "Call-ID:") + "\r\n" +
                     HeaderLine(request, "CSeq:") + "\r\n";
    if (isInvite) {
        ok += "Contact: <sip:callee@127.0.0.2>\r\nContent-Type: application/sdp\r\n";
    } else {
        ok += "Contact: <sip:1001@127.0.0.1>;expires=7200\r\n";
    }
    ok += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    socket_.SendTo(ok.data(), ok.size(), phone);
}

std::string SdpBody() {
    return "v=0\r\n"
           "o=- 1 1 IN IP4 127.0.0.3\r\n"
           "s=-\r\n"
           "c=IN IP4 127.0.0.3\r\n"
           "t=0 0\r\n"
           "m=audio 40000 RTP/AVP 18\r\n"
           "a=rtpmap:18 G729/8000\r\n";
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

std::string HeaderLine(const std::string& text, const std::string& name) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.rfind(name, 0) == 0) {
            return line;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return std::string();
}

}  // namespace app_testing
