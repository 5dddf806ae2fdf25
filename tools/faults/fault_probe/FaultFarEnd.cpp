#include "tools/faults/fault_probe/FaultFarEnd.h"

#include <string>
#include <vector>

#include "platform/TThread.h"

namespace {

constexpr size_t kDatagramCapacity = 2048;
constexpr int kWaitMs = 200;
const char* const kCrLf = "\r\n";

uint32_t LoopbackAddress() {
    uint32_t address = 0;
    platform::ParseDottedIpv4("127.0.0.1", &address);
    return address;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The header lines of a request, without the blank line and the body.
std::vector<std::string> HeaderLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(kCrLf, start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (line.empty()) {
            break;
        }
        lines.push_back(line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return lines;
}

// Via, From, To, Call-ID and CSeq of the request, as a response repeats them.
struct Transaction {
    std::vector<std::string> vias;
    std::string from;
    std::string to;
    std::string callId;
    std::string cseq;
};

Transaction TransactionOf(const std::vector<std::string>& lines) {
    Transaction t;
    for (const std::string& line : lines) {
        if (StartsWith(line, "Via:")) {
            t.vias.push_back(line);
        } else if (StartsWith(line, "From:")) {
            t.from = line;
        } else if (StartsWith(line, "To:")) {
            t.to = line;
        } else if (StartsWith(line, "Call-ID:")) {
            t.callId = line;
        } else if (StartsWith(line, "CSeq:")) {
            t.cseq = line;
        }
    }
    return t;
}

std::string Response(const std::string& status, const Transaction& t, const std::string& toTag,
                     const std::string& extraHeaders, const std::string& body) {
    std::string text = "SIP/2.0 " + status + kCrLf;
    for (const std::string& via : t.vias) {
        text += via + kCrLf;
    }
    text += t.from + kCrLf;
    text += t.to + (toTag.empty() ? "" : ";tag=" + toTag) + kCrLf;
    text += t.callId + kCrLf;
    text += t.cseq + kCrLf;
    text += extraHeaders;
    text += "Content-Length: " + std::to_string(body.size()) + kCrLf + kCrLf;
    return text + body;
}

}  // namespace

class FaultFarEnd::SipResponder : public TThread {
public:
    SipResponder(platform::UdpSocket& socket, FaultFarEnd& owner)
        : socket_(socket), owner_(owner) {}
    ~SipResponder() override { TerminateAndWait(); }

    Counters Snapshot() const {
        Counters c;
        c.registers = registers_.load();
        c.registersAnswered = registersAnswered_.load();
        c.invites = invites_.load();
        c.acks = acks_.load();
        c.byes = byes_.load();
        c.cancels = cancels_.load();
        c.ignored = ignored_.load();
        return c;
    }

protected:
    void Execute() override {
        while (!Terminated()) {
            if (socket_.WaitReadable(kWaitMs) == platform::UdpSocket::WaitResult::Readable) {
                TakeOne();
            }
        }
    }
    void WakeUp() override { socket_.Wake(); }

private:
    void TakeOne() {
        char buffer[kDatagramCapacity];
        platform::Ipv4Endpoint source;
        const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &source);
        if (length <= 0 || static_cast<size_t>(length) > sizeof(buffer)) {
            return;
        }
        if (!owner_.proxyPresent_.load()) {
            ++ignored_;
            return;
        }
        const std::string text(buffer, static_cast<size_t>(length));
        const std::vector<std::string> lines = HeaderLines(text);
        if (lines.empty()) {
            return;
        }
        const Transaction t = TransactionOf(lines);
        const std::string& start = lines.front();
        if (StartsWith(start, "REGISTER ")) {
            ++registers_;
            Send(Response("200 OK", t, "", "", ""), source);
            ++registersAnswered_;
        } else if (StartsWith(start, "INVITE ")) {
            ++invites_;
            Answer(t, source);
        } else if (StartsWith(start, "ACK ")) {
            ++acks_;
        } else if (StartsWith(start, "BYE ")) {
            ++byes_;
            Send(Response("200 OK", t, "", "", ""), source);
        } else if (StartsWith(start, "CANCEL ")) {
            ++cancels_;
            Send(Response("200 OK", t, "", "", ""), source);
        } else if (StartsWith(start, "INFO ")) {
            Send(Response("200 OK", t, "", "", ""), source);
        }
    }

    void Answer(const Transaction& t, const platform::Ipv4Endpoint& to) {
        const std::string tag = "fe" + std::to_string(invites_.load());
        const std::string contact = "Contact: <sip:600@127.0.0.1>\r\n";
        const std::string body = std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\n") +
                                 "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                                 std::to_string(owner_.answeredMediaPort_.load()) +
                                 " RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";
        Send(Response("100 Trying", t, "", "", ""), to);
        Send(Response("180 Ringing", t, tag, contact, ""), to);
        Send(Response("200 OK", t, tag, contact + "Content-Type: application/sdp\r\n", body), to);
    }

    void Send(const std::string& text, const platform::Ipv4Endpoint& to) {
        socket_.SendTo(text.data(), text.size(), to);
    }

    platform::UdpSocket& socket_;
    FaultFarEnd& owner_;
    std::atomic<uint32_t> registers_{0};
    std::atomic<uint32_t> registersAnswered_{0};
    std::atomic<uint32_t> invites_{0};
    std::atomic<uint32_t> acks_{0};
    std::atomic<uint32_t> byes_{0};
    std::atomic<uint32_t> cancels_{0};
    std::atomic<uint32_t> ignored_{0};
};

class FaultFarEnd::RtpEcho : public TThread {
public:
    RtpEcho(platform::UdpSocket& socket, FaultFarEnd& owner) : socket_(socket), owner_(owner) {}
    ~RtpEcho() override { TerminateAndWait(); }

