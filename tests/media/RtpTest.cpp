#include "media/rtp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
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

TEST(RtpTest, ParsingFindsThePayloadAndValidatesEachSourcesSequenceUpToTheCeiling) {
    static int assertions = 0;
    rtp_set_assert_handler([](const char*, const char*, int) { ++assertions; });
    rtp_packet packet{};
    ASSERT_EQ(rtp_packet_init(&packet, 40), 0);
    const auto parse = [&](rtp_session* rtp, const Bytes& d) {
        return rtp_parse(rtp, &packet, d.data(), static_cast<int>(d.size()));
    };
    // The datagram's payload bytes, first byte and extra (as Datagram takes them), then the
    // payload's offset and length once accepted, or 0 and the error.
    const std::tuple<size_t, uint8_t, uint8_t, long, int> cases[] = {
        {20, 0x80, 0, 12, 20},           // plain
        {28, 0x82, 0, 20, 20},           // CC = 2
        {24, 0xA0, 4, 12, 20},           // 4 bytes of padding
        {28, 0x90, 1, 20, 20},           // one extension word
        {104, 0x80, 0, 12, 104},         // exactly the 116-byte buffer
        {105, 0x80, 0, 0, RTP_ESOCKET},  // oversized
        {3, 0xA0, 4, 0, RTP_EPADDING},   // padding past the payload
        {28, 0x90, 9, 0, RTP_ESOCKET},   // extension past the end
    };
    for (const auto& [payload, first, extra, offset, len] : cases) {
        Session rtp = OpenSession(false);
        rtp->error = RTP_ESEQ;
        const Bytes d = Datagram(1, 10, payload, first, extra);
        const int result = parse(rtp.get(), d);
        if (offset == 0) {
            EXPECT_EQ(std::tuple(result, rtp->error.load(), rtp->srcs.count),
                      std::tuple(-1, len, 0u));
        } else {
            EXPECT_EQ(
                std::tuple(result, rtp->error.load(), rtp->srcs.count, packet.data - packet.buf,
                           packet.len, packet.data[0], rtp->last_seq),
                std::tuple(int(d.size()), RTP_OK, 1u, offset, len, 0xA0 + offset - 12, 10))
                << payload;
        }
    }
    // Each step: seq, accepted (+) or refused (-), then the source's probation, max_seq, received
    // and cycles after it. A new source needs two within eight of each other; reordered while
    // new, it is validated at the highest; two jumps in a row restart the tracking; a wrap counts
    // a cycle; a slightly late packet is accepted without moving the tracking. Past the table's
    // ceiling a new source is refused, the known ones kept.
    const char* const sequences[] = {
        "100+1,100,0,0 109-1,109,0,0 117+0,117,1,0 118+0,118,2,0",
        "100+1,100,0,0 5000-1,5000,0,0 4998+0,5000,1,0 4999+0,5000,2,0 5001+0,5001,3,0",
        "999+1,999,0,0 1000+0,1000,1,0 5000-0,1000,1,0 5001+0,5001,1,0",
        "65529+1,65529,0,0 65530+0,65530,1,0 3+0,3,2,65536",
        "999+1,999,0,0 1000+0,1000,1,0 990+0,1000,2,0",
    };
    for (const char* steps : sequences) {
        Session rtp = OpenSession(false);
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            const int result = parse(rtp.get(), Datagram(7, uint16_t(std::stoi(step))));
            const rtp_source* s = srcs_find(&rtp->srcs, rtp->last_ssrc);  // the one source
            std::ostringstream got;
            got << std::stoi(step) << (result == 32 ? '+' : '-') << s->probation << ','
                << s->max_seq << ',' << s->received << ',' << s->cycles;
            EXPECT_EQ(got.str(), step) << steps;
            EXPECT_EQ(rtp->error, result < 0 ? RTP_ESEQ : RTP_OK) << steps;
        }
    }
    Session rtp = OpenSession(false);
    for (uint32_t ssrc = 1; ssrc <= RTP_MAX_SOURCES + 1; ++ssrc) {
        EXPECT_EQ(parse(rtp.get(), Datagram(ssrc * 11, 100)), ssrc <= RTP_MAX_SOURCES ? 32 : -1);
    }
    EXPECT_EQ(srcs_find(&rtp->srcs, htonl(17 * 11)), &rtp->srcs.src[16]);
    EXPECT_EQ(parse(rtp.get(), Datagram(11, 101)), 32);
    rtp_packet_free(&packet);
    rtp_set_assert_handler(nullptr);
    EXPECT_EQ(assertions, 0);  // valid calls must not trip the library's own assertions
}

