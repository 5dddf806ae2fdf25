#include "media/rtp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
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
using testing_support::WaitUntil;

constexpr int kG729 = 18;

platform::LibraryHandle Codec() {
    static platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    return library;
}

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
Session OpenSession(uint16_t port) {
    Session rtp(new rtp_session());
    EXPECT_TRUE(rtp_open(rtp.get(), port, 0));
    return rtp;
}

// A session for parsing only: no socket.
Session ParseSession() {
    Session rtp(new rtp_session());
    srcs_init(&rtp->srcs);
    return rtp;
}

// A G.729 datagram; `extra` is the padding count (P bit) or extension words (X bit).
std::vector<uint8_t> Datagram(uint32_t ssrc, uint16_t seq, size_t payload = 20,
                              uint8_t first = 0x80, uint8_t extra = 0) {
    const uint32_t words[3] = {uint32_t{first} << 24 | uint32_t{kG729} << 16 | seq, seq * 160u,
                               ssrc};
    std::vector<uint8_t> bytes(12 + payload);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<uint8_t>(i < 12 ? words[i / 4] >> (24 - 8 * (i % 4)) : 0xA0 + i - 12);
    }
    if (first & 0x20) {
        bytes.back() = extra;
    }
    if (first & 0x10) {
        bytes[14] = 0;
        bytes[15] = extra;
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
    // The library's assertions raised since the last call.
    static int TakeAssertions() { return std::exchange(assertions, 0); }

    int Parse(rtp_session* rtp, const std::vector<uint8_t>& datagram) {
        return rtp_parse(rtp, &packet_, datagram.data(), static_cast<int>(datagram.size()));
    }

    static inline int assertions = 0;
    rtp_packet packet_{};
};

// --- Sending -------------------------------------------------------------------------------

TEST_F(RtpTest, SentPacketsCarryTheExactHeaderAndTheSequenceWraps) {
    testing_support::FixedRandom random({1234, 0x5678});
    UdpSocket peer;
    ASSERT_TRUE(peer.Bind(0, Address("127.0.0.1")));
    Session rtp = OpenSession(FreePort());
    EXPECT_EQ(rtp->ssrc & 0xFFFF, 0x5678u);
    rtp->ssrc = 0x11223344;  // fixed, to check its bytes
    ASSERT_EQ(rtp_connect(rtp.get(), "127.0.0.1", peer.LocalPort()), 0);

    // What the capture device does for each pair of frames; returns the datagram received.
    auto send = [&]() {
        rtp_packet out{};
        EXPECT_EQ(rtp_packet_init(&out, 40), 0);
        out.len = 20;
        rtp_param param{};
        param.ts = 0xA1B2C3D4;
        param.pt = 18;
        EXPECT_EQ(rtp_set_header(&out, &param), 0);
        for (int i = 0; i < 20; ++i) {
            out.data[i] = static_cast<uint8_t>(i + 1);
        }
        EXPECT_EQ(rtp_send(rtp.get(), &out), 32);
        rtp_packet_free(&out);
        uint8_t got[200] = {};
        Ipv4Endpoint from;
        EXPECT_EQ(peer.WaitReadable(2000), UdpSocket::WaitResult::Readable);
        EXPECT_EQ(peer.ReceiveFrom(got, sizeof(got), &from), 32);
        EXPECT_EQ(from.port, rtp->local.port);
        return std::vector<uint8_t>(got, got + 32);
    };
    // The first packet is numbered one past the random start.
    std::vector<uint8_t> expected = {0x80, 0x12, 0x04, 0xD3,  // 1235
                                     0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44};
    for (uint8_t i = 1; i <= 20; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(send(), expected);

    rtp->seq = 65533;
    std::vector<uint16_t> sequence;
    for (int i = 0; i < 4; ++i) {
        const std::vector<uint8_t> got = send();
        sequence.push_back(static_cast<uint16_t>(got[2] << 8 | got[3]));
    }
    EXPECT_EQ(sequence, (std::vector<uint16_t>{65534, 65535, 0, 1}));

    packet_.len = 105;  // 12 + 105 > the 116-byte buffer
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(rtp->error, RTP_EINVAL);
    packet_.len = 104;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), 116);
}

// --- Opening, connecting -------------------------------------------------------------------

