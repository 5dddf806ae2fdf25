#include "media/UDPReceiveThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "media/rtp.h"
#include "platform/DynamicLibrary.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::Ipv4Endpoint;
using platform::UdpSocket;
using testing_support::WaitUntil;

constexpr int kG729 = 18;

uint32_t Loopback() {
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseDottedIpv4("127.0.0.1", &address));
    return address;
}

platform::LibraryHandle Codec() {
    static platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    return library;
}

std::vector<uint8_t> Packet(uint32_t ssrc, uint16_t seq, size_t payload = 20) {
    std::vector<uint8_t> bytes(12 + payload, 0x55);
    bytes[0] = 0x80;
    bytes[1] = 18;
    bytes[2] = static_cast<uint8_t>(seq >> 8);
    bytes[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = 0;
        bytes[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
    return bytes;
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

TEST_F(PlayoutRingTest, PayloadsDecodeInWholeFrames) {
    EXPECT_EQ(Put(20), 320);
    EXPECT_EQ(Put(25), 320);  // the 5 bytes past the last frame are ignored
    EXPECT_EQ(Put(9), 0);
    EXPECT_EQ(thread_->Held(), 640);
}

TEST_F(PlayoutRingTest, TakeFromEmptyGivesNothingAndTakeGivesWhatIsHeld) {
    EXPECT_EQ(Take(16000), 0);
    Put(20);
    Put(20);
    EXPECT_EQ(Take(16000), 640);
    EXPECT_EQ(thread_->Held(), 0);
    EXPECT_EQ(Take(16000), 0);
}

TEST_F(PlayoutRingTest, FullRingDropsWhatDoesNotFitUntilTaken) {
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Put(20), 320);
    }
    EXPECT_EQ(thread_->Held(), 32000);  // exactly full: the full mark tells it from empty
    EXPECT_EQ(Put(20), 0);
    EXPECT_EQ(Take(100), 100);
    EXPECT_EQ(thread_->Held(), 31900);

    EXPECT_EQ(Put(20), 100);  // 320 into 100 free
    EXPECT_EQ(thread_->Held(), 32000);
    EXPECT_EQ(Put(20), 0);
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

TEST(PlayoutRingOtherTest, OtherPayloadTypesDecodeNothing) {
    CUDPReceiveThread thread(Codec(), 0, nullptr);
    unsigned char payload[20] = {};
    EXPECT_EQ(thread.AccessBuffer(true, payload, 20), 0);
}

TEST(PlayoutRingOtherTest, WithoutACodecNothingIsDecoded) {
    CUDPReceiveThread thread(nullptr, kG729, nullptr);
    unsigned char payload[20] = {};
    EXPECT_EQ(thread.AccessBuffer(true, payload, 20), 0);
}

// --- The thread on real loopback sockets ----------------------------------------------------

class ReceiveThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Codec(), nullptr);
        ASSERT_TRUE(peer_.Bind(0, Loopback()));
        ASSERT_TRUE(intruder_.Bind(0, Loopback()));
        session_ = new rtp_session();
        UdpSocket probe;
        ASSERT_TRUE(probe.Bind(0, Loopback()));
        const uint16_t port = probe.LocalPort();
        probe.Close();
        ASSERT_TRUE(rtp_open(session_, port, 0));
        FixPeer();
        thread_ = std::make_unique<CUDPReceiveThread>(Codec(), kG729, session_);
        thread_->Resume();
    }
    // The peer is fixed but the socket stays unconnected, so the thread's own source filter
    // is what keeps strangers out.
    virtual void FixPeer() { session_->remote = Ipv4Endpoint{Loopback(), peer_.LocalPort()}; }

    void TearDown() override {
        // The owner's order: stop and join the thread, then close the session.
        thread_.reset();
        rtp_close(session_);
    }

    // Sends one datagram and waits until the thread has taken it off the socket.
    void Send(UdpSocket& from, const std::vector<uint8_t>& datagram) {
        const uint32_t before = thread_->DatagramsReceived();
        ASSERT_EQ(from.SendTo(datagram.data(), datagram.size(), {Loopback(), session_->local.port}),
                  static_cast<long>(datagram.size()));
        ASSERT_TRUE(WaitUntil([&] { return thread_->DatagramsReceived() > before; }));
    }
    int HeldAfter(uint32_t ssrc, uint16_t seq) {
        Send(peer_, Packet(ssrc, seq));
        return thread_->Held();
    }

    UdpSocket peer_;
    UdpSocket intruder_;
    rtp_session* session_ = nullptr;
    std::unique_ptr<CUDPReceiveThread> thread_;
};

