#include "sip/SIPSendRecvThread.h"

#include <gtest/gtest.h>

#include <chrono>
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

// A proxy on 127.0.0.2 shares its port with the transport's wildcard socket, as the
// operator's proxy on the same machine would. From the proxy, ten bytes are ignored and
// eleven parsed, 2048 bytes fit the buffer and 2049 are lost; strangers are dropped. Sending
// takes up to the most a UDP datagram over IPv4 carries, from the proxy's port. Terminated, the
// loop ends at once and frees the port, so the transport rebuilt after a settings change binds
// it again.
TEST(SIPSendRecvThreadTest, ExchangesWholeDatagramsWithTheProxyAndFreesItsPortAtOnce) {
    auto proxy = std::make_unique<UdpSocket>();
    ASSERT_TRUE(proxy->SetReuseAddress() && proxy->Bind(0, Loopback(2)));
    const uint16_t port = proxy->LocalPort();
    CSIPSDPMessageQueue queue;
    SIPSDPModule parser(&queue);
    std::unique_ptr<CSIPSendRecvThread> transport;  // goes first: it may be parsing into the queue
    const auto start = [&] {
        transport = std::make_unique<CSIPSendRecvThread>(true, &parser, false);
        transport->Setup("127.0.0.1", port, "127.0.0.2", port);
        transport->Resume();
    };
    const auto send = [&](UdpSocket& from, const std::string& datagram) {
        ASSERT_EQ(from.SendTo(datagram.data(), datagram.size(), {Loopback(1), port}),
                  static_cast<long>(datagram.size()));
    };
    // Waits for count queued messages and checks no more arrived.
    const auto callIds = [&](int count) {
        EXPECT_TRUE(testing_support::WaitUntil([&] { return queue.Count() >= count; }, 3000));
        EXPECT_EQ(queue.Count(), count);
        std::vector<std::string> ids;
        for (; queue.PeekHead() >= 0; queue.RemoveHead()) {
            ids.push_back(queue.MessageAt(queue.PeekHead())->CallID);
        }
        return ids;
    };
    start();
    {
        // Another address on the proxy's port, the proxy's host on another port, and another
        // address on another port.
        UdpSocket strangers[3];
        ASSERT_TRUE(strangers[0].SetReuseAddress() && strangers[0].Bind(port, Loopback(3)));
        ASSERT_TRUE(strangers[1].Bind(0, Loopback(2)) && strangers[2].Bind(0, Loopback(3)));
        for (UdpSocket& stranger : strangers) {
            send(stranger, Ok("stranger"));
        }
    }
    for (const std::string& datagram : {std::string("BYE sip:\r\n"), std::string("BYE sip:a\r\n"),
                                        Ok("too-long", 2049), Ok("fits", 2048), Ok("last")}) {
        send(*proxy, datagram);
    }
    // Datagrams reach the socket in order: once the last is queued, the others were seen.
    EXPECT_EQ(callIds(3), (std::vector<std::string>{"", "fits", "last"}));

    const std::string request = "REGISTER sip:op.voip.test SIP/2.0\r\nCSeq: 1 REGISTER\r\n\r\n";
    std::vector<char> buffer(70000);
    for (const std::string& datagram : {request, std::string(65507, 'L')}) {
        ASSERT_TRUE(transport->SendDatagram(datagram.data(), datagram.size()));
        ASSERT_EQ(proxy->WaitReadable(3000), UdpSocket::WaitResult::Readable);
        platform::Ipv4Endpoint from;
        const long received = proxy->ReceiveFrom(buffer.data(), buffer.size(), &from);
        EXPECT_EQ(std::string(buffer.data(), size_t(std::max(received, 0L))), datagram);
        EXPECT_EQ(from.port, port);
    }
    EXPECT_FALSE(transport->SendDatagram(buffer.data(), 65508));
    // A proxy given by name is never sent to.
    CSIPSendRecvThread named(true, &parser);
    named.Setup("127.0.0.1", 0, "op.voip.test", port);
    EXPECT_FALSE(named.SendDatagram("OPTIONS", 7));

    const auto before = std::chrono::steady_clock::now();
    transport->Terminate();
    transport->WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::milliseconds(CSIPSendRecvThread::kWaitMs / 3));  // well within a wait
    EXPECT_TRUE(transport->Finished());
    EXPECT_FALSE(transport->SendDatagram("OPTIONS", 7));
    proxy = std::make_unique<UdpSocket>();
    // Without address reuse this bind fails while any socket still holds the port.
    EXPECT_TRUE(UdpSocket().Bind(port));
    ASSERT_TRUE(proxy->SetReuseAddress() && proxy->Bind(port, Loopback(2)));
    start();
    send(*proxy, Ok("after-restart"));
    EXPECT_EQ(callIds(1), std::vector<std::string>{"after-restart"});
}

}  // namespace