TEST_F(RtpTest, PortSearchBindsNineThousandAndATakenPortFailsToOpen) {
    if (!PortIsFree(9000) || !PortIsFree(9001)) {
        GTEST_SKIP() << "ports 9000/9001 are in use on this machine";
    }
    Session rtp = OpenSession(0);
    ASSERT_TRUE(rtp && rtp->sock);
    EXPECT_EQ(rtp->local.port, 9000);
    EXPECT_FALSE(PortIsFree(9000));
    // The odd port only proved the pair free; nothing holds it for the session.
    EXPECT_TRUE(PortIsFree(9001));

    Session second(new rtp_session());
    EXPECT_FALSE(rtp_open(second.get(), 9000, 0));
    EXPECT_EQ(second->sock, nullptr);
}

TEST_F(RtpTest, ConnectResolvesNamesAndFailsWithoutAHostOrASocket) {
    Session rtp = OpenSession(FreePort());
    ASSERT_EQ(rtp_connect(rtp.get(), "localhost", 4000), 0);
    EXPECT_EQ(rtp->remote, (Ipv4Endpoint{Address("127.0.0.1"), 4000}));
    EXPECT_EQ(rtp_connect(rtp.get(), "", 4000), -1);

    Session unopened = ParseSession();
    EXPECT_EQ(rtp_connect(unopened.get(), "127.0.0.1", 4000), -1);
    EXPECT_EQ(unopened->error, RTP_ECONNECT);
}

TEST_F(RtpTest, MissingArgumentsAreAssertedAndRefused) {
    Session rtp = ParseSession();
    uint8_t byte = 0;
    const std::function<int()> withSession[] = {
        [&] { return rtp_connect(rtp.get(), nullptr, 4000); },
        [&] { return rtp_send(rtp.get(), nullptr); },
        [&] { return rtp_parse(rtp.get(), nullptr, &byte, 1); },
    };
    for (const auto& call : withSession) {
        rtp->error = RTP_OK;
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(rtp->error, RTP_EINVAL);
        EXPECT_EQ(TakeAssertions(), 1);
    }

    rtp_param param{};
    EXPECT_EQ(rtp_send(nullptr, &packet_), -1);
    EXPECT_EQ(rtp_parse(nullptr, &packet_, &byte, 1), -1);
    EXPECT_EQ(rtp_close(nullptr), -1);
    EXPECT_EQ(rtp_connect(nullptr, "127.0.0.1", 1), -1);
    EXPECT_EQ(rtp_packet_free(nullptr), -1);
    EXPECT_EQ(rtp_set_header(&packet_, nullptr), -1);
    EXPECT_EQ(rtp_set_header(nullptr, &param), -1);
    EXPECT_EQ(srcs_find(nullptr, 1), nullptr);
    EXPECT_EQ(srcs_add(nullptr, 1), nullptr);
    EXPECT_EQ(update_seq(nullptr, 1), -1);
    EXPECT_EQ(TakeAssertions(), 10);

    // A packet whose payload pointer does not lie past the header is not sent.
    packet_.data = packet_.buf;
    packet_.len = 20;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(TakeAssertions(), 1);
}

// --- Parsing ---------------------------------------------------------------------------------

