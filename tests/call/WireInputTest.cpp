// Hostile input on the wire: malformed datagrams on the phone's SIP port (from the proxy's
// own address) and RTP port (during a call), with the real transport, parser, call manager,
// RTP session and codec, over virtual audio. Strangers' datagrams are kept out by the
// transport and the receive thread, whose own tests send them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "sip/SIPSDPMessageQueue.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::FirstLine;
using call_testing::HeaderValue;
using call_testing::UdpPeer;
using testing_support::WaitUntil;

constexpr uint32_t kFarEndSsrc = 0x12345678;  // as G729Packet sends
constexpr uint16_t kFirstFarEndSequence = 1000;
constexpr int kPcmPerPacket = 320;  // 20 bytes of G.729 (two frames) as PCM

// Lines joined with CR LF, then Content-Length, an empty line and the body.
std::string SipMessage(const std::vector<std::string>& lines, const std::string& body = {}) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Sdp(uint16_t port, const std::string& payloads) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP " + payloads + "\r\n" +
           (payloads[0] == '1' ? "a=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n"
                               : "a=rtpmap:0 PCMU/8000\r\n");
}

// The templates the hostile lines go into, messages of one dialog from the proxy: I an
// INVITE without G.729, O a 200 with SDP, A a challenge, B the operator's balance notice.
std::string Template(char which) {
    const std::vector<std::string> row = call_testing::Split(
        which == 'I'   ? "INVITE sip:1001@127.0.0.1 SIP/2.0|7 INVITE|"
                         "Remote-Party-ID: <sip:3456@127.0.0.1>;party=calling"
        : which == 'O' ? "SIP/2.0 200 OK|1 INVITE|Record-Route: <sip:127.0.0.1;lr>"
        : which == 'A' ? "SIP/2.0 401 Unauthorized|1 REGISTER|Expires: 60|WWW-Authenticate: "
                         "Digest realm=\"127.0.0.1\", nonce=\"abc\", algorithm=MD5"
                       : "OPTIONS sip:1001@127.0.0.1 SIP/2.0|7 OPTIONS|"
                         "InfiNETBilling: account-1001-funds:12.50 300;",
        '|');
    std::vector<std::string> lines = {
        row[0],
        "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKwire;received=127.0.0.1;rport=5060",
        "Max-Forwards: 70",
        "From: \"Caller\" <sip:3456@127.0.0.1>;tag=w1",
        "To: <sip:1001@127.0.0.1>;tag=w2",
        "Call-ID: wire-hostile@127.0.0.1",
        "CSeq: " + row[1],
        "Contact: <sip:3456@127.0.0.1:5060>"};
    lines.insert(lines.end(), row.begin() + 2, row.end());
    const bool sdp = which == 'I' || which == 'O';
    if (sdp) {
        lines.push_back("Content-Type: application/sdp");
    }
    return SipMessage(lines, sdp ? Sdp(40000, which == 'I' ? "0 8 101" : "0 101") : "");
}

std::string Noise(uint32_t seed, size_t count) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// The template with line in place of its own header (or its start line, or added after it).
std::string With(char which, const std::string& line) {
    std::string m = Template(which);
    const std::string name = line.substr(0, line.find_first_of(":= "));
    const size_t own = m.find("\r\n" + name);
    const bool start = line.rfind("SIP/", 0) == 0 || line.find(" sip:") != std::string::npos;
    if (start) {
        return line + m.substr(m.find("\r\n"));
    }
    if (name.empty() || own == std::string::npos || line.find(':') == std::string::npos) {
        return m.insert(m.find("\r\n"), "\r\n" + line);
    }
    return m.replace(own + 2, m.find("\r\n", own + 2) - own - 2, line);
}

