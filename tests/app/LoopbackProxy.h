#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"

namespace app_testing {

// The operator's proxy on 127.0.0.2: the phone uses one port as its own and as the proxy's,
// so the proxy shares that port on a second loopback address (both sockets reuse addresses;
// sipp cannot). It records every datagram and answers REGISTER with 200 OK when told to.
class LoopbackProxy final : public TThread {
public:
    LoopbackProxy();
    ~LoopbackProxy() override;

    bool Ready() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    void AcceptRegistrations(bool accept);
    // Answers every INVITE with 200 OK and an SDP answer for payload type 18.
    void AnswerInvites(bool answer);
    // Sends a request to the phone, as the proxy does for an incoming call; the phone must have
    // sent something first (its REGISTER) so that its address is known.
    bool SendToPhone(const std::string& text);

    std::vector<std::string> Received();
    // The first lines of everything received, e.g. "CANCEL sip:321@... SIP/2.0".
    std::vector<std::string> ReceivedFirstLines();
    bool HasReceivedStartingWith(const std::string& prefix);

protected:
    void Execute() override;
    void WakeUp() override { socket_.Wake(); }

private:
    void Answer(const std::string& request, const platform::Ipv4Endpoint& phone);

    platform::UdpSocket socket_;
    uint16_t port_ = 0;
    TCriticalSection lock_;
    bool acceptRegistrations_ = false;
    bool answerInvites_ = false;
    platform::Ipv4Endpoint phone_{};
    std::vector<std::string> received_;
};

std::string FirstLine(const std::string& text);
// An SDP body offering payload type 18 at 127.0.0.3:40000.
std::string SdpBody();
// The whole header line that starts with name, without its CR LF; empty when missing.
std::string HeaderLine(const std::string& text, const std::string& name);

}  // namespace app_testing