    uint32_t Received() const { return received_.load(); }
    uint32_t Echoed() const { return echoed_.load(); }

protected:
    void Execute() override {
        while (!Terminated()) {
            if (socket_.WaitReadable(kWaitMs) == platform::UdpSocket::WaitResult::Readable) {
                EchoOne();
            }
        }
    }
    void WakeUp() override { socket_.Wake(); }

private:
    void EchoOne() {
        char buffer[kDatagramCapacity];
        platform::Ipv4Endpoint source;
        const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &source);
        if (length <= 0 || static_cast<size_t>(length) > sizeof(buffer)) {
            return;
        }
        ++received_;
        if (owner_.echoing_.load() &&
            socket_.SendTo(buffer, static_cast<size_t>(length), source) == length) {
            ++echoed_;
        }
    }

    platform::UdpSocket& socket_;
    FaultFarEnd& owner_;
    std::atomic<uint32_t> received_{0};
    std::atomic<uint32_t> echoed_{0};
};

FaultFarEnd::FaultFarEnd() {
    sip_.Bind(0, LoopbackAddress());
    rtp_.Bind(0, LoopbackAddress());
    answeredMediaPort_.store(rtp_.LocalPort());
    sipThread_ = std::make_unique<SipResponder>(sip_, *this);
    rtpThread_ = std::make_unique<RtpEcho>(rtp_, *this);
    sipThread_->Resume();
    rtpThread_->Resume();
}

FaultFarEnd::~FaultFarEnd() {
    sipThread_.reset();
    rtpThread_.reset();
}

uint16_t FaultFarEnd::SipPort() const {
    return sip_.LocalPort();
}

uint16_t FaultFarEnd::RtpPort() const {
    return rtp_.LocalPort();
}

FaultFarEnd::Counters FaultFarEnd::Snapshot() const {
    Counters c = sipThread_->Snapshot();
    c.rtpReceived = rtpThread_->Received();
    c.rtpEchoed = rtpThread_->Echoed();
    return c;
}