TEST_F(ReceiveThreadTest, PlaysOnlyTheFirstSourceWithRisingNumbers) {
    const uint32_t a = 0xAAAA0001, b = 0xBBBB0002;
    EXPECT_EQ(HeldAfter(a, 10), 320);
    EXPECT_EQ(HeldAfter(a, 11), 640);
    EXPECT_EQ(HeldAfter(a, 13), 960);
    EXPECT_EQ(HeldAfter(a, 12), 960);  // late
    EXPECT_EQ(HeldAfter(b, 14), 960);  // another source
    EXPECT_EQ(HeldAfter(a, 14), 1280);
}

TEST_F(ReceiveThreadTest, IgnoresPacketsFromAnotherPort) {
    Send(intruder_, Packet(1, 100));
    EXPECT_EQ(thread_->Held(), 0);
    // The stranger's packet did not fix the accepted source either.
    EXPECT_EQ(HeldAfter(2, 200), 320);
}

TEST_F(ReceiveThreadTest, RestartsTheComparisonNearTheTopOfTheSequenceSpace) {
    EXPECT_EQ(HeldAfter(5, 65499), 320);
    EXPECT_EQ(HeldAfter(5, 65500), 640);
    EXPECT_EQ(HeldAfter(5, 65501), 960);
    EXPECT_EQ(HeldAfter(5, 0), 960);
    EXPECT_EQ(HeldAfter(5, 1), 1280);
}

TEST_F(ReceiveThreadTest, IgnoresDatagramsThatAreNotRtp) {
    Send(peer_, std::vector<uint8_t>(8, 0x80));
    Send(peer_, std::vector<uint8_t>(900, 0x80));
    std::vector<uint8_t> version1 = Packet(3, 50);
    version1[0] = 0x40;
    Send(peer_, version1);
    EXPECT_EQ(thread_->Held(), 0);
    EXPECT_EQ(HeldAfter(3, 51), 320);
}

// As in a call: the session is connected before the thread starts.
class ConnectedReceiveThreadTest : public ReceiveThreadTest {
  protected:
    void FixPeer() override { ASSERT_EQ(rtp_connect(session_, "127.0.0.1", peer_.LocalPort()), 0); }
};

TEST_F(ConnectedReceiveThreadTest, SendingTakingAndReceivingRunTogether) {
    // The capture side sends on the session, the playback side takes audio, and the receive
    // thread fills the ring, all at once.
    constexpr int kPackets = 50;
    std::thread capture([this] {
        for (int i = 0; i < kPackets; ++i) {
            rtp_packet out{};
            ASSERT_EQ(rtp_packet_init(&out, 40), 0);
            out.len = 20;
            rtp_param param{};
            param.pt = 18;
            rtp_set_header(&out, &param);
            EXPECT_EQ(rtp_send(session_, &out), 32);
            rtp_packet_free(&out);
        }
    });
    int taken = 0;
    for (uint16_t seq = 1; seq <= kPackets; ++seq) {
        const std::vector<uint8_t> packet = Packet(7, seq);
        ASSERT_EQ(peer_.SendTo(packet.data(), packet.size(), {Loopback(), session_->local.port}),
                  32);
        unsigned char out[200];
        taken += thread_->AccessBuffer(false, out, sizeof(out));
    }
    capture.join();
    ASSERT_TRUE(WaitUntil([&] { return thread_->DatagramsReceived() == kPackets; }));
    EXPECT_EQ(taken + thread_->Held(), kPackets * 320);
    int echoed = 0;
    unsigned char datagram[64];
    while (peer_.WaitReadable(0) == UdpSocket::WaitResult::Readable) {
        echoed += peer_.ReceiveFrom(datagram, sizeof(datagram), nullptr) == 32 ? 1 : 0;
    }
    EXPECT_EQ(echoed, kPackets);
}

TEST_F(ReceiveThreadTest, StopsWithoutSittingOutItsWait) {
    const auto start = std::chrono::steady_clock::now();
    thread_->Terminate();
    thread_->WaitFor();
    EXPECT_TRUE(thread_->Finished());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

}  // namespace