TEST_F(RtpTest, PayloadOffsetsAndRefusedDatagrams) {
    struct Case {
        const char* what;
        std::vector<uint8_t> datagram;
        int result;
        int offset;  // of the payload, when accepted
        int len;     // of the payload, when accepted; the error when refused
    };
    const Case cases[] = {
        {"plain", Datagram(1, 10), 32, 12, 20},
        {"CC = 2: 8 bytes of CSRCs", Datagram(1, 10, 28, 0x82), 40, 20, 20},
        {"4 bytes of padding", Datagram(1, 10, 24, 0xA0, 4), 36, 12, 20},
        {"one extension word", Datagram(1, 10, 28, 0x90, 1), 40, 20, 20},
        {"exactly the 116-byte buffer", Datagram(1, 10, 104), 116, 12, 104},
        {"padding past the payload", Datagram(1, 10, 3, 0xA0, 4), -1, 0, RTP_EPADDING},
        {"version 1", Datagram(1, 10, 20, 0x40), -1, 0, RTP_EVERSION},
        {"oversized", Datagram(1, 10, 105), -1, 0, RTP_ESOCKET},
        {"shorter than a header", std::vector<uint8_t>(11, 0x80), -1, 0, RTP_ESOCKET},
        {"CSRCs past the end", Datagram(1, 10, 20, 0x8F), -1, 0, RTP_ESOCKET},
        {"extension past the end", Datagram(1, 10, 28, 0x90, 9), -1, 0, RTP_ESOCKET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Session rtp = ParseSession();
        rtp->error = RTP_ESEQ;
        ASSERT_EQ(Parse(rtp.get(), c.datagram), c.result);
        if (c.result > 0) {
            EXPECT_EQ(rtp->error, RTP_OK);
            EXPECT_EQ(packet_.data - packet_.buf, c.offset);
            EXPECT_EQ(packet_.len, c.len);
            EXPECT_EQ(packet_.data[0], 0xA0 + c.offset - 12);
            EXPECT_EQ(rtp->last_seq, 10);
            EXPECT_EQ(rtp->srcs.count, 1u);
        } else {
            EXPECT_EQ(rtp->error, c.len);
            EXPECT_EQ(rtp->srcs.count, 0u);  // a refused datagram is not taken for a source
        }
    }
    Session rtp = ParseSession();
    const std::vector<uint8_t> datagram = Datagram(1, 10);
    EXPECT_EQ(rtp_parse(rtp.get(), &packet_, datagram.data(), -1), -1);
    EXPECT_EQ(rtp->error, RTP_ESOCKET);
}

// --- Sequence validation ---------------------------------------------------------------------

TEST_F(RtpTest, SequenceValidationFollowsEachSource) {
    struct Step {
        uint16_t seq;
        int result;
        uint32_t probation;
        uint16_t maxSeq;
        uint32_t received;
        uint32_t cycles = 0;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a new source needs two in a row",
         {{100, 32, 1, 100, 0}, {102, -1, 1, 102, 0}, {103, 32, 0, 103, 1}, {104, 32, 0, 104, 2}}},
        {"two jumps in a row restart the tracking",
         {{999, 32, 1, 999, 0},
          {1000, 32, 0, 1000, 1},
          {5000, -1, 0, 1000, 1},
          {5001, 32, 0, 5001, 1}}},
        {"a wrap counts a cycle",
         {{65529, 32, 1, 65529, 0}, {65530, 32, 0, 65530, 1}, {3, 32, 0, 3, 2, 65536}}},
        {"a slightly late packet is accepted without moving the tracking",
         {{999, 32, 1, 999, 0}, {1000, 32, 0, 1000, 1}, {990, 32, 0, 1000, 2}}},
    };
    for (const Case& c : cases) {
        Session rtp = ParseSession();
        for (const Step& step : c.steps) {
            SCOPED_TRACE(std::string(c.what) + ", seq " + std::to_string(step.seq));
            EXPECT_EQ(Parse(rtp.get(), Datagram(7, step.seq)), step.result);
            if (step.result < 0) {
                EXPECT_EQ(rtp->error, RTP_ESEQ);
            }
            const rtp_source* src = srcs_find(&rtp->srcs, rtp->last_ssrc);
            ASSERT_NE(src, nullptr);
            EXPECT_EQ(src->probation, step.probation);
            EXPECT_EQ(src->max_seq, step.maxSeq);
            EXPECT_EQ(src->received, step.received);
            EXPECT_EQ(src->cycles, step.cycles);
        }
    }
}

TEST_F(RtpTest, SourceTableDoublesAndKeepsTheOrderOfFirstSight) {
    rtp_srcs table{};
    ASSERT_EQ(srcs_init(&table), 0);
    for (uint32_t ssrc = 1; ssrc <= 32; ++ssrc) {
        ASSERT_NE(srcs_add(&table, ssrc * 11), nullptr);
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
}

// A peer cycling through SSRCs must not grow the table without end: past the ceiling a new
// source is refused, while the sources already known keep being validated and accepted.
TEST_F(RtpTest, SourceTableStopsGrowingAtItsCeiling) {
    Session rtp = ParseSession();
    for (uint32_t ssrc = 1; ssrc <= RTP_MAX_SOURCES; ++ssrc) {
        ASSERT_EQ(Parse(rtp.get(), Datagram(ssrc, 100)), 32) << "source " << ssrc;
    }
    EXPECT_EQ(rtp->srcs.count, RTP_MAX_SOURCES);
    const uint32_t capacity = rtp->srcs.size;
    for (uint32_t ssrc = RTP_MAX_SOURCES + 1; ssrc <= 4 * RTP_MAX_SOURCES; ++ssrc) {
        EXPECT_EQ(Parse(rtp.get(), Datagram(ssrc, 100)), -1);
        EXPECT_EQ(rtp->error, RTP_ESEQ);
    }
    EXPECT_EQ(rtp->srcs.count, RTP_MAX_SOURCES);
    EXPECT_EQ(rtp->srcs.size, capacity);
    EXPECT_EQ(srcs_add(&rtp->srcs, 0xFFFFFFFFu), nullptr);
    // The first source is still tracked: its next number in sequence is accepted.
    EXPECT_EQ(Parse(rtp.get(), Datagram(1, 101)), 32);
    EXPECT_EQ(rtp->error, RTP_OK);
}

// --- The playout ring, without sockets ------------------------------------------------------

class PlayoutRingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Codec(), nullptr); }

    int Put(int payloadBytes) {
        std::vector<unsigned char> payload(payloadBytes, 0x33);
        return thread_->AccessBuffer(true, payload.data(), payloadBytes);
    }
    int Take(int bytes) {
        std::vector<unsigned char> out(bytes);
        return thread_->AccessBuffer(false, out.data(), bytes);
    }

    std::unique_ptr<CUDPReceiveThread> thread_ =
        std::make_unique<CUDPReceiveThread>(Codec(), kG729, nullptr);
};