// One datagram per kind of malformation the parser treats apart: start lines, header
// values and SDP lines (each row's first letter names its template), and the framing.
std::vector<std::string> SipCorpus() {
    std::vector<std::string> lines = call_testing::Split(
        "ISIP/2.0 099 Low|ISIP/2.0 20|ISIP/2.0 2000 OK|"
        "IPUBLISH sip:1001@127.0.0.1 SIP/2.0|Iinvite sip:1001@127.0.0.1 SIP/2.0|"
        "IContent-Length: 99999999999999999999|IContent-Length: -1|ICSeq: 7|"
        "IMax-Forwards: x|IFrom: <sip:@>;tag= x|ITo: ;tag=|"
        "IContact: <|IVia: SIP/2.0/UDP 1.2.3.4;Received=;rport=|IRemote-Party-ID: >@<sip:|"
        "INoColonHere|"
        "IFrom: <sip:3456@127.0.0.1>\rTo: <sip:evil>|ICall-ID: a\nVia: evil|"
        "Oc=IN IP4 999.999.999.999|Oc=IN IP6 ::1|Om=audio 99999999999 RTP/AVP 18|"
        "Om=audio 5 RTP/AVP|Om=video 5000 RTP/AVP 18|ORecord-Route: <sip:|"
        "AWWW-Authenticate: Digest realm=\"|"
        "AProxy-Authenticate: ,|AExpires: -1|BInfiNETBilling: -funds:|"
        "BInfiNETBilling: account-funds:  ;",
        '|');
    std::string contacts = "IContact: ", folded = "ISubject: a";
    for (int i = 0; i < 20; ++i) {
        contacts += "<sip:a@b>,";
        folded += "\r\n " + std::string(60, 'f');
    }
    lines.insert(lines.end(), {contacts, folded, "ISubject: " + std::string(1001, 'x'),
                               std::string("ISubject: \0\0\0", 13),
                               "BInfiNETBilling: " + std::string(38, 'x') + "-funds:"});
    std::vector<std::string> corpus;
    for (const std::string& line : lines) {
        corpus.push_back(With(line[0], line.substr(1)));
    }
    std::string m = Template('I'), noCr = m;
    noCr.erase(std::remove(noCr.begin(), noCr.end(), '\r'), noCr.end());
    std::string nuls = m;
    for (size_t at = 5; at < nuls.size(); at += 17) {
        nuls[at] = '\0';
    }
    const std::string sdpEnd = m.substr(0, m.find("\r\n\r\n") + 2);
    corpus.insert(corpus.end(), {m.substr(0, m.size() / 3), m.substr(0, m.find("\r\n", 40) + 1),
                                 nuls, noCr, sdpEnd + "\r\n" + m.substr(sdpEnd.size()), "\r\n" + m,
                                 "\r\n\r\n\r\n", m + Noise(1, 500), "INVITE", Noise(2, 1400),
                                 With('I', "Subject: " + Noise(4, 9000))});
    return corpus;
}

std::string RtpPacket(uint8_t type, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                      const std::string& payload) {
    std::string packet = {'\x80', static_cast<char>(type), static_cast<char>(sequence >> 8),
                          static_cast<char>(sequence)};
    for (const uint32_t word : {timestamp, ssrc}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            packet += static_cast<char>(word >> shift);
        }
    }
    return packet + payload;
}

// Garbage for the RTP port of a call whose far end's next packet is next (index n), one per
// kind the receive path refuses. Packets of the far end's own SSRC carry 40 bytes of payload
// (the far end sends 20), so one played by mistake shows in the audio held.
std::vector<std::string> RtpCorpus(uint16_t next, int n) {
    std::string own = RtpPacket(18, next, next * 160u, kFarEndSsrc, std::string(40, 'U'));
    const auto changed = [&](char first, size_t length) {
        return own.replace(0, 1, 1, first).substr(0, length);
    };
    const uint16_t late = static_cast<uint16_t>(next - 1 - n % 50);
    // Far ahead: refused by the sequence validation (never the number after the last jump,
    // which would be the restart of RFC 3550 A.1, rightly accepted).
    const uint16_t jump = static_cast<uint16_t>(next + 3200 + (n * 7919) % 60000);
    return {std::string(11, '\x80'),
            changed('\x40', own.size()),
            changed('\x8F', 40),                                // CSRC list past the end
            changed('\xA0', own.size()) + std::string(1, 100),  // padding past the start
            RtpPacket(18, next, 0, 0xFEED0000u + n, Noise(n, 1500)),
            RtpPacket(0, next, 0, 0xFEED0001u, Noise(n, 20)),
            RtpPacket(18, late, late * 160u, kFarEndSsrc, std::string(40, '\0')),
            RtpPacket(18, jump, jump * 160u, kFarEndSsrc, std::string(40, '\0'))};
}

// An INVITE as the proxy relays a caller's call.
std::string IncomingInvite(const std::string& callId, const std::string& payloads) {
    return SipMessage(
        {"INVITE sip:1001@127.0.0.1 SIP/2.0",
         "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + callId, "Max-Forwards: 70",
         "From: <sip:3456@127.0.0.1>;tag=caller", "To: <sip:1001@127.0.0.1>", "Call-ID: " + callId,
         "CSeq: 1 INVITE", "Contact: <sip:3456@127.0.0.1:5060>", "Content-Type: application/sdp"},
        Sdp(40000, payloads));
}

