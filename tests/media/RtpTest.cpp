#include "media/rtp.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "media/rtp_helper.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;

uint32_t Address(const char* dotted) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseDottedIpv4(dotted, &address));
    return address;
}

// A port that was free a moment ago, from the system's ephemeral range.
uint16_t FreePort() {
    UdpSocket probe;
    EXPECT_TRUE(probe.Bind(0, Address("127.0.0.1")));
    return probe.LocalPort();
}

bool PortIsFree(uint16_t port) {
    UdpSocket probe;
    return probe.Bind(port);
}

struct SessionCloser {
    void operator()(rtp_session* rtp) const { rtp_close(rtp); }
};
using Session = std::unique_ptr<rtp_session, SessionCloser>;

// A session as the call manager makes it: local address "any", opened on a given port.
Session OpenSession(uint16_t port, uint32_t ssrc = 0) {
    Session rtp(new rtp_session());
    EXPECT_TRUE(rtp_open(rtp.get(), port, ssrc));
    return rtp;
}

// A session for parsing only: no socket.
Session ParseSession() {
    Session rtp(new rtp_session());
    srcs_init(&rtp->srcs);
    return rtp;
}

std::vector<uint8_t> Datagram(uint32_t ssrc, uint16_t seq, size_t payload = 20,
                              uint8_t first = 0x80) {
    std::vector<uint8_t> bytes(12 + payload, 0);
    bytes[0] = first;
    bytes[1] = 18;
    bytes[2] = static_cast<uint8_t>(seq >> 8);
    bytes[3] = static_cast<uint8_t>(seq);
    bytes[4] = 0x00;
    bytes[5] = 0x01;
    bytes[6] = 0x02;
    bytes[7] = 0x03;
    bytes[8] = static_cast<uint8_t>(ssrc >> 24);
    bytes[9] = static_cast<uint8_t>(ssrc >> 16);
    bytes[10] = static_cast<uint8_t>(ssrc >> 8);
    bytes[11] = static_cast<uint8_t>(ssrc);
    for (size_t i = 0; i < payload; ++i) {
        bytes[12 + i] = static_cast<uint8_t>(0xA0 + i);
    }
    return bytes;
}

class RtpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        assertions().clear();
        rtp_set_assert_handler(&RtpTest::Record);
        ASSERT_EQ(rtp_packet_init(&packet_, 40), 0);
    }
    void TearDown() override {
        rtp_packet_free(&packet_);
        rtp_set_assert_handler(nullptr);
        EXPECT_TRUE(assertions().empty()) << "unexpected assertion: " << assertions().front();
    }

    static std::vector<std::string>& assertions() {
        static std::vector<std::string> texts;
        return texts;
    }
    static void Record(const char* text, const char*, int) { assertions().push_back(text); }
    // The assertion texts raised since the last call.
    static std::vector<std::string> TakeAssertions() {
        std::vector<std::string> taken;
        taken.swap(assertions());
        return taken;
    }

    int Parse(rtp_session* rtp, const std::vector<uint8_t>& datagram) {
        return rtp_parse(rtp, &packet_, datagram.data(), static_cast<int>(datagram.size()));
    }
    int Parse(rtp_session* rtp, uint32_t ssrc, uint16_t seq) {
        return Parse(rtp, Datagram(ssrc, seq));
    }

    rtp_packet packet_{};
};

// --- Sending -------------------------------------------------------------------------------

