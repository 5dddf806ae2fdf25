// Malformed datagrams on the RTP port of a call, through the real transport, call manager, RTP
// session and codec, over virtual audio. Strangers are kept out by the receive thread, whose own
// tests send them; hostile SIP reaches the call manager in tools/fuzz/call_manager.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/support/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using Strings = std::vector<std::string>;

std::string G729Sdp(uint16_t port) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n";
}

std::string Noise(uint32_t seed, size_t count) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// The far end's packet number sequence, its type, payload and perhaps SSRC replaced.
std::string RtpPacket(char type, uint16_t sequence, const std::string& payload,
                      const std::string& ssrc = "\x12\x34\x56\x78") {
    std::string packet = G729Packet(sequence).substr(0, 8) + ssrc + payload;
    packet[1] = type;
    return packet;
}

// Garbage to send before the far end's packet next, the nth (none goes before the first two,
// the source's probation): too short, version 1, CSRC list past the end, padding past the start,
// a stranger, late, far ahead. Those of the far end's SSRC carry 40 bytes of payload (the
// far end sends 20), so one played by mistake shows in the audio held.
Strings RtpCorpus(uint16_t next, int n) {
    std::string own = RtpPacket(18, next, std::string(40, 'U'));
    const auto changed = [&](char first, size_t length) {
        return own.replace(0, 1, 1, first).substr(0, length);
    };
    // Never the number after the last jump: a restart (RFC 3550 A.1), rightly accepted.
    const uint16_t jump = static_cast<uint16_t>(next + 3200 + (n * 7919) % 60000);
    return {std::string(11, '\x80'),
            changed('\x40', own.size()),
            changed('\x8F', 40),
            changed('\xA0', own.size()) + std::string(1, 100),
            RtpPacket(18, next, Noise(n, 1500), "\xFE\xED\x01" + std::string(1, char(n))),
            RtpPacket(18, next - 1 - n % 50, std::string(40, '\0')),
            RtpPacket(18, jump, std::string(40, '\0'))};
}

// A call whose RTP port takes garbage before every packet of the far end. A speaker that does
// not open drains nothing, so what the receive thread decoded counts to the byte: the far
// end's packets alone.
TEST(WireInputTest, HostileRtpLeavesTheCallWorking) {
    const CallPorts ports = PickCallPorts();
    UdpPeer proxy{ports.sipp}, farEnd{ports.peerRtp};
    TestPhone phone(ports);
    CallManagerThread& manager = *phone.manager;
    platform::VirtualAudioDevice speaker("Virtual Speaker");
    speaker.openable = false;
    phone.audio.SetOutputDevices({speaker});
    manager.SelectAudioDevices(false, 2);
    const auto sendSip = [&](const std::string& m) { return proxy.SendTo(m, ports.phoneSip); };
    ASSERT_TRUE(manager.DoDial("4321"));
    const std::string invite = proxy.Receive().value_or("");
    ASSERT_EQ(FirstLine(invite), "INVITE sip:4321@127.0.0.1 SIP/2.0");
    ASSERT_TRUE(sendSip(ResponseTo(invite, "200 OK", "", G729Sdp(farEnd.Port()))));
    ASSERT_TRUE(phone.RunUntil([&] { return manager.Connected && manager.VoiceOpen; }));
    const Strings ack = proxy.ReceiveAll(50);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(FirstLine(ack[0]), "ACK sip:4321@127.0.0.1 SIP/2.0");
    ASSERT_TRUE(manager.Playback != nullptr && !manager.Playback->IsOpen());
    auto* receiver = manager.Playback->ReceiveThread();
    const auto took = [&](uint32_t n) {
        return testing_support::WaitUntil([&] { return receiver->DatagramsReceived() >= n; }, 5000);
    };
    const auto sendRtp = [&](const std::string& p) { return farEnd.SendTo(p, ports.phoneRtp); };
    uint32_t sent = 0;
    for (uint16_t i = 0; i < 40; ++i, ++sent) {
        for (const std::string& garbage : i < 2 ? Strings() : RtpCorpus(1000 + i, i)) {
            ASSERT_TRUE(sendRtp(garbage));
            ++sent;
        }
        ASSERT_TRUE(took(sent));
        ASSERT_TRUE(sendRtp(G729Packet(1000 + i)));
    }
    ASSERT_TRUE(took(sent));
    // Each packet of the far end is two frames of G.729, 320 bytes of PCM.
    EXPECT_EQ(receiver->Held(), 40 * 320);
    manager.DoHangUp();
    EXPECT_TRUE(phone.InState(CallManagerThread::Idle));
    const Strings bye = proxy.ReceiveAll();
    ASSERT_TRUE(SentTwiceIdentically(bye)) << bye.size();
    EXPECT_EQ(FirstLine(bye[0]), "BYE sip:4321@127.0.0.1 SIP/2.0");
}

}  // namespace
