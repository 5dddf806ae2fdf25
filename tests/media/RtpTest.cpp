#include "media/rtp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "media/CodecBinding.h"
#include "media/UDPReceiveThread.h"
#include "media/rtp_helper.h"
#include "platform/DynamicLibrary.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;
using Bytes = std::vector<uint8_t>;
constexpr int kG729 = 18;

platform::LibraryHandle Codec() {
    static platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    return library;
}
const uint32_t kLoopback = [] {
    uint32_t address = 0;
    return platform::ParseDottedIpv4("127.0.0.1", &address) ? address : 0;
}();
bool PortIsFree(uint16_t port) {
    return UdpSocket().Bind(port);
}
uint16_t FreePort() {
    UdpSocket probe;
    EXPECT_TRUE(probe.Bind(0, kLoopback));
    return probe.LocalPort();
}
using Session = std::unique_ptr<rtp_session, decltype(&rtp_close)>;
// As the call manager opens one, on "any"; port 0 opens none, for parsing only.
Session OpenSession(uint16_t port) {
    Session rtp(new rtp_session(), rtp_close);
    EXPECT_TRUE(port == 0 ? srcs_init(&rtp->srcs) == 0 : rtp_open(rtp.get(), port, 0));
    return rtp;
}
// A G.729 datagram, payload bytes 0xA0, 0xA1...; `extra` is the padding count (P bit) or the
// extension's words (X bit).
Bytes Datagram(uint32_t ssrc, uint16_t seq, size_t payload = 20, uint8_t first = 0x80,
               uint8_t extra = 0) {
    const uint32_t words[3] = {uint32_t{first} << 24 | kG729 << 16 | seq, seq * 160u, ssrc};
    Bytes bytes(12 + payload);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(i < 12 ? words[i / 4] >> (24 - 8 * (i % 4)) : 0xA0 + i - 12);
    }
    if (first & 0x20) {
        bytes.back() = extra;
    }
    if (first & 0x10) {
        bytes[14] = 0, bytes[15] = extra;
    }
    return bytes;
}

class RtpTest : public ::testing::Test {
protected:
    void SetUp() override {
        assertions = 0;
        rtp_set_assert_handler([](const char*, const char*, int) { ++assertions; });
        ASSERT_EQ(rtp_packet_init(&packet_, 40), 0);
    }
    void TearDown() override {
        rtp_packet_free(&packet_);
        rtp_set_assert_handler(nullptr);
        EXPECT_EQ(assertions, 0) << "valid calls must not trip the library's own assertions";
    }
    int Parse(rtp_session* rtp, const Bytes& d) {
        return rtp_parse(rtp, &packet_, d.data(), static_cast<int>(d.size()));
    }
    static inline int assertions = 0;
    rtp_packet packet_{};
};