TEST_F(RtpTest, SentPacketCarriesTheExactHeaderOnALoopbackSocket) {
    testing_support::FixedRandom random({1234, 0x5678});
    UdpSocket peer;
    ASSERT_TRUE(peer.Bind(0, Address("127.0.0.1")));
    Session rtp = OpenSession(FreePort());
    ASSERT_TRUE(rtp);
    EXPECT_EQ(rtp->seq, 1234);
    EXPECT_EQ(rtp->ssrc & 0xFFFF, 0x5678u);
    rtp->ssrc = 0x11223344;  // fixed, to check its bytes
    ASSERT_EQ(rtp_connect(rtp.get(), "127.0.0.1", peer.LocalPort()), 0);
    EXPECT_EQ(rtp->remote, (Ipv4Endpoint{Address("127.0.0.1"), peer.LocalPort()}));

    // What the capture device does for each pair of frames.
    rtp_packet out{};
    ASSERT_EQ(rtp_packet_init(&out, 40), 0);
    EXPECT_EQ(out.size, 116u);
    out.len = 20;
    rtp_param param{};
    param.ts = 0xA1B2C3D4;
    param.pt = 18;
    ASSERT_EQ(rtp_set_header(&out, &param), 0);
    for (int i = 0; i < 20; ++i) {
        out.data[i] = static_cast<uint8_t>(i + 1);
    }
    ASSERT_EQ(rtp_send(rtp.get(), &out), 32);
    rtp_packet_free(&out);
    EXPECT_EQ(rtp->seq, 1235);

    ASSERT_EQ(peer.WaitReadable(2000), UdpSocket::WaitResult::Readable);
    uint8_t got[200] = {};
    Ipv4Endpoint from;
    ASSERT_EQ(peer.ReceiveFrom(got, sizeof(got), &from), 32);
    const uint8_t header[12] = {0x80, 0x12, 0x04, 0xD3,  // 1235
                                0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(std::vector<uint8_t>(got, got + 12), std::vector<uint8_t>(header, header + 12));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(got[12 + i], i + 1);
    }
    EXPECT_EQ(from.port, rtp->local.port);
}

TEST_F(RtpTest, SendSequenceWrapsAndAGivenSequenceOrSsrcIsKept) {
    UdpSocket peer;
    ASSERT_TRUE(peer.Bind(0, Address("127.0.0.1")));
    Session rtp = OpenSession(FreePort(), 0xCAFE0001);
    EXPECT_EQ(rtp->ssrc, 0xCAFE0001u);
    ASSERT_EQ(rtp_connect(rtp.get(), "127.0.0.1", peer.LocalPort()), 0);
    rtp->seq = 65533;

    auto send = [&](uint16_t seq, uint32_t ssrc) {
        rtp_packet out{};
        EXPECT_EQ(rtp_packet_init(&out, 40), 0);
        out.len = 20;
        rtp_param param{};
        param.pt = 18;
        param.seq = seq;
        param.ssrc = ssrc;
        rtp_set_header(&out, &param);
        EXPECT_EQ(rtp_send(rtp.get(), &out), 32);
        rtp_packet_free(&out);
        uint8_t got[64];
        EXPECT_EQ(peer.WaitReadable(2000), UdpSocket::WaitResult::Readable);
        EXPECT_EQ(peer.ReceiveFrom(got, sizeof(got), nullptr), 32);
        return std::vector<uint8_t>(got, got + 12);
    };
    std::vector<uint16_t> sequence;
    for (int i = 0; i < 4; ++i) {
        const std::vector<uint8_t> header = send(0, 0);
        sequence.push_back(static_cast<uint16_t>(header[2] << 8 | header[3]));
        EXPECT_EQ(header[8], 0xCA);
        EXPECT_EQ(header[11], 0x01);
    }
    EXPECT_EQ(sequence, (std::vector<uint16_t>{65534, 65535, 0, 1}));

    // A packet that brings its own numbers keeps them, and the counter follows.
    const std::vector<uint8_t> own = send(500, 0x01020304);
    EXPECT_EQ(own[2], 0x01);
    EXPECT_EQ(own[3], 0xF4);
    EXPECT_EQ(own[8], 0x01);
    EXPECT_EQ(own[11], 0x04);
    EXPECT_EQ(rtp->seq, 500);
}

TEST_F(RtpTest, SetHeaderPlacesMarkerCsrcCountAndPayload) {
    rtp_param param{};
    param.marker = 3;  // only bit 0 counts
    param.pt = 0x80 | 18;
    param.cc = 0x12;  // only the low 4 bits count
    ASSERT_EQ(rtp_set_header(&packet_, &param), 0);
    EXPECT_EQ(packet_.buf[0], 0x82);
    EXPECT_EQ(packet_.buf[1], 0x92);
    EXPECT_EQ(packet_.data, packet_.buf + 20);
}