// The session opens on a random sequence with the SSRC's low half random (their bytes in the
// header: DevicesTest), on port 0 at the first free pair from 9000, keeping the even one.
TEST(ReceiveThreadTest, KeepsOnePeersSourceReordersAndHoldsANewSourcesEarlyPackets) {
    const platform::LibraryHandle codec = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(codec, nullptr);
    UdpSocket peer, intruder;
    ASSERT_TRUE(peer.Bind(0, kLoopback) && intruder.Bind(0, kLoopback));
    testing_support::FixedRandom random({1234, 0x5678});
    const bool searchable = UdpSocket().Bind(9000) && UdpSocket().Bind(9001);
    Session session = OpenSession();
    EXPECT_EQ(std::pair(session->seq, session->ssrc & 0xFFFF), std::pair(uint16_t{1234}, 0x5678u));
    if (searchable) {
        EXPECT_EQ(std::tuple(session->local.port, UdpSocket().Bind(9000), UdpSocket().Bind(9001)),
                  std::tuple(9000, false, true));
    }
    // Unconnected: the thread's own source filter keeps strangers out.
    session->remote = Ipv4Endpoint{kLoopback, peer.LocalPort()};
    CUDPReceiveThread thread(codec, 18, session.get());
    thread.Resume();
    // The source (x: the peer's address, another port), seq, frames held: a new source's far
    // packet waits until the source is valid, then each goes in its place; a duplicate; another;
    // n: comfort noise (payload type 13) from the peer's source, which is not G.729.
    std::istringstream steps("x9-0 a20-2 a40-2 a38-6 a39-8 a39-8 b41-8 a41-10 n42-10 a43-12");
    char source, dash;
    int seq, frames;
    while (steps >> source >> seq >> dash >> frames) {
        Bytes d = Datagram(source == 'n' ? 'a' : source, uint16_t(seq));
        d[1] = source == 'n' ? 13 : d[1];
        const uint32_t before = thread.DatagramsReceived();
        ASSERT_EQ((source == 'x' ? intruder : peer)
                      .SendTo(d.data(), d.size(), {kLoopback, session->local.port}),
                  static_cast<long>(d.size()));
        ASSERT_TRUE(
            testing_support::WaitUntil([&] { return thread.DatagramsReceived() > before; }));
        EXPECT_EQ(thread.Held(), 160 * frames) << source << seq;
    }
}

struct Arrival {
    int atMs, firstFrame, frames;  // frame numbers count 10 ms from the start of the stream
};

// A character a slot (one every 10 ms, two at a time as a device asks): the frame's number in
// base 36, 'c' concealed, '.' silence. The slots from quietFrom on decode to a pause.
std::string Play(std::vector<Arrival> arrivals, size_t slots, PlayoutBuffer* buffer,
                 uint32_t firstTimestamp = 1000, int quietFrom = 1 << 30) {
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    std::string played;
    size_t next = 0;
    for (int slot = 0; played.size() < slots; ++slot) {
        const int now = slot * 10;
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next) {
            const Arrival& a = arrivals[next];
            std::vector<unsigned char> frames(10 * a.frames);
            for (int f = 0; f < a.frames; ++f) {
                frames[10 * f] = static_cast<unsigned char>(a.firstFrame + f);
            }
            buffer->Put(firstTimestamp + 80u * a.firstFrame, frames.data(), a.frames, 8u * a.atMs);
        }
        unsigned char frame[10] = {};
        const PlayoutBuffer::Slot got = buffer->Next(8u * (now - now % 20), frame);
        played += got == PlayoutBuffer::Slot::Frame
                      ? "0123456789abcdefghijklmnopqrstuvwxyz"[frame[0] % 36]
                  : got == PlayoutBuffer::Slot::Concealed ? 'c'
                                                          : '.';
        buffer->HeardQuiet(slot >= quietFrom);
    }
    return played;
}

// Packets of two frames every 20 ms, frames [from, to), each 5 ms late, but those `changed`
// names by their first frame, which arrive as it says (frames < 0: lost); then the `extra` ones.
std::vector<Arrival> Steady(int from, int to, const std::vector<Arrival>& changed = {},
                            const std::vector<Arrival>& extra = {}) {
    std::vector<Arrival> arrivals;
    for (int f = from; f < to; f += 2) {
        const auto c = std::find_if(changed.begin(), changed.end(),
                                    [&](const Arrival& a) { return a.firstFrame == f; });
        if (c == changed.end() || c->frames > 0) {
            arrivals.push_back(c == changed.end() ? Arrival{f * 10 + 5, f, 2} : *c);
        }
    }
    arrivals.insert(arrivals.end(), extra.begin(), extra.end());
    return arrivals;
}

