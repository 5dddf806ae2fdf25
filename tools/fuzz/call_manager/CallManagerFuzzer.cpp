#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioVirtual.h"
#include "platform/UdpSocket.h"

// Every datagram that parses reaches the call manager's handlers as if the proxy had sent it.
// Whatever its fields hold, the phone is idle again once a call it rang for is refused, and
// answers the next INVITE it cannot take (no G.729) with 415.
namespace {

class QuietList final : public MessageListView {
public:
    void AppendRow(const std::string&) override {}
    void ShowLastRows(int) override {}
};

// The call manager as the window sets it up, its proxy a socket on loopback that reads
// nothing, its audio virtual. Its thread is never resumed: each input is handled here.
struct Phone {
    Phone() {
        uint32_t loopback = 0;
        platform::ParseDottedIpv4("127.0.0.1", &loopback);
        proxy.Bind(0, loopback);
        manager.SetMessageList(&list);
        manager.SetAccount("1001", "secret");
        manager.SetProxy("127.0.0.1", proxy.LocalPort());
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(0);
        manager.Start();
    }

    // Parsed into the call manager's queue and handled; false when nothing parsed.
    bool Deliver(const char* bytes, size_t size) {
        manager.Parser->Parse(bytes, size);
        if (manager.Queue->Count() == 0) {
            return false;
        }
        manager.DispatchOneMessage();
        return true;
    }

    platform::VirtualAudioBackEnd audio;
    bool audioInstalled = (platform::SetAudioBackEnd(&audio), true);
    QuietList list;
    platform::UdpSocket proxy;
    CallManagerThread manager{false};
};

std::string Probe(unsigned long n) {
    const std::string id = "probe-" + std::to_string(n) + "-x7Qk";
    const std::string sdp =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio 40000 RTP/AVP 0\r\n";
    return "INVITE sip:1001@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" +
           id + "\r\nFrom: <sip:3456@127.0.0.1>;tag=" + id + "\r\nTo: <sip:1001@127.0.0.1>\r\n" +
           "Call-ID: " + id + "\r\nCSeq: 1 INVITE\r\nContact: <sip:3456@127.0.0.1>\r\n" +
           "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
           "\r\n\r\n" + sdp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Phone phone;
    static unsigned long probes = 0;
    CallManagerThread& manager = phone.manager;
    // Copied into a buffer of exactly its size so any read past the datagram is caught.
    std::vector<char> datagram(size);
    if (size > 0) {
        std::memcpy(datagram.data(), data, size);
    }
    phone.Deliver(datagram.data(), datagram.size());
    if (manager.ChangeState(true, CallManagerThread::Incoming)) {
        manager.DoHangUp();  // a hostile INVITE that offers G.729 rings: refuse it
    }
    const std::string probe = Probe(++probes);
    if (!manager.ChangeState(true, CallManagerThread::Idle) ||
        !phone.Deliver(probe.data(), probe.size()) ||
        manager.SendBuffer.rfind("SIP/2.0 415 Unsupported Media Type\r\n", 0) != 0 ||
        !manager.ChangeState(true, CallManagerThread::Idle)) {
        __builtin_trap();
    }
    return 0;
}