// Also: the session's address is resolved, an unopened or unnamed one is refused, and port 0
// takes the first free one from 9000.
TEST_F(RtpTest, SentPacketsCarryTheExactHeaderAndTheSequenceWraps) {
    testing_support::FixedRandom random({1234, 0x5678});
    UdpSocket peer, intruder;
    ASSERT_TRUE(peer.Bind(0, kLoopback));
    ASSERT_TRUE(intruder.Bind(0, kLoopback));
    Session rtp = OpenSession(FreePort());
    EXPECT_EQ(rtp->ssrc & 0xFFFF, 0x5678u);
    rtp->ssrc = 0x11223344;
    ASSERT_EQ(rtp_connect(rtp.get(), "localhost", peer.LocalPort()), 0);
    EXPECT_EQ(rtp->remote, (Ipv4Endpoint{kLoopback, peer.LocalPort()}));
    rtp_param param{};
    param.ts = 0xA1B2C3D4, param.pt = 18;
    auto send = [&] {
        packet_.len = 20;
        EXPECT_EQ(rtp_set_header(&packet_, &param), 0);
        std::iota(packet_.data, packet_.data + 20, 1);
        EXPECT_EQ(rtp_send(rtp.get(), &packet_), 32);
        Bytes got(200);
        Ipv4Endpoint from;
        EXPECT_EQ(peer.WaitReadable(2000), UdpSocket::WaitResult::Readable);
        got.resize(std::max(0L, peer.ReceiveFrom(got.data(), got.size(), &from)));
        EXPECT_EQ(from.port, rtp->local.port);
        return got;
    };
    // Numbered from one past the random start (1235).
    Bytes expected = {0x80, 0x12, 0x04, 0xD3, 0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44};
    expected.resize(32);
    std::iota(expected.begin() + 12, expected.end(), 1);
    EXPECT_EQ(send(), expected);
    rtp->seq = 65533;
    for (const uint16_t seq : {65534, 65535, 0, 1}) {
        const Bytes got = send();
        EXPECT_EQ(got[2] << 8 | got[3], seq);
    }
    packet_.len = 105;  // 12 + 105 > the 116-byte buffer
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    packet_.len = 104;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), 116);
    EXPECT_EQ(rtp_connect(rtp.get(), "", 4000), -1);
    EXPECT_EQ(rtp_connect(rtp.get(), nullptr, 4000), -1);
    EXPECT_EQ(std::exchange(assertions, 0), 1);
    Session unopened = OpenSession(0);
    EXPECT_EQ(rtp_connect(unopened.get(), "127.0.0.1", 4000), -1);
    EXPECT_EQ(unopened->error, RTP_ECONNECT);
    if (!PortIsFree(9000) || !PortIsFree(9001)) {
        GTEST_SKIP() << "ports 9000/9001 are in use on this machine";
    }
    Session searched(new rtp_session(), rtp_close), second(new rtp_session(), rtp_close);
    ASSERT_TRUE(rtp_open(searched.get(), 0, 0));
    EXPECT_EQ(searched->local.port, 9000);
    EXPECT_EQ(std::pair(PortIsFree(9000), PortIsFree(9001)), std::pair(false, true));
    EXPECT_FALSE(rtp_open(second.get(), 9000, 0));
    EXPECT_EQ(second->sock, nullptr);
}

TEST_F(RtpTest, PayloadOffsetsAndRefusedDatagrams) {
    const struct {
        const char* what;
        Bytes datagram;
        int result, offset, len;  // len: of the payload if accepted, else the error
    } cases[] = {
        {"plain", Datagram(1, 10), 32, 12, 20},
        {"CC = 2", Datagram(1, 10, 28, 0x82), 40, 20, 20},
        {"4 bytes of padding", Datagram(1, 10, 24, 0xA0, 4), 36, 12, 20},
        {"one extension word", Datagram(1, 10, 28, 0x90, 1), 40, 20, 20},
        {"exactly the 116-byte buffer", Datagram(1, 10, 104), 116, 12, 104},
        {"padding past the payload", Datagram(1, 10, 3, 0xA0, 4), -1, 0, RTP_EPADDING},
        {"version 1", Datagram(1, 10, 20, 0x40), -1, 0, RTP_EVERSION},
        {"oversized", Datagram(1, 10, 105), -1, 0, RTP_ESOCKET},
        {"shorter than a header", Bytes(11, 0x80), -1, 0, RTP_ESOCKET},
        {"CSRCs past the end", Datagram(1, 10, 20, 0x8F), -1, 0, RTP_ESOCKET},
        {"extension past the end", Datagram(1, 10, 28, 0x90, 9), -1, 0, RTP_ESOCKET},
    };
    for (const auto& c : cases) {
        Session rtp = OpenSession(0);
        rtp->error = RTP_ESEQ;
        ASSERT_EQ(Parse(rtp.get(), c.datagram), c.result) << c.what;
        const bool ok = c.result > 0;
        EXPECT_EQ(std::pair(rtp->error.load(), rtp->srcs.count),
                  std::pair(ok ? RTP_OK : c.len, ok ? 1u : 0u))
            << c.what;
        if (ok) {
            EXPECT_EQ(
                std::tuple(packet_.data - packet_.buf, packet_.len, packet_.data[0], rtp->last_seq),
                std::tuple(c.offset, c.len, 0xA0 + c.offset - 12, 10))
                << c.what;
        }
    }
}