TEST_F(PlayoutRingTest, WholeFramesGoInAndTakesGiveWhatIsHeld) {
    EXPECT_EQ(Take(16000), 0);  // empty
    EXPECT_EQ(Put(20), 320);
    EXPECT_EQ(Put(25), 320);  // the 5 bytes past the last frame are ignored
    EXPECT_EQ(Put(9), 0);
    EXPECT_EQ(Take(16000), 640);
    EXPECT_EQ(Take(16000), 0);
}

TEST_F(PlayoutRingTest, FullBufferDropsWhatDoesNotFitUntilTaken) {
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Put(20), 320);
    }
    EXPECT_EQ(thread_->Held(), 32000);  // two seconds
    EXPECT_EQ(Put(20), 0);
    EXPECT_EQ(Take(100), 0);  // less than a frame
    EXPECT_EQ(Take(160), 160);
    EXPECT_EQ(Put(20), 160);  // one frame into one free slot
    EXPECT_EQ(thread_->Held(), 32000);
    EXPECT_EQ(Take(16000), 16000);
    EXPECT_EQ(Take(16000), 16000);
    EXPECT_EQ(Take(16000), 0);
}

TEST_F(PlayoutRingTest, AudioComesOutInTheOrderItWentInAcrossTheEnd) {
    // Twenty frames decoded by a freshly reset decoder, to recognise them in the ring.
    CodecBinding codec(Codec());
    std::vector<unsigned char> coded(200);
    for (size_t i = 0; i < coded.size(); ++i) {
        coded[i] = static_cast<unsigned char>(i * 37);
    }
    std::vector<short> expected(1600);
    codec.InitDecoder();
    for (int f = 0; f < 20; ++f) {
        codec.Decode(&coded[10 * f], &expected[80 * f]);
    }
    // Move both positions to 160 bytes before the end of the ring.
    for (int i = 0; i < 199; ++i) {
        ASSERT_EQ(Put(10), 160);
    }
    ASSERT_EQ(Take(31840), 31840);

    codec.InitDecoder();
    ASSERT_EQ(thread_->AccessBuffer(true, coded.data(), 200), 3200);
    std::vector<short> out(1600);
    ASSERT_EQ(thread_->AccessBuffer(false, out.data(), 3200), 3200);
    EXPECT_EQ(out, expected);
}

TEST_F(PlayoutRingTest, DecodeAreaIsNeverWrittenPastFiftyFrames) {
    std::vector<unsigned char> big(600, 0x11);  // 60 frames
    std::vector<short> pcm(4000);               // exactly 50 frames: ASan catches any overrun
    EXPECT_EQ(thread_->DecodeFrames(big.data(), pcm.data(), 600), 8000);
    EXPECT_EQ(thread_->AccessBuffer(true, big.data(), 600), 8000);
}

TEST(PlayoutRingOtherTest, OtherPayloadTypesOrNoCodecDecodeNothing) {
    unsigned char payload[20] = {};
    EXPECT_EQ(CUDPReceiveThread(Codec(), 0, nullptr).AccessBuffer(true, payload, 20), 0);
    EXPECT_EQ(CUDPReceiveThread(nullptr, kG729, nullptr).AccessBuffer(true, payload, 20), 0);
}

// --- The thread on real loopback sockets ----------------------------------------------------

class ReceiveThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Codec(), nullptr);
        ASSERT_TRUE(peer_.Bind(0, Address("127.0.0.1")));
        ASSERT_TRUE(intruder_.Bind(0, Address("127.0.0.1")));
        // The peer is fixed but the socket stays unconnected, so the thread's own source
        // filter is what keeps strangers out.
        session_->remote = Ipv4Endpoint{Address("127.0.0.1"), peer_.LocalPort()};
        thread_ = std::make_unique<CUDPReceiveThread>(Codec(), kG729, session_.get());
        thread_->Resume();
    }

    // Sends one datagram and waits until the thread has taken it off the socket.
    void Send(UdpSocket& from, const std::vector<uint8_t>& datagram) {
        const uint32_t before = thread_->DatagramsReceived();
        ASSERT_EQ(from.SendTo(datagram.data(), datagram.size(),
                              {Address("127.0.0.1"), session_->local.port}),
                  static_cast<long>(datagram.size()));
        ASSERT_TRUE(WaitUntil([&] { return thread_->DatagramsReceived() > before; }));
    }
    int HeldAfter(uint32_t ssrc, uint16_t seq) {
        Send(peer_, Datagram(ssrc, seq));
        return thread_->Held();
    }

    UdpSocket peer_;
    UdpSocket intruder_;
    Session session_ = OpenSession(FreePort());
    // Declared last so that it is stopped and joined before the session is closed.
    std::unique_ptr<CUDPReceiveThread> thread_;
};

TEST_F(ReceiveThreadTest, KeepsTheFirstSourceAndPutsReorderedFramesInPlace) {
    const uint32_t a = 0xAAAA0001, b = 0xBBBB0002;
    EXPECT_EQ(HeldAfter(a, 10), 320);
    EXPECT_EQ(HeldAfter(a, 11), 640);
    EXPECT_EQ(HeldAfter(a, 13), 960);
    EXPECT_EQ(HeldAfter(a, 12), 1280);  // overtaken, and not yet due
    EXPECT_EQ(HeldAfter(a, 12), 1280);  // a duplicate
    EXPECT_EQ(HeldAfter(b, 14), 1280);  // another source
    EXPECT_EQ(HeldAfter(a, 14), 1600);
}

// A new source's packets that come out of order before it is validated are kept for it.
TEST_F(ReceiveThreadTest, ReorderedPacketsOfANewSourceAreKeptUntilItIsValid) {
    EXPECT_EQ(HeldAfter(7, 20), 320);
    EXPECT_EQ(HeldAfter(7, 22), 320);
    EXPECT_EQ(HeldAfter(7, 21), 320);
    EXPECT_EQ(HeldAfter(7, 23), 320);
    EXPECT_EQ(HeldAfter(7, 24), 1600);  // two in sequence: valid, and the kept ones go in
}

TEST_F(ReceiveThreadTest, IgnoresStrangersAndDatagramsThatAreNotRtp) {
    Send(intruder_, Datagram(1, 100));  // the right address, another port
    Send(peer_, std::vector<uint8_t>(8, 0x80));
    Send(peer_, std::vector<uint8_t>(900, 0x80));
    std::vector<uint8_t> version1 = Datagram(2, 199);
    version1[0] = 0x40;
    Send(peer_, version1);
    EXPECT_EQ(thread_->Held(), 0);
    // None of them fixed the accepted source.
    EXPECT_EQ(HeldAfter(2, 200), 320);
}

TEST_F(ReceiveThreadTest, StopsWithoutSittingOutItsWait) {
    const auto start = std::chrono::steady_clock::now();
    thread_->Terminate();
    thread_->WaitFor();
    EXPECT_TRUE(thread_->Finished());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

// --- Codec binding -------------------------------------------------------------------------

TEST(CodecBindingTest, TheVoiceChannelNeedsAllFourEntryPoints) {
    CodecBinding codec(platform::LoadLibraryByName("libKYR_Codec.so"));
    EXPECT_TRUE(codec.Bound());
    codec.g729a_decoder = nullptr;  // as bound from a library that lacks "g729a_decoder"
    EXPECT_TRUE(codec.EncoderBound());
    EXPECT_FALSE(codec.Bound());

    // Any library that is not the codec lacks all four names.
    const CodecBinding other(platform::LoadLibraryByName("libm.so.6"));
    EXPECT_FALSE(other.EncoderBound());
    EXPECT_FALSE(other.DecoderBound());
    EXPECT_FALSE(CodecBinding(nullptr).Bound());
}

}  // namespace