// Packets of two frames every 20 ms of the far end's clock for `slots`, each 5 ms late and
// every other one `jitterMs` more before frame `until`.
std::vector<Arrival> Jittered(int slots, int jitterMs, int until = 1 << 30, double rate = 1) {
    std::vector<Arrival> arrivals;
    for (int f = 0; f * 10 / rate <= slots * 10; f += 2) {
        arrivals.push_back({int(f * 10 / rate) + 5 + (f < until && f % 4 ? jitterMs : 0), f, 2});
    }
    return arrivals;
}

TEST(PlayoutBufferTest, EachSlotGetsTheFrameDueInIt) {
    const std::vector<Arrival> overtaken = {{65, 6, 2}, {66, 8, 2}};
    const struct {
        const char* name;
        std::vector<Arrival> arrivals;
        std::string played;
        uint32_t firstTimestamp = 1000;
        int quietFrom = 1 << 30;
    } cases[] = {
        {"overtaken: played in its place, 2 frames behind once 3 are seen",
         Steady(0, 16, overtaken), ".....0123456789abcde"},
        {"a duplicate: played once", Steady(0, 16, {}, {{46, 2, 2}}), ".....0123456789abcde"},
        {"lost: concealed", Steady(0, 16, {{0, 8, -1}}), ".....01234567ccabcde"},
        {"late before its slots: played", Steady(0, 16, {{125, 8, 2}}), ".....0123456789abcde"},
        {"later than its slots: dropped", Steady(0, 16, {{145, 8, 2}}), ".....01234567ccabcde"},
        {"a dry speaker waits for the late ones",
         Steady(0, 16, {{160, 8, 2}, {161, 10, 2}, {162, 12, 2}, {163, 14, 2}}),
         ".....01234567ccc89abcdef"},
        {"far ahead while frames are held: dropped", Steady(0, 16, {}, {{45, 1000, 2}}),
         ".....0123456789abcde"},
        {"a new time line 1000 frames on (printed from 'g'), once dry: played from its start",
         Steady(0, 8, {}, {{305, 1000, 2}, {325, 1002, 2}, {345, 1004, 2}, {365, 1006, 2}}),
         ".....01234567cccccc................ghijklmnc"},
        {"in a pause the lag goes, a frame at a time, once three quiet slots are heard",
         Steady(0, 24), ".....012345789abcdefghijklnc", 1000, 8},
        {"a gap mid-stream: 6 concealed, then the empty slots up to the next frame go unheard",
         Steady(0, 36,
                {{0, 8, -1}, {0, 10, -1}, {0, 12, -1}, {0, 14, -1}, {0, 16, -1}, {0, 18, -1}}),
         ".....01234567cccccc...klmnopqrstuvwxyzcccccc"},
        {"the delay a jitter burst built up goes in the next pause, a frame every four slots",
         Jittered(76, 50, 40),
         "......................0123456789abcdefghijklmnoprstuvwyz01345689abdefgijklno", 1000, 40},
        {"timestamps wrap", Steady(0, 16, overtaken), ".....0123456789abcde", 0xFFFFFF60u},
    };
    for (const auto& c : cases) {
        PlayoutBuffer buffer;
        EXPECT_EQ(Play(c.arrivals, c.played.size(), &buffer, c.firstTimestamp, c.quietFrom),
                  c.played)
            << c.name;
    }
}

// The delay: the shortest without jitter; four times the jitter and two frames with transit
// alternating 5 and 45 ms (|D| = 40 ms each packet, J tends to 320 ticks). Over an hour with the
// far end's clock 0.1 % off the sound card's, either way, it stays within its bounds, by about one
// frame dropped or concealed every ten seconds. A row: the far end's clock rate, the jitter, the
// slots, the target delay, about how many frames are dropped or concealed.
TEST(PlayoutBufferTest, DelayFollowsTheJitterAndTheClockDriftWithinItsBounds) {
    const std::tuple<double, int, int, int, int> cases[] = {
        {1, 0, 200, PlayoutBuffer::kMinDelayFrames, 0},
        {1, 40, 200, 4 * 4 + 2, 0},
        {1.001, 0, 360000, PlayoutBuffer::kMinDelayFrames, 360},
        {0.999, 0, 360000, PlayoutBuffer::kMinDelayFrames, 360}};
    for (const auto& [farEndRate, jitterMs, slots, delay, droppedOrConcealed] : cases) {
        PlayoutBuffer buffer;
        Play(Jittered(slots, jitterMs, 1 << 30, farEndRate), slots, &buffer);
        const PlayoutBuffer::Counters& stats = buffer.Stats();
        EXPECT_EQ(std::tuple(buffer.TargetDelayFrames(), stats.late), std::tuple(delay, 0u));
        EXPECT_LE(buffer.Held(), PlayoutBuffer::kMaxDelayFrames);
        EXPECT_NEAR(stats.dropped + stats.concealed, droppedOrConcealed,
                    1 + droppedOrConcealed / 6);
    }
}

}  // namespace