// Each step: seq, accepted (+) or refused (-), then the source's probation, max_seq, received
// and cycles after it. Past the table's ceiling a new source is refused, the known ones kept.
TEST_F(RtpTest, SequenceValidationFollowsEachSourceUpToTheCeiling) {
    const std::pair<const char*, const char*> cases[] = {
        {"a new source needs two within eight of each other",
         "100+1,100,0,0 109-1,109,0,0 117+0,117,1,0 118+0,118,2,0"},
        {"reordered while new: validated at the highest",
         "100+1,100,0,0 5000-1,5000,0,0 4998+0,5000,1,0 4999+0,5000,2,0 5001+0,5001,3,0"},
        {"two jumps in a row restart the tracking",
         "999+1,999,0,0 1000+0,1000,1,0 5000-0,1000,1,0 5001+0,5001,1,0"},
        {"a wrap counts a cycle", "65529+1,65529,0,0 65530+0,65530,1,0 3+0,3,2,65536"},
        {"a slightly late packet is accepted without moving the tracking",
         "999+1,999,0,0 1000+0,1000,1,0 990+0,1000,2,0"},
    };
    for (const auto& [what, steps] : cases) {
        Session rtp = OpenSession(0);
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            const int result = Parse(rtp.get(), Datagram(7, uint16_t(std::stoi(step))));
            const rtp_source* s = srcs_find(&rtp->srcs, rtp->last_ssrc);
            ASSERT_NE(s, nullptr);
            std::ostringstream got;
            got << std::stoi(step) << (result == 32 ? '+' : '-') << s->probation << ','
                << s->max_seq << ',' << s->received << ',' << s->cycles;
            EXPECT_EQ(got.str(), step) << what;
            EXPECT_EQ(rtp->error, result < 0 ? RTP_ESEQ : RTP_OK) << what;
        }
    }
    Session rtp = OpenSession(0);
    for (uint32_t ssrc = 1; ssrc <= RTP_MAX_SOURCES + 1; ++ssrc) {
        EXPECT_EQ(Parse(rtp.get(), Datagram(ssrc * 11, 100)), ssrc <= RTP_MAX_SOURCES ? 32 : -1);
    }
    EXPECT_EQ(std::pair(rtp->srcs.count, rtp->error.load()),
              std::pair(RTP_MAX_SOURCES, int{RTP_ESEQ}));
    EXPECT_EQ(srcs_find(&rtp->srcs, htonl(17 * 11)), &rtp->srcs.src[16]);
    EXPECT_EQ(Parse(rtp.get(), Datagram(11, 101)), 32);
}

TEST(ReceiveThreadTest, KeepsOnePeersSourceReordersAndHoldsANewSourcesEarlyPackets) {
    ASSERT_NE(Codec(), nullptr);
    UdpSocket peer, intruder;
    ASSERT_TRUE(peer.Bind(0, kLoopback));
    ASSERT_TRUE(intruder.Bind(0, kLoopback));
    const uint32_t a = 0xAAAA0001, b = 0xBBBB0002;
    // ssrc, seq, bytes held after it; ssrc 0: ssrc 1 from the peer's address at another port.
    const std::vector<std::tuple<uint32_t, uint16_t, int>> cases[] = {
        // An overtaken frame put in place, a duplicate, another source.
        {{0, 9, 0},
         {a, 10, 320},
         {a, 11, 640},
         {a, 13, 960},
         {a, 12, 1280},
         {a, 12, 1280},
         {b, 14, 1280},
         {a, 14, 1600}},
        // A new source's packet far from the first waits until the source is valid.
        {{7, 20, 320}, {7, 40, 320}, {7, 38, 960}, {7, 39, 1280}},
    };
    for (const auto& sent : cases) {
        Session session = OpenSession(FreePort());
        // Unconnected: the thread's own source filter keeps strangers out.
        session->remote = Ipv4Endpoint{kLoopback, peer.LocalPort()};
        CUDPReceiveThread thread(Codec(), kG729, session.get());
        thread.Resume();
        for (const auto& [ssrc, seq, held] : sent) {
            const Bytes d = Datagram(ssrc ? ssrc : 1, seq);
            const uint32_t before = thread.DatagramsReceived();
            ASSERT_EQ((ssrc ? peer : intruder)
                          .SendTo(d.data(), d.size(), {kLoopback, session->local.port}),
                      static_cast<long>(d.size()));
            ASSERT_TRUE(
                testing_support::WaitUntil([&] { return thread.DatagramsReceived() > before; }));
            EXPECT_EQ(thread.Held(), held) << &sent - cases << " seq " << seq;
        }
        thread.Terminate();
        thread.WaitFor();
        EXPECT_TRUE(thread.Finished());
    }
}

}  // namespace