// The callee's response to the phone's INVITE, its dialog headers copied.
std::string ResponseTo(const std::string& invite, const std::string& status,
                       const std::string& body = {}) {
    std::vector<std::string> lines = {"SIP/2.0 " + status, "Via: " + HeaderValue(invite, "Via: ")};
    for (const char* name : {"From: ", "To: ", "Call-ID: ", "CSeq: "}) {
        lines.push_back(name + HeaderValue(invite, name) + (name[0] == 'T' ? ";tag=callee" : ""));
    }
    lines.push_back("Contact: <sip:4321@127.0.0.1>");
    if (!body.empty()) {
        lines.push_back("Content-Type: application/sdp");
    }
    return SipMessage(lines, body);
}

// The first lines of the messages among sent that start with prefix and are of callId.
std::vector<std::string> Starting(const std::vector<std::string>& sent, const std::string& prefix,
                                  const std::string& callId) {
    std::vector<std::string> found;
    for (const std::string& m : sent) {
        if (m.rfind(prefix, 0) == 0 && HeaderValue(m, "Call-ID: ") == callId) {
            found.push_back(FirstLine(m));
        }
    }
    return found;
}

class WireInputTest : public ::testing::Test {
protected:
    WireInputTest() {
        ports.sipp = proxy.Port();
        ports.peerRtp = farEnd.Port();
        phone = std::make_unique<call_testing::TestPhone>(ports);
    }

    CallManagerThread& Manager() { return *phone->manager; }
    bool InState(int state) { return phone->InState(state); }
    bool SendSip(const std::string& bytes) { return proxy.SendTo(bytes, ports.phoneSip); }
    bool SendRtp(const std::string& bytes) { return farEnd.SendTo(bytes, ports.phoneRtp); }

    // Dial; the proxy answers 180 and 200 with SDP for the far end's socket; the phone
    // acknowledges and opens its voice channel.
    void EstablishCall() {
        ASSERT_TRUE(Manager().DoDial("4321"));
        const std::string invite = proxy.Receive().value_or("");
        ASSERT_EQ(FirstLine(invite), "INVITE sip:4321@127.0.0.1 SIP/2.0");
        ASSERT_TRUE(SendSip(ResponseTo(invite, "180 Ringing")));
        ASSERT_TRUE(SendSip(ResponseTo(invite, "200 OK", Sdp(farEnd.Port(), "18"))));
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Connected && Manager().VoiceOpen; }));
        const std::string callId = HeaderValue(invite, "Call-ID: ");
        EXPECT_EQ(Starting(proxy.ReceiveAll(), "ACK ", callId),
                  std::vector<std::string>{"ACK sip:4321@127.0.0.1 SIP/2.0"});
        ASSERT_NE(Manager().Playback, nullptr);
    }

    // The phone still sends its own voice (G.729), then hangs up with a BYE.
    void ExpectVoiceThenHangUp() {
        for (int i = 0; i < 5; ++i) {
            EXPECT_TRUE(call_testing::IsG729(farEnd.Receive().value_or(""))) << i;
        }
        Manager().DoHangUp();
        EXPECT_TRUE(InState(CallManagerThread::Idle));
        const std::vector<std::string> sent = proxy.ReceiveAll();
        ASSERT_TRUE(call_testing::SentTwiceIdentically(sent)) << sent.size();
        EXPECT_EQ(FirstLine(sent[0]), "BYE sip:4321@127.0.0.1 SIP/2.0");
    }

    // Sends the operator's balance notice and runs the loop until its line shows: then all
    // sent before it has been handled. A notice that met a full queue is lost like any
    // message, and sent again under a new tag.
    ::testing::AssertionResult ThroughToTheLoop(const std::string& tag) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            const std::string t = tag + "-" + std::to_string(attempt);
            SendSip(SipMessage({"OPTIONS sip:1001@127.0.0.1 SIP/2.0",
                                "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + t,
                                "From: <sip:billing@127.0.0.1>;tag=b", "To: <sip:1001@127.0.0.1>",
                                "Call-ID: " + t + "@wire", "CSeq: 1 OPTIONS",
                                "InfiNETBilling: account-1001-funds:" + t + " 0;"}));
            if (phone->RunUntil([&] { return phone->HasRow(">Balance:" + t); }, 300)) {
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure() << "no balance notice got through";
    }

    bool ReceiveThreadTook(uint32_t datagrams) {
        return WaitUntil(
            [&] { return Manager().Playback->ReceiveThread()->DatagramsReceived() >= datagrams; },
            5000, 1);
    }
    std::string FarEndPacket(int index) {
        return call_testing::G729Packet(static_cast<uint16_t>(kFirstFarEndSequence + index));
    }

    UdpPeer proxy, farEnd;
    call_testing::CallPorts ports = call_testing::PickCallPorts();
    std::unique_ptr<call_testing::TestPhone> phone;
};

