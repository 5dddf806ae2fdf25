#include "sip/SIPSendRecvThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/UdpSocket.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;

uint32_t Loopback(int last) {
    uint32_t address = 0;
    platform::ParseDottedIpv4(("127.0.0." + std::to_string(last)).c_str(), &address);
    return address;
}

// A response of exactly size bytes, told apart by its Call-ID and padded with Subject lines.
std::string Ok(const std::string& callId, size_t size = 0) {
    std::string datagram = "SIP/2.0 200 OK\r\nCall-ID: " + callId + "\r\n";
    while (datagram.size() < size) {
        const size_t chunk = size - datagram.size() >= 200 ? 100 : size - datagram.size();
        datagram += "Subject: " + std::string(chunk - 11, 'x') + "\r\n";
    }
    return datagram;
}

// A proxy on 127.0.0.2 sharing its port with the transport's wildcard socket, as the
// operator's proxy on the same machine would.
class SIPSendRecvThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(proxy_.emplace().SetReuseAddress() && proxy_->Bind(0, Loopback(2)));
        port_ = proxy_->LocalPort();
        StartTransport();
    }
    void StartTransport() {
        queue_ = std::make_unique<CSIPSDPMessageQueue>();
        parser_ = std::make_unique<SIPSDPModule>(queue_.get());
        transport_ = std::make_unique<CSIPSendRecvThread>(true, parser_.get(), false);
        transport_->Setup("127.0.0.1", port_, "127.0.0.2", port_);
        transport_->Resume();
    }
    void TearDown() override {
        transport_.reset();  // the thread goes first: it may still be parsing into the queue
        parser_.reset();
        queue_.reset();
    }
    void SendFromProxy(const std::string& datagram) {
        ASSERT_EQ(proxy_->SendTo(datagram.data(), datagram.size(), {Loopback(1), port_}),
                  static_cast<long>(datagram.size()));
    }
    // Waits for count queued messages and checks no more arrived.
    std::vector<std::string> CallIds(int count) {
        EXPECT_TRUE(testing_support::WaitUntil([&] { return queue_->Count() >= count; }, 3000));
        EXPECT_EQ(queue_->Count(), count);
        std::vector<std::string> ids;
        for (; queue_->PeekHead() >= 0; queue_->RemoveHead()) {
            ids.push_back(queue_->MessageAt(queue_->PeekHead())->CallID);
        }
        return ids;
    }

    std::optional<UdpSocket> proxy_;
    uint16_t port_ = 0;
    std::unique_ptr<CSIPSDPMessageQueue> queue_;
    std::unique_ptr<SIPSDPModule> parser_;
    std::unique_ptr<CSIPSendRecvThread> transport_;
};

// Ten bytes from the proxy are ignored, eleven parsed; 2048 bytes fit the buffer, 2049 are lost.
// Sending takes up to the most a UDP datagram over IPv4 carries, from the proxy's port.
TEST_F(SIPSendRecvThreadTest, ExchangesWholeDatagramsWithTheProxy) {
    // Strangers are dropped: another address on the proxy's port, the proxy's host on another
    // port, and another address on another port.
    UdpSocket strangers[3];
    ASSERT_TRUE(strangers[0].SetReuseAddress() && strangers[0].Bind(port_, Loopback(3)));
    ASSERT_TRUE(strangers[1].Bind(0, Loopback(2)) && strangers[2].Bind(0, Loopback(3)));
    for (UdpSocket& stranger : strangers) {
        const std::string datagram = Ok("stranger");
        ASSERT_EQ(stranger.SendTo(datagram.data(), datagram.size(), {Loopback(1), port_}),
                  static_cast<long>(datagram.size()));
    }
    for (const std::string& datagram : {std::string("BYE sip:\r\n"), std::string("BYE sip:a\r\n"),
                                        Ok("too-long", 2049), Ok("fits", 2048), Ok("last")}) {
        SendFromProxy(datagram);
    }
    // Datagrams reach the socket in order: once the last is queued, the others were seen.
    EXPECT_EQ(CallIds(3), (std::vector<std::string>{"", "fits", "last"}));

    const std::string request = "REGISTER sip:op.voip.test SIP/2.0\r\nCSeq: 1 REGISTER\r\n\r\n";
    std::vector<char> buffer(70000);
    for (const std::string& datagram : {request, std::string(65507, 'L')}) {
        ASSERT_TRUE(transport_->SendDatagram(datagram.data(), datagram.size()));
        ASSERT_EQ(proxy_->WaitReadable(3000), UdpSocket::WaitResult::Readable);
        platform::Ipv4Endpoint from;
        const long received = proxy_->ReceiveFrom(buffer.data(), buffer.size(), &from);
        EXPECT_EQ(std::string(buffer.data(), size_t(std::max(received, 0L))), datagram);
        EXPECT_EQ(from.port, port_);
    }
    EXPECT_FALSE(transport_->SendDatagram(buffer.data(), 65508));
    // A proxy given by name is never sent to.
    CSIPSendRecvThread named(true, parser_.get());
    named.Setup("127.0.0.1", 0, "op.voip.test", port_);
    EXPECT_FALSE(named.SendDatagram("OPTIONS", 7));
}

// Terminated, the loop ends at once and closes its socket, so that the transport rebuilt
// after a settings change binds the same port again.
TEST_F(SIPSendRecvThreadTest, TerminateEndsTheLoopAtOnceAndFreesThePort) {
    ASSERT_TRUE(testing_support::WaitUntil([&] { return transport_->Started(); }));
    const auto start = std::chrono::steady_clock::now();
    transport_->Terminate();
    transport_->WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(CSIPSendRecvThread::kWaitMs));
    EXPECT_TRUE(transport_->Finished());
    EXPECT_FALSE(transport_->SendDatagram("OPTIONS", 7));
    proxy_.reset();
    {
        // Without address reuse this bind fails while any socket still holds the port.
        UdpSocket exclusive;
        EXPECT_TRUE(exclusive.Bind(port_));
    }
    TearDown();
    ASSERT_TRUE(proxy_.emplace().SetReuseAddress() && proxy_->Bind(port_, Loopback(2)));
    StartTransport();
    SendFromProxy(Ok("after-restart"));
    EXPECT_EQ(CallIds(1), std::vector<std::string>{"after-restart"});
}

}  // namespace
