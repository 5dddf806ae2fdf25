#include "sip/SIPSendRecvThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/UdpSocket.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;
using testing_support::WaitUntil;

uint32_t Loopback(int last) {
    uint32_t address = 0;
    platform::ParseDottedIpv4(("127.0.0." + std::to_string(last)).c_str(), &address);
    return address;
}

// A small response from the proxy, told apart by its Call-ID.
std::string Ok(const std::string& callId) {
    return "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-1;rport=5060\r\n"
           "From: <sip:1001@op.voip.test>;tag=KYR_1\r\nTo: <sip:1001@op.voip.test>;tag=as6b\r\n"
           "Call-ID: " +
           callId + "\r\nCSeq: 102 REGISTER\r\nContent-Length:     0\r\n\r\n";
}

// A response of exactly size bytes, padded with Subject lines.
std::string OkOfSize(const std::string& callId, size_t size) {
    std::string datagram = "SIP/2.0 200 OK\r\nCall-ID: " + callId + "\r\n";
    size_t remaining = size - datagram.size();
    while (remaining > 0) {
        const size_t chunk = remaining >= 200 ? 100 : remaining;
        datagram += "Subject: " + std::string(chunk - 11, 'x') + "\r\n";
        remaining -= chunk;
    }
    EXPECT_EQ(datagram.size(), size);
    return datagram;
}

// A proxy on 127.0.0.2 sharing its port with the transport's wildcard socket, as the
// operator's proxy on the same machine would.
class SIPSendRecvThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(proxy_.SetReuseAddress());
        ASSERT_TRUE(proxy_.Bind(0, Loopback(2)));
        port_ = proxy_.LocalPort();
        StartTransport();
    }

    void StartTransport() {
        queue_ = std::make_unique<CSIPSDPMessageQueue>();
        parser_ = std::make_unique<SIPSDPModule>(queue_.get());
        transport_ = std::make_unique<CSIPSendRecvThread>(true, parser_.get(), false);
        transport_->Setup("127.0.0.1", port_, "127.0.0.2", port_);
        transport_->Resume();
    }

    void StopTransport() {
        // The thread goes first: it may still be parsing into the queue.
        transport_.reset();
        parser_.reset();
        queue_.reset();
    }

    void TearDown() override { StopTransport(); }
    void SendFrom(UdpSocket& socket, const std::string& datagram) {
        ASSERT_EQ(socket.SendTo(datagram.data(), datagram.size(), {Loopback(1), port_}),
                  static_cast<long>(datagram.size()));
    }

    // Waits for count queued messages and checks no more arrived.
    std::vector<std::string> CallIds(int count) {
        EXPECT_TRUE(WaitUntil([&] { return queue_->Count() >= count; }, 3000));
        EXPECT_EQ(queue_->Count(), count);
        std::vector<std::string> ids;
        for (; queue_->PeekHead() >= 0; queue_->RemoveHead()) {
            ids.push_back(queue_->MessageAt(queue_->PeekHead())->CallID);
        }
        return ids;
    }

    UdpSocket proxy_;
    uint16_t port_ = 0;
    std::unique_ptr<CSIPSDPMessageQueue> queue_;
    std::unique_ptr<SIPSDPModule> parser_;
    std::unique_ptr<CSIPSendRecvThread> transport_;
};

TEST_F(SIPSendRecvThreadTest, TakesOnlyWholeDatagramsFromTheProxysAddressAndPort) {
    UdpSocket strangerSamePort;
    ASSERT_TRUE(strangerSamePort.SetReuseAddress());
    ASSERT_TRUE(strangerSamePort.Bind(port_, Loopback(3)));
    UdpSocket proxyHostOtherPort;
    ASSERT_TRUE(proxyHostOtherPort.Bind(0, Loopback(2)));
    UdpSocket stranger;
    ASSERT_TRUE(stranger.Bind(0, Loopback(3)));

    SendFrom(strangerSamePort, Ok("stranger-same-port"));
    SendFrom(proxyHostOtherPort, Ok("proxy-host-other-port"));
    SendFrom(stranger, Ok("stranger"));
    // Ten bytes are ignored, eleven parsed; 2048 bytes fit the buffer, 2049 are lost.
    SendFrom(proxy_, "BYE sip:\r\n");
    SendFrom(proxy_, "BYE sip:a\r\n");
    SendFrom(proxy_, OkOfSize("too-long", 2049));
    SendFrom(proxy_, OkOfSize("fits", 2048));
    // Datagrams reach the socket in order: once the last is queued, the others were seen.
    SendFrom(proxy_, Ok("from-proxy"));
    EXPECT_EQ(CallIds(3), (std::vector<std::string>{"", "fits", "from-proxy"}));
}

TEST_F(SIPSendRecvThreadTest, SendsWholeDatagramsFromTheProxysPort) {
    const std::string registerRequest =
        "REGISTER sip:op.voip.test SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(port_) +
        "\r\nCall-ID: 846930886@127.0.0.1\r\nCSeq: 1 REGISTER\r\nContent-Length: 0\r\n\r\n";
    const std::string largest(65507, 'L');  // the most a UDP datagram over IPv4 carries
    std::vector<char> buffer(70000);
    for (const std::string* datagram : {&registerRequest, &largest}) {
        ASSERT_TRUE(transport_->SendDatagram(datagram->data(), datagram->size()));
        ASSERT_EQ(proxy_.WaitReadable(3000), UdpSocket::WaitResult::Readable);
        Ipv4Endpoint from;
        const long received = proxy_.ReceiveFrom(buffer.data(), buffer.size(), &from);
        ASSERT_EQ(received, static_cast<long>(datagram->size()));
        EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(received)), *datagram);
        EXPECT_EQ(from.port, port_);
    }
    const std::string tooLarge(65508, 'L');
    EXPECT_FALSE(transport_->SendDatagram(tooLarge.data(), tooLarge.size()));
}

TEST_F(SIPSendRecvThreadTest, TerminateEndsTheLoopAtOnce) {
    ASSERT_TRUE(WaitUntil([&] { return transport_->Started(); }));
    const auto start = std::chrono::steady_clock::now();
    transport_->Terminate();
    transport_->WaitFor();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(transport_->Finished());
    EXPECT_LT(elapsed, std::chrono::milliseconds(CSIPSendRecvThread::kWaitMs));
    // The socket is closed with the loop.
    EXPECT_FALSE(transport_->SendDatagram("OPTIONS", 7));
    // A proxy given by name is never sent to.
    SIPSDPModule parser(nullptr);
    CSIPSendRecvThread named(true, &parser);
    named.Setup("127.0.0.1", 0, "op.voip.test", port_);
    EXPECT_FALSE(named.SendDatagram("OPTIONS", 7));
}

TEST_F(SIPSendRecvThreadTest, RebuiltTransportBindsTheSamePortAgain) {
    transport_->Terminate();
    transport_->WaitFor();
    proxy_.Close();
    {
        // Without address reuse this bind fails while any socket still holds the port.
        UdpSocket exclusive;
        EXPECT_TRUE(exclusive.Bind(port_));
    }
    StopTransport();

    UdpSocket proxy;
    ASSERT_TRUE(proxy.SetReuseAddress());
    ASSERT_TRUE(proxy.Bind(port_, Loopback(2)));
    StartTransport();
    SendFrom(proxy, Ok("after-restart"));
    EXPECT_EQ(CallIds(1), std::vector<std::string>{"after-restart"});
}

}  // namespace