// Bursts of hostile datagrams, each after a valid INVITE the phone must refuse with 415 (no
// G.729) and that meets an empty queue; beyond the queue's slots a burst's messages are lost.
TEST_F(WireInputTest, SipFloodFromTheProxyLeavesThePhoneWorking) {
    const std::vector<std::string> corpus = SipCorpus();
    constexpr size_t kBurst = 12;
    for (size_t first = 0; first < corpus.size(); first += kBurst) {
        SCOPED_TRACE(::testing::Message() << "datagrams from " << first);
        const std::string probe = "probe-" + std::to_string(first) + "@wire";
        ASSERT_TRUE(SendSip(IncomingInvite(probe, "0 8 101")));
        for (size_t i = first; i < std::min(first + kBurst, corpus.size()); ++i) {
            ASSERT_TRUE(SendSip(corpus[i])) << i;
        }
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Queue->Count() == 0; }));
        ASSERT_TRUE(ThroughToTheLoop("mark" + std::to_string(first)));
        EXPECT_EQ(
            Starting(proxy.ReceiveAll(), "SIP/2.0 ", probe),
            call_testing::Split("SIP/2.0 100 Trying|SIP/2.0 415 Unsupported Media Type", '|'));
        // A hostile INVITE that offers G.729 may be ringing: refuse it.
        if (!InState(CallManagerThread::Idle)) {
            ASSERT_TRUE(InState(CallManagerThread::Incoming));
            Manager().DoHangUp();
        }
        ASSERT_TRUE(InState(CallManagerThread::Idle));
    }
    proxy.ReceiveAll();

    ASSERT_NO_FATAL_FAILURE(EstablishCall());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(SendRtp(FarEndPacket(i)));
    }
    ASSERT_TRUE(ReceiveThreadTook(20));
    ASSERT_NO_FATAL_FAILURE(ExpectVoiceThenHangUp());
}

// Without a speaker that opens nothing drains the playout ring, so what the receive thread
// decoded can be counted to the byte: the far end's packets and nothing else.
TEST_F(WireInputTest, RtpFloodDuringACallPlaysTheFarEndAndNothingElse) {
    platform::VirtualAudioDevice speaker("Virtual Speaker");
    speaker.openable = false;
    phone->audio.SetOutputDevices({speaker});
    Manager().SelectAudioDevices(false, 2);
    ASSERT_NO_FATAL_FAILURE(EstablishCall());
    ASSERT_FALSE(Manager().Playback->IsOpen());

    constexpr int kPackets = 40;
    // Two packets in sequence first: the source passes its probation before any noise.
    uint32_t sent = 2;
    ASSERT_TRUE(SendRtp(FarEndPacket(0)) && SendRtp(FarEndPacket(1)));
    ASSERT_TRUE(ReceiveThreadTook(sent));
    for (int i = 2; i < kPackets; ++i, ++sent) {
        const uint16_t next = static_cast<uint16_t>(kFirstFarEndSequence + i);
        for (const std::string& garbage : RtpCorpus(next, i)) {
            ASSERT_TRUE(SendRtp(garbage));
            ++sent;
        }
        ASSERT_TRUE(ReceiveThreadTook(sent));
        ASSERT_TRUE(SendRtp(FarEndPacket(i)));
    }
    ASSERT_TRUE(ReceiveThreadTook(sent));
    EXPECT_EQ(Manager().Playback->ReceiveThread()->Held(), kPackets * kPcmPerPacket);
    EXPECT_TRUE(InState(CallManagerThread::Outgoing));
    EXPECT_TRUE(Manager().Connected);
    ASSERT_NO_FATAL_FAILURE(ExpectVoiceThenHangUp());
}

}  // namespace
