#include "media/rtp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

#include "media/UDPReceiveThread.h"
#include "media/rtp_helper.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;
using Bytes = std::vector<uint8_t>;
using Session = std::unique_ptr<rtp_session, decltype(&rtp_close)>;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool PortIsFree(uint16_t port) {
    return UdpSocket().Bind(port);
}
// As the call manager opens one, on "any" (port 0: the first free pair from 9000); unopened, for
// parsing only.
Session OpenSession(bool open = true) {
    Session rtp(new rtp_session(), rtp_close);
    EXPECT_TRUE(open ? rtp_open(rtp.get(), 0, 0) : srcs_init(&rtp->srcs) == 0);
    return rtp;
}
// A G.729 datagram, payload bytes 0xA0, 0xA1...; `extra` is the padding count (P bit) or the
// extension's words (X bit).
Bytes Datagram(uint32_t ssrc, uint16_t seq, size_t payload = 20, uint8_t first = 0x80,
               uint8_t extra = 0) {
    const uint32_t words[3] = {uint32_t{first} << 24 | 18 << 16 | seq, seq * 160u, ssrc};
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

// Valid calls must not trip the library's own assertions.
TEST(RtpTest, ParsingFindsThePayloadAndValidatesEachSourcesSequenceUpToTheCeiling) {
    static int assertions = 0;
    rtp_set_assert_handler([](const char*, const char*, int) { ++assertions; });
    rtp_packet packet{};
    ASSERT_EQ(rtp_packet_init(&packet, 40), 0);
    const auto parse = [&](rtp_session* rtp, const Bytes& d) {
        return rtp_parse(rtp, &packet, d.data(), static_cast<int>(d.size()));
    };
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
        {"oversized", Datagram(1, 10, 105), -1, 0, RTP_ESOCKET},
        {"extension past the end", Datagram(1, 10, 28, 0x90, 9), -1, 0, RTP_ESOCKET},
    };
    for (const auto& c : cases) {
        Session rtp = OpenSession(false);
        rtp->error = RTP_ESEQ;
        ASSERT_EQ(parse(rtp.get(), c.datagram), c.result) << c.what;
        const bool ok = c.result > 0;
        EXPECT_EQ(std::pair(rtp->error.load(), rtp->srcs.count),
                  std::pair(ok ? RTP_OK : c.len, ok ? 1u : 0u))
            << c.what;
        if (ok) {
            EXPECT_EQ(
                std::tuple(packet.data - packet.buf, packet.len, packet.data[0], rtp->last_seq),
                std::tuple(c.offset, c.len, 0xA0 + c.offset - 12, 10))
                << c.what;
        }
    }
    // Each step: seq, accepted (+) or refused (-), then the source's probation, max_seq, received
    // and cycles after it. Past the table's ceiling a new source is refused, the known ones kept.
    const std::pair<const char*, const char*> sequences[] = {
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
    for (const auto& [what, steps] : sequences) {
        Session rtp = OpenSession(false);
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            const int result = parse(rtp.get(), Datagram(7, uint16_t(std::stoi(step))));
            const rtp_source* s = srcs_find(&rtp->srcs, rtp->last_ssrc);
            ASSERT_NE(s, nullptr);
            std::ostringstream got;
            got << std::stoi(step) << (result == 32 ? '+' : '-') << s->probation << ','
                << s->max_seq << ',' << s->received << ',' << s->cycles;
            EXPECT_EQ(got.str(), step) << what;
            EXPECT_EQ(rtp->error, result < 0 ? RTP_ESEQ : RTP_OK) << what;
        }
    }
    Session rtp = OpenSession(false);
    for (uint32_t ssrc = 1; ssrc <= RTP_MAX_SOURCES + 1; ++ssrc) {
        EXPECT_EQ(parse(rtp.get(), Datagram(ssrc * 11, 100)), ssrc <= RTP_MAX_SOURCES ? 32 : -1);
    }
    EXPECT_EQ(std::pair(rtp->srcs.count, rtp->error.load()),
              std::pair(RTP_MAX_SOURCES, int{RTP_ESEQ}));
    EXPECT_EQ(srcs_find(&rtp->srcs, htonl(17 * 11)), &rtp->srcs.src[16]);
    EXPECT_EQ(parse(rtp.get(), Datagram(11, 101)), 32);
    rtp_packet_free(&packet);
    rtp_set_assert_handler(nullptr);
    EXPECT_EQ(assertions, 0);
}

// The session opens on a random sequence with the SSRC's low half random (their bytes in the
// header: DevicesTest), on port 0 at the first free pair from 9000, keeping the even one.
TEST(ReceiveThreadTest, KeepsOnePeersSourceReordersAndHoldsANewSourcesEarlyPackets) {
    const platform::LibraryHandle codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    UdpSocket peer, intruder;
    ASSERT_TRUE(peer.Bind(0, kLoopback) && intruder.Bind(0, kLoopback));
    testing_support::FixedRandom random({1234, 0x5678});
    const bool searchable = PortIsFree(9000) && PortIsFree(9001);
    Session session = OpenSession();
    EXPECT_EQ(std::pair(session->seq, session->ssrc & 0xFFFF), std::pair(uint16_t{1234}, 0x5678u));
    if (searchable) {
        EXPECT_EQ(std::tuple(session->local.port, PortIsFree(9000), PortIsFree(9001)),
                  std::tuple(9000, false, true));
    }
    // Unconnected: the thread's own source filter keeps strangers out.
    session->remote = Ipv4Endpoint{kLoopback, peer.LocalPort()};
    CUDPReceiveThread thread(codec, 18, session.get());
    thread.Resume();
    // The source (x: the peer's address at another port), seq, then the frames held: a new
    // source's packet far from its first waits until the source is valid, then each is put in
    // its place; a duplicate; another source.
    std::istringstream steps("x9-0 a20-2 a40-2 a38-6 a39-8 a39-8 b41-8 a41-10");
    char source, dash;
    int seq, frames;
    while (steps >> source >> seq >> dash >> frames) {
        const Bytes d = Datagram(source, uint16_t(seq));
        const uint32_t before = thread.DatagramsReceived();
        ASSERT_EQ((source == 'x' ? intruder : peer)
                      .SendTo(d.data(), d.size(), {kLoopback, session->local.port}),
                  static_cast<long>(d.size()));
        ASSERT_TRUE(
            testing_support::WaitUntil([&] { return thread.DatagramsReceived() > before; }));
        EXPECT_EQ(thread.Held(), 160 * frames) << source << seq;
    }
}

}  // namespace
