#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/HostAddresses.h"
#include "platform/UdpSocket.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;

uint32_t Loopback(const char* dotted) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseDottedIpv4(dotted, &address));
    return address;
}

TEST(UdpSocketTest, TwoSocketsShareAPortOnDifferentLoopbackAddressesWithReuse) {
    UdpSocket phone;  // the phone's wildcard socket
    ASSERT_TRUE(phone.SetReuseAddress());
    ASSERT_TRUE(phone.Bind(0));
    const uint16_t port = phone.LocalPort();

    UdpSocket peer;  // a proxy on 127.0.0.2 with the same port
    ASSERT_TRUE(peer.SetReuseAddress());
    ASSERT_TRUE(peer.Bind(port, Loopback("127.0.0.2")));

    const char hello[] = "hello proxy";
    ASSERT_EQ(phone.SendTo(hello, sizeof(hello), {Loopback("127.0.0.2"), port}),
              static_cast<long>(sizeof(hello)));
    ASSERT_EQ(peer.WaitReadable(2000), UdpSocket::WaitResult::Readable);
    char buffer[64] = {};
    Ipv4Endpoint from;
    ASSERT_EQ(peer.ReceiveFrom(buffer, sizeof(buffer), &from), static_cast<long>(sizeof(hello)));
    EXPECT_STREQ(buffer, hello);
    EXPECT_EQ(from.port, port);

    ASSERT_EQ(peer.SendTo("back", 4, {Loopback("127.0.0.1"), port}), 4);
    ASSERT_EQ(phone.WaitReadable(2000), UdpSocket::WaitResult::Readable);
    ASSERT_EQ(phone.ReceiveFrom(buffer, sizeof(buffer), &from), 4);
    EXPECT_EQ(from, (Ipv4Endpoint{Loopback("127.0.0.2"), port}));
}

TEST(UdpSocketTest, WakeInterruptsAWaitAndATimeoutIsReported) {
    UdpSocket socket;
    ASSERT_TRUE(socket.Bind(0, Loopback("127.0.0.1")));
    EXPECT_EQ(socket.WaitReadable(10), UdpSocket::WaitResult::Timeout);

    std::thread waker([&] { socket.Wake(); });
    EXPECT_EQ(socket.WaitReadable(10'000), UdpSocket::WaitResult::Woken);
    waker.join();
}

TEST(HostAddressesTest, ResolvesDottedTextsAndListsLoopbackLast) {
    uint32_t address = 0;
    char text[16];
    EXPECT_STREQ(platform::FormatDottedIpv4(Loopback("192.168.1.20"), text), "192.168.1.20");
    EXPECT_FALSE(platform::ParseDottedIpv4("op.voip.test", &address));
    EXPECT_FALSE(platform::ParseDottedIpv4("", &address));
    EXPECT_EQ(platform::ResolveFirstIpv4("127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(platform::ResolveFirstIpv4(""), "");
    EXPECT_EQ(platform::ResolveFirstIpv4("no-such-host.invalid"), "");

    const auto addresses = platform::LocalIpv4Addresses(5);
    ASSERT_FALSE(addresses.empty());
    EXPECT_LE(addresses.size(), 5u);
    bool seenLoopback = false;
    for (const auto& address : addresses) {
        const bool loopback = address.rfind("127.", 0) == 0;
        EXPECT_FALSE(seenLoopback && !loopback) << "a non-loopback address after loopback";
        seenLoopback = seenLoopback || loopback;
    }
}

}  // namespace
