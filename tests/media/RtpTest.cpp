#include "media/rtp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
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
uint32_t Address(const char* dotted) {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseDottedIpv4(dotted, &address));
    return address;
}
const uint32_t kLoopback = Address("127.0.0.1");
bool PortIsFree(uint16_t port) {
    return UdpSocket().Bind(port);
}
uint16_t FreePort() {
    UdpSocket probe;
    EXPECT_TRUE(probe.Bind(0, kLoopback));
    return probe.LocalPort();
}

struct SessionCloser {
    void operator()(rtp_session* rtp) const { rtp_close(rtp); }
};
using Session = std::unique_ptr<rtp_session, SessionCloser>;
// As the call manager opens one: local address "any"; port 0 opens none, for parsing only.
Session OpenSession(uint16_t port) {
    Session rtp(new rtp_session());
    if (port == 0) {
        srcs_init(&rtp->srcs);
    } else {
        EXPECT_TRUE(rtp_open(rtp.get(), port, 0));
    }
    return rtp;
}

// A G.729 datagram; `extra` is the padding count (P bit) or extension words (X bit).
Bytes Datagram(uint32_t ssrc, uint16_t seq, size_t payload = 20, uint8_t first = 0x80,
               uint8_t extra = 0) {
    const uint32_t words[3] = {uint32_t{first} << 24 | uint32_t{kG729} << 16 | seq, seq * 160u,
                               ssrc};
    Bytes bytes(12 + payload);
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
    static int TakeAssertions() { return std::exchange(assertions, 0); }
    int Parse(rtp_session* rtp, const Bytes& datagram) {
        return rtp_parse(rtp, &packet_, datagram.data(), static_cast<int>(datagram.size()));
    }

    static inline int assertions = 0;
    rtp_packet packet_{};
};

TEST_F(RtpTest, SentPacketsCarryTheExactHeaderAndTheSequenceWraps) {
    testing_support::FixedRandom random({1234, 0x5678});
    UdpSocket peer;
    ASSERT_TRUE(peer.Bind(0, kLoopback));
    Session rtp = OpenSession(FreePort());
    EXPECT_EQ(rtp->ssrc & 0xFFFF, 0x5678u);
    rtp->ssrc = 0x11223344;
    ASSERT_EQ(rtp_connect(rtp.get(), "127.0.0.1", peer.LocalPort()), 0);
    // What the capture device does for each pair of frames.
    rtp_param param{};
    param.ts = 0xA1B2C3D4;
    param.pt = 18;
    auto send = [&]() {
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
    // The first packet is numbered one past the random start (1235).
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
}

TEST_F(RtpTest, OpeningAndConnecting) {
    Session rtp = OpenSession(FreePort());
    ASSERT_EQ(rtp_connect(rtp.get(), "localhost", 4000), 0);
    EXPECT_EQ(rtp->remote, (Ipv4Endpoint{kLoopback, 4000}));
    EXPECT_EQ(rtp_connect(rtp.get(), "", 4000), -1);
    Session unopened = OpenSession(0);
    EXPECT_EQ(rtp_connect(unopened.get(), "127.0.0.1", 4000), -1);
    EXPECT_EQ(unopened->error, RTP_ECONNECT);

    if (!PortIsFree(9000) || !PortIsFree(9001)) {
        GTEST_SKIP() << "ports 9000/9001 are in use on this machine";
    }
    Session searched(new rtp_session());
    ASSERT_TRUE(rtp_open(searched.get(), 0, 0));
    EXPECT_EQ(searched->local.port, 9000);
    EXPECT_FALSE(PortIsFree(9000));
    EXPECT_TRUE(PortIsFree(9001));  // only proved the pair free
    Session second(new rtp_session());
    EXPECT_FALSE(rtp_open(second.get(), 9000, 0));
    EXPECT_EQ(second->sock, nullptr);
}

TEST_F(RtpTest, MissingArgumentsAreAssertedAndRefused) {
    Session rtp = OpenSession(0);
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
    packet_.data = packet_.buf;  // a payload that does not lie past the header
    packet_.len = 20;
    EXPECT_EQ(rtp_send(rtp.get(), &packet_), -1);
    EXPECT_EQ(TakeAssertions(), 1);
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
        SCOPED_TRACE(c.what);
        Session rtp = OpenSession(0);
        rtp->error = RTP_ESEQ;
        ASSERT_EQ(Parse(rtp.get(), c.datagram), c.result);
        if (c.result > 0) {
            EXPECT_EQ(rtp->error, RTP_OK);
            EXPECT_EQ(packet_.data - packet_.buf, c.offset);
            EXPECT_EQ(packet_.len, c.len);
            EXPECT_EQ(packet_.data[0], 0xA0 + c.offset - 12);
            EXPECT_EQ(rtp->last_seq, 10);
        } else {
            EXPECT_EQ(rtp->error, c.len);
        }
        EXPECT_EQ(rtp->srcs.count, c.result > 0 ? 1u : 0u);
    }
    Session rtp = OpenSession(0);
    EXPECT_EQ(rtp_parse(rtp.get(), &packet_, Datagram(1, 10).data(), -1), -1);
    EXPECT_EQ(rtp->error, RTP_ESOCKET);
}