TEST_F(RtpTest, SendRefusesAPacketLongerThanItsBuffer) {
    UdpSocket peer;
    ASSERT_TRUE(peer.Bind(0, Address("127.0.0.1")));
    Session rtp = OpenSession(FreePort());
    ASSERT_EQ(rtp_connect(rtp.get(), "127.0.0.1", peer.LocalPort()), 0);
    packet_.len = 105;  // 12 + 105 > 116
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    packet_.len = 104;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), 116);
}

// --- Opening, connecting, closing ------------------------------------------------------------

TEST_F(RtpTest, OpenFailsWhenTheConfiguredPortIsTaken) {
    UdpSocket holder;
    ASSERT_TRUE(holder.Bind(0));
    Session rtp(new rtp_session());
    EXPECT_FALSE(rtp_open(rtp.get(), holder.LocalPort(), 0));
    EXPECT_EQ(rtp->sock, nullptr);
}

TEST_F(RtpTest, PortSearchBindsNineThousandAndKeepsNoSecondSocket) {
    if (!PortIsFree(9000) || !PortIsFree(9001)) {
        GTEST_SKIP() << "ports 9000/9001 are in use on this machine";
    }
    Session rtp = OpenSession(0);
    ASSERT_TRUE(rtp && rtp->sock);
    EXPECT_EQ(rtp->local.port, 9000);
    EXPECT_EQ(rtp->sock->LocalPort(), 9000);
    EXPECT_FALSE(PortIsFree(9000));
    // The odd port only proved the pair free; nothing holds it for the session.
    EXPECT_TRUE(PortIsFree(9001));
    rtp.reset();
    EXPECT_TRUE(PortIsFree(9000));
}

TEST_F(RtpTest, PortSearchSkipsAPairWhoseOddPortIsTaken) {
    if (!PortIsFree(9000) || !PortIsFree(9002) || !PortIsFree(9003)) {
        GTEST_SKIP() << "ports 9000-9003 are in use on this machine";
    }
    UdpSocket holder;
    if (!holder.Bind(9001)) {
        GTEST_SKIP() << "port 9001 is in use on this machine";
    }
    Session rtp = OpenSession(0);
    EXPECT_EQ(rtp->local.port, 9002);
    EXPECT_TRUE(PortIsFree(9000));  // the half of the failed pair was let go
}

TEST_F(RtpTest, ConnectResolvesNamesAndLeavesTheErrorWhenTheyDoNotResolve) {
    Session rtp = OpenSession(FreePort());
    ASSERT_EQ(rtp_connect(rtp.get(), "localhost", 4000), 0);
    EXPECT_EQ(rtp->remote, (Ipv4Endpoint{Address("127.0.0.1"), 4000}));

    rtp->error = RTP_EVERSION;
    EXPECT_EQ(rtp_connect(rtp.get(), "", 4000), -1);
    EXPECT_EQ(rtp->error, RTP_EVERSION);

    uint32_t address = 0;
    EXPECT_EQ(rtp_resolve("127.0.0.9", &address), 0);
    EXPECT_EQ(address, Address("127.0.0.9"));
}

TEST_F(RtpTest, ConnectWithoutASocketReportsTheConnectError) {
    Session rtp = ParseSession();
    EXPECT_EQ(rtp_connect(rtp.get(), "127.0.0.1", 4000), -1);
    EXPECT_EQ(rtp->error, RTP_ECONNECT);
}