TEST_F(RtpTest, SequenceValidationFollowsEachSource) {
    struct Step {
        uint16_t seq;
        int result;
        uint32_t probation, maxSeq, received, cycles = 0;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"a new source needs two within eight of each other",
         {{100, 32, 1, 100, 0}, {109, -1, 1, 109, 0}, {117, 32, 0, 117, 1}, {118, 32, 0, 118, 2}}},
        {"reordered while new: validated at the highest",
         {{100, 32, 1, 100, 0},
          {5000, -1, 1, 5000, 0},
          {4998, 32, 0, 5000, 1},
          {4999, 32, 0, 5000, 2},
          {5001, 32, 0, 5001, 3}}},
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
    for (const auto& c : cases) {
        Session rtp = OpenSession(0);
        for (const Step& step : c.steps) {
            SCOPED_TRACE(std::string(c.what) + ", seq " + std::to_string(step.seq));
            EXPECT_EQ(Parse(rtp.get(), Datagram(7, step.seq)), step.result);
            EXPECT_EQ(rtp->error, step.result < 0 ? RTP_ESEQ : RTP_OK);
            const rtp_source* src = srcs_find(&rtp->srcs, rtp->last_ssrc);
            ASSERT_NE(src, nullptr);
            EXPECT_EQ(src->probation, step.probation);
            EXPECT_EQ(src->max_seq, step.maxSeq);
            EXPECT_EQ(src->received, step.received);
            EXPECT_EQ(src->cycles, step.cycles);
        }
    }
}

// The table doubles keeping the order of first sight; past its ceiling a new source is
// refused while the known ones are still validated.
TEST_F(RtpTest, SourceTableGrowsInOrderUpToItsCeiling) {
    rtp_srcs table{};
    ASSERT_EQ(srcs_init(&table), 0);
    for (uint32_t ssrc = 1; ssrc <= RTP_MAX_SOURCES; ++ssrc) {
        ASSERT_NE(srcs_add(&table, ssrc * 11), nullptr);
        if (ssrc == 32 || ssrc == 33) {
            EXPECT_EQ(table.size, ssrc == 32 ? 32u : 64u);
        }
    }
    for (uint32_t i = 0; i < RTP_MAX_SOURCES; ++i) {
        EXPECT_EQ(table.src[i].ssrc, (i + 1) * 11);
    }
    EXPECT_EQ(srcs_find(&table, 17 * 11), &table.src[16]);
    EXPECT_EQ(srcs_find(&table, 5), nullptr);
    EXPECT_EQ(srcs_add(&table, 0xFFFFFFFFu), nullptr);
    srcs_free(&table);

    Session rtp = OpenSession(0);
    for (uint32_t ssrc = 1; ssrc <= 4 * RTP_MAX_SOURCES; ++ssrc) {
        EXPECT_EQ(Parse(rtp.get(), Datagram(ssrc, 100)), ssrc <= RTP_MAX_SOURCES ? 32 : -1);
    }
    EXPECT_EQ(rtp->error, RTP_ESEQ);
    EXPECT_EQ(rtp->srcs.count, RTP_MAX_SOURCES);
    EXPECT_EQ(rtp->srcs.size, 64u);
    EXPECT_EQ(Parse(rtp.get(), Datagram(1, 101)), 32);
}

// --- The playout ring, without sockets ------------------------------------------------------

TEST(PlayoutRingTest, WholeFramesGoInUntilFullAndTakesGiveWhatIsHeld) {
    ASSERT_NE(Codec(), nullptr);
    CUDPReceiveThread thread(Codec(), kG729, nullptr);
    auto access = [&](bool put, int bytes) {
        std::vector<unsigned char> data(put ? bytes : bytes * 2, 0x33);
        return thread.AccessBuffer(put, data.data(), bytes);
    };
    // Puts give payload bytes (the 5 past the last frame ignored), takes PCM bytes.
    const struct {
        bool put;
        int bytes, result, times = 1;
    } script[] = {{false, 16000, 0},    {true, 20, 320},     {true, 25, 320},
                  {true, 9, 0},         {false, 16000, 640}, {false, 16000, 0},
                  {true, 20, 320, 100}, {true, 20, 0},       {false, 100, 0},
                  {false, 160, 160},    {true, 20, 160},     {false, 16000, 16000, 2},
                  {false, 16000, 0}};
    for (const auto& step : script) {
        for (int i = 0; i < step.times; ++i) {
            ASSERT_EQ(access(step.put, step.bytes), step.result) << step.put << step.bytes;
        }
        if (step.times == 100) {
            EXPECT_EQ(thread.Held(), 32000);  // two seconds
        }
    }
    unsigned char payload[20] = {};
    EXPECT_EQ(CUDPReceiveThread(Codec(), 0, nullptr).AccessBuffer(true, payload, 20), 0);
    EXPECT_EQ(CUDPReceiveThread(nullptr, kG729, nullptr).AccessBuffer(true, payload, 20), 0);
    std::vector<unsigned char> big(600, 0x11);  // 60 frames
    std::vector<short> pcm(4000);               // exactly 50 frames: ASan catches any overrun
    EXPECT_EQ(thread.DecodeFrames(big.data(), pcm.data(), 600), 8000);
    EXPECT_EQ(thread.AccessBuffer(true, big.data(), 600), 8000);
}