TEST_F(RtpTest, MissingArgumentsAreAssertedAndRefused) {
    Session rtp = ParseSession();
    rtp_param param{};
    uint8_t byte = 0;

    EXPECT_EQ(rtp_connect(rtp.get(), nullptr, 4000), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    EXPECT_EQ(TakeAssertions(), std::vector<std::string>{"host != NULL"});

    rtp->error = RTP_OK;
    EXPECT_EQ(rtp_send(rtp.get(), nullptr), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    EXPECT_EQ(TakeAssertions(), std::vector<std::string>{"rtp != NULL && pkt != NULL"});

    rtp->error = RTP_OK;
    EXPECT_EQ(rtp_parse(rtp.get(), nullptr, &byte, 1), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    EXPECT_EQ(TakeAssertions(), std::vector<std::string>{"rtp != NULL && pkt != NULL"});

    EXPECT_EQ(rtp_send(nullptr, &packet_), -1);
    EXPECT_EQ(rtp_parse(nullptr, &packet_, &byte, 1), -1);
    EXPECT_EQ(rtp_close(nullptr), -1);
    EXPECT_EQ(rtp_connect(nullptr, "127.0.0.1", 1), -1);
    EXPECT_EQ(TakeAssertions(),
              (std::vector<std::string>{"rtp != NULL && pkt != NULL", "rtp != NULL && pkt != NULL",
                                        "rtp != NULL", "rtp != NULL"}));

    EXPECT_EQ(rtp_packet_free(nullptr), -1);
    EXPECT_EQ(rtp_set_header(&packet_, nullptr), -1);
    EXPECT_EQ(rtp_set_header(nullptr, &param), -1);
    EXPECT_EQ(srcs_find(nullptr, 1), nullptr);
    EXPECT_EQ(srcs_add(nullptr, 1), nullptr);
    EXPECT_EQ(update_seq(nullptr, 1), -1);
    init_seq(nullptr, 1);
    EXPECT_EQ(TakeAssertions(), (std::vector<std::string>{"pkt", "pkt && param", "pkt && param",
                                                          "srcs", "srcs", "src", "src"}));

    // A packet whose payload pointer does not lie past the header is not sent.
    packet_.data = packet_.buf;
    packet_.len = 20;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(TakeAssertions(), std::vector<std::string>{"pkt->data > pkt->buf"});
}

// --- Parsing ---------------------------------------------------------------------------------

TEST_F(RtpTest, ParseUnpacksThePayloadAndRemembersTheLastPacket) {
    Session rtp = ParseSession();
    rtp->error = RTP_ESEQ;
    const std::vector<uint8_t> datagram = Datagram(0x0A0B0C0D, 4321);
    ASSERT_EQ(Parse(rtp.get(), datagram), 32);
    EXPECT_EQ(rtp->error, RTP_OK);
    EXPECT_EQ(packet_.data, packet_.buf + 12);
    EXPECT_EQ(packet_.len, 20);
    EXPECT_EQ(packet_.data[0], 0xA0);
    EXPECT_EQ(rtp->last_seq, 4321);
    EXPECT_EQ(rtp->last_ts, 0x00010203u);
    // The SSRC stays in the header's byte order.
    const uint8_t* ssrcBytes = reinterpret_cast<const uint8_t*>(&rtp->last_ssrc);
    EXPECT_EQ(ssrcBytes[0], 0x0A);
    EXPECT_EQ(ssrcBytes[3], 0x0D);
    ASSERT_EQ(rtp->srcs.count, 1u);
    EXPECT_EQ(rtp->srcs.src[0].ssrc, rtp->last_ssrc);
}

TEST_F(RtpTest, CsrcListAndPaddingAreTakenOffThePayload) {
    Session rtp = ParseSession();
    std::vector<uint8_t> withCsrcs = Datagram(1, 10, 28, 0x82);  // CC = 2: 8 bytes of CSRCs
    ASSERT_EQ(Parse(rtp.get(), withCsrcs), 40);
    EXPECT_EQ(packet_.data - packet_.buf, 20);
    EXPECT_EQ(packet_.len, 20);

    std::vector<uint8_t> padded = Datagram(1, 11, 24, 0xA0);
    padded.back() = 4;
    ASSERT_EQ(Parse(rtp.get(), padded), 36);
    EXPECT_EQ(packet_.data - packet_.buf, 12);
    EXPECT_EQ(packet_.len, 20);

    std::vector<uint8_t> overPadded = Datagram(1, 12, 3, 0xA0);
    overPadded.back() = 4;
    EXPECT_EQ(Parse(rtp.get(), overPadded), -1);
    EXPECT_EQ(rtp->error, RTP_EPADDING);
}

TEST_F(RtpTest, HeaderExtensionIsSkipped) {
    Session rtp = ParseSession();
    std::vector<uint8_t> datagram = Datagram(1, 10, 28, 0x90);
    datagram[12 + 2] = 0;
    datagram[12 + 3] = 1;  // one extension word after the 4-byte extension header
    ASSERT_EQ(Parse(rtp.get(), datagram), 40);
    EXPECT_EQ(packet_.data - packet_.buf, 20);
    EXPECT_EQ(packet_.len, 20);

    datagram[12 + 3] = 9;  // more words than the datagram holds
    EXPECT_EQ(Parse(rtp.get(), datagram), -1);
}

TEST_F(RtpTest, VersionOtherThanTwoIsRefused) {
    Session rtp = ParseSession();
    EXPECT_EQ(Parse(rtp.get(), Datagram(1, 10, 20, 0x40)), -1);
    EXPECT_EQ(rtp->error, RTP_EVERSION);
    EXPECT_EQ(Parse(rtp.get(), Datagram(1, 10, 20, 0x7F)), -1);
    EXPECT_EQ(rtp->error, RTP_EVERSION);
    EXPECT_EQ(rtp->srcs.count, 0u);
}

TEST_F(RtpTest, ShortOversizedAndNegativeLengthsAreRefused) {
    Session rtp = ParseSession();
    const std::vector<uint8_t> full = Datagram(1, 10, 104);  // exactly the 116-byte buffer
    ASSERT_EQ(Parse(rtp.get(), full), 116);

    const std::vector<uint8_t> tooLong = Datagram(1, 11, 105);
    EXPECT_EQ(Parse(rtp.get(), tooLong), -1);
    EXPECT_EQ(rtp->error, RTP_ESOCKET);

    const std::vector<uint8_t> tooShort(11, 0x80);
    EXPECT_EQ(Parse(rtp.get(), tooShort), -1);
    EXPECT_EQ(rtp->error, RTP_ESOCKET);
    EXPECT_EQ(rtp_parse(rtp.get(), &packet_, full.data(), -1), -1);
    EXPECT_EQ(rtp->error, RTP_ESOCKET);

    // CC = 15 announces 60 bytes of CSRCs that a 32-byte datagram cannot hold.
    EXPECT_EQ(Parse(rtp.get(), Datagram(1, 11, 20, 0x8F)), -1);
    EXPECT_EQ(rtp->srcs.count, 1u);  // none of the refused ones was taken for a source
}

// --- Sequence validation ---------------------------------------------------------------------

TEST_F(RtpTest, NewSourceStaysOnProbationUntilTwoConsecutivePackets) {
    Session rtp = ParseSession();
    EXPECT_EQ(Parse(rtp.get(), 7, 100), 32);
    rtp_source* src = srcs_find(&rtp->srcs, rtp->last_ssrc);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->probation, 1u);

    EXPECT_EQ(Parse(rtp.get(), 7, 102), -1);
    EXPECT_EQ(rtp->error, RTP_ESEQ);
    EXPECT_EQ(src->probation, 1u);
    EXPECT_EQ(src->max_seq, 102);

    EXPECT_EQ(Parse(rtp.get(), 7, 103), 32);
    EXPECT_EQ(src->probation, 0u);
    EXPECT_EQ(src->base_seq, 102u);
    EXPECT_EQ(src->received, 1u);

    EXPECT_EQ(Parse(rtp.get(), 7, 104), 32);
    EXPECT_EQ(src->received, 2u);
    EXPECT_EQ(src->max_seq, 104);
}

class ValidatedSourceTest : public RtpTest {
  protected:
    // A source that has passed probation, tracking from max_seq.
    rtp_source* Validate(rtp_session* rtp, uint16_t maxSeq) {
        EXPECT_EQ(Parse(rtp, 9, static_cast<uint16_t>(maxSeq - 1)), 32);
        EXPECT_EQ(Parse(rtp, 9, maxSeq), 32);
        rtp_source* src = srcs_find(&rtp->srcs, rtp->last_ssrc);
        EXPECT_EQ(src->probation, 0u);
        EXPECT_EQ(src->max_seq, maxSeq);
        return src;
    }
};

TEST_F(ValidatedSourceTest, TwoJumpsInARowRestartTheTracking) {
    Session rtp = ParseSession();
    rtp_source* src = Validate(rtp.get(), 1000);
    EXPECT_EQ(Parse(rtp.get(), 9, 5000), -1);
    EXPECT_EQ(rtp->error, RTP_ESEQ);
    EXPECT_EQ(src->bad_seq, 5001u);
    EXPECT_EQ(src->max_seq, 1000);

    EXPECT_EQ(Parse(rtp.get(), 9, 5001), 32);
    EXPECT_EQ(src->max_seq, 5001);
    EXPECT_EQ(src->base_seq, 5000u);
    EXPECT_EQ(src->received, 1u);
}

TEST_F(ValidatedSourceTest, WrapCountsACycle) {
    Session rtp = ParseSession();
    rtp_source* src = Validate(rtp.get(), 65530);
    EXPECT_EQ(Parse(rtp.get(), 9, 3), 32);
    EXPECT_EQ(src->cycles, 65536u);
    EXPECT_EQ(src->max_seq, 3);
}

TEST_F(ValidatedSourceTest, SlightlyLatePacketIsAcceptedWithoutMovingTheTracking) {
    Session rtp = ParseSession();
    rtp_source* src = Validate(rtp.get(), 1000);
    const uint32_t received = src->received;
    EXPECT_EQ(Parse(rtp.get(), 9, 990), 32);
    EXPECT_EQ(src->received, received + 1);
    EXPECT_EQ(src->max_seq, 1000);
    EXPECT_EQ(src->cycles, 0u);
}

TEST_F(RtpTest, InitSeqKeepsProbation) {
    rtp_source src{};
    src.probation = 1;
    src.received = 5;
    init_seq(&src, 0);
    EXPECT_EQ(src.probation, 1u);
    EXPECT_EQ(src.base_seq, 0xFFFFFFFFu);
    EXPECT_EQ(src.bad_seq, 65537u);
    EXPECT_EQ(src.received, 0u);
}

// --- Source table ----------------------------------------------------------------------------

TEST_F(RtpTest, SourceTableDoublesAndKeepsTheOrderOfFirstSight) {
    rtp_srcs table{};
    ASSERT_EQ(srcs_init(&table), 0);
    EXPECT_EQ(table.size, 1u);
    EXPECT_EQ(table.count, 0u);
    for (uint32_t ssrc = 1; ssrc <= 32; ++ssrc) {
        rtp_source* added = srcs_add(&table, ssrc * 11);
        ASSERT_NE(added, nullptr);
        EXPECT_EQ(added->probation, 1u);
        EXPECT_EQ(added->max_seq, 0);
    }
    EXPECT_EQ(table.size, 32u);
    ASSERT_NE(srcs_add(&table, 33 * 11), nullptr);
    EXPECT_EQ(table.size, 64u);
    EXPECT_EQ(table.count, 33u);
    for (uint32_t i = 0; i < 33; ++i) {
        EXPECT_EQ(table.src[i].ssrc, (i + 1) * 11);
    }
    EXPECT_EQ(srcs_find(&table, 17 * 11), &table.src[16]);
    EXPECT_EQ(srcs_find(&table, 5), nullptr);
    srcs_free(&table);
    EXPECT_EQ(table.src, nullptr);
}

TEST_F(RtpTest, MakeSsrcCombinesThreadAndRandomBits) {
    testing_support::FixedRandom random({0x7ABC});
    const uint32_t a = rtp_make_ssrc();
    const uint32_t b = rtp_make_ssrc();
    EXPECT_EQ(a & 0xFFFF, 0x7ABCu);
    EXPECT_EQ(a, b);  // same thread, same random value
}

}  // namespace