TEST(PlayoutRingTest, AudioComesOutInTheOrderItWentInAcrossTheEnd) {
    ASSERT_NE(Codec(), nullptr);
    CUDPReceiveThread thread(Codec(), kG729, nullptr);
    CodecBinding codec(Codec());
    std::vector<unsigned char> coded(200);
    for (size_t i = 0; i < coded.size(); ++i) {
        coded[i] = static_cast<unsigned char>(i * 37);
    }
    std::vector<short> expected(1600), out(1600), pcm(16000);
    codec.InitDecoder();
    for (int f = 0; f < 20; ++f) {
        codec.Decode(&coded[10 * f], &expected[80 * f]);
    }
    for (int i = 0; i < 199; ++i) {  // both positions to 160 bytes before the end
        ASSERT_EQ(thread.AccessBuffer(true, coded.data(), 10), 160);
    }
    ASSERT_EQ(thread.AccessBuffer(false, pcm.data(), 31840), 31840);
    codec.InitDecoder();
    ASSERT_EQ(thread.AccessBuffer(true, coded.data(), 200), 3200);
    ASSERT_EQ(thread.AccessBuffer(false, out.data(), 3200), 3200);
    EXPECT_EQ(out, expected);
}

// --- The thread on real loopback sockets ----------------------------------------------------

TEST(ReceiveThreadTest, KeepsOneSourceReordersAndIgnoresWhatIsNotItsRtp) {
    ASSERT_NE(Codec(), nullptr);
    UdpSocket peer, intruder;
    ASSERT_TRUE(peer.Bind(0, kLoopback));
    ASSERT_TRUE(intruder.Bind(0, kLoopback));
    Bytes version1 = Datagram(2, 199);
    version1[0] = 0x40;
    // Sent as ssrc 0, seq n: not RTP, or (n = 4) from the right address at another port.
    const Bytes junk[] = {Bytes(8, 0x80), Bytes(900, 0x80), version1, Datagram(1, 100)};
    const uint32_t a = 0xAAAA0001, b = 0xBBBB0002;
    const struct {
        uint32_t ssrc;
        uint16_t seq;
        int held;  // bytes held after it
    } cases[][7] = {
        // The first source, an overtaken frame put in place, a duplicate, another source.
        {{a, 10, 320},
         {a, 11, 640},
         {a, 13, 960},
         {a, 12, 1280},
         {a, 12, 1280},
         {b, 14, 1280},
         {a, 14, 1600}},
        // A new source's packet far from the first waits until the source is valid.
        {{7, 20, 320}, {7, 40, 320}, {7, 38, 960}, {7, 39, 1280}},
        // None of the junk fixes the accepted source.
        {{0, 4, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}, {2, 200, 320}},
    };
    for (const auto& sent : cases) {
        SCOPED_TRACE(&sent - cases);
        Session session = OpenSession(FreePort());
        // Unconnected: the thread's own source filter keeps strangers out.
        session->remote = Ipv4Endpoint{kLoopback, peer.LocalPort()};
        CUDPReceiveThread thread(Codec(), kG729, session.get());
        thread.Resume();
        for (const auto& [ssrc, seq, held] : sent) {
            if (ssrc == 0 && seq == 0) {
                break;  // the end of a shorter row
            }
            const Bytes d = ssrc ? Datagram(ssrc, seq) : junk[seq - 1];
            const uint32_t before = thread.DatagramsReceived();
            ASSERT_EQ((ssrc == 0 && seq == 4 ? intruder : peer)
                          .SendTo(d.data(), d.size(), {kLoopback, session->local.port}),
                      static_cast<long>(d.size()));
            ASSERT_TRUE(
                testing_support::WaitUntil([&] { return thread.DatagramsReceived() > before; }));
            EXPECT_EQ(thread.Held(), held);
        }
        const auto start = std::chrono::steady_clock::now();
        thread.Terminate();
        thread.WaitFor();
        EXPECT_TRUE(thread.Finished());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    }
}

TEST(CodecBindingTest, TheVoiceChannelNeedsAllFourEntryPoints) {
    CodecBinding codec(Codec());
    EXPECT_TRUE(codec.Bound());
    codec.g729a_decoder = nullptr;  // as bound from a library that lacks "g729a_decoder"
    EXPECT_TRUE(codec.EncoderBound());
    EXPECT_FALSE(codec.Bound());
    const CodecBinding other(platform::LoadLibraryByName("libm.so.6"));
    EXPECT_FALSE(other.EncoderBound());
    EXPECT_FALSE(other.DecoderBound());
    EXPECT_FALSE(CodecBinding(nullptr).Bound());
}

}  // namespace
