// Hostile input on the wire: floods of malformed datagrams on the phone's SIP port (from the
// proxy's own address) and RTP port (during a call), and datagrams from strangers, with
// the real transport, parser, call manager, RTP session and codec, over virtual audio.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "sip/SIPSendRecvThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::FirstLine;
using call_testing::HeaderValue;
using call_testing::UdpPeer;
using testing_support::WaitUntil;

constexpr size_t kLargestDatagram = 65507;
constexpr uint32_t kFarEndSsrc = 0x12345678;  // as G729Packet sends
constexpr uint16_t kFirstFarEndSequence = 1000;
constexpr int kPcmPerPacket = 320;  // 20 bytes of G.729 (two frames) as PCM

// Lines joined with CR LF, then Content-Length, an empty line and the body.
std::string SipMessage(std::vector<std::string> lines, const std::string& body = {}) {
    lines.push_back("Content-Length: " + std::to_string(body.size()) + "\r\n");
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + body;
}

std::string Sdp(uint16_t port, const std::string& payloads) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP " + payloads + "\r\n" +
           (payloads[0] == '1' ? "a=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n"
                               : "a=rtpmap:0 PCMU/8000\r\n");
}

// A message of one dialog from the proxy: start line, its headers, extra lines and body.
std::string Dialog(const std::string& start, const std::string& cseq,
                   std::vector<std::string> extra = {}, const std::string& body = {}) {
    std::vector<std::string> lines = {
        start,
        "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKwire;received=127.0.0.1;rport=5060",
        "Max-Forwards: 70",
        "From: \"Caller\" <sip:3456@127.0.0.1>;tag=w1",
        "To: <sip:1001@127.0.0.1>;tag=w2",
        "Call-ID: wire-hostile@127.0.0.1",
        "CSeq: " + cseq,
        "Contact: <sip:3456@127.0.0.1:5060>"};
    lines.insert(lines.end(), extra.begin(), extra.end());
    return SipMessage(lines, body);
}
std::string Request(const std::string& method, std::vector<std::string> extra = {},
                    const std::string& body = {}) {
    return Dialog(method + " sip:1001@127.0.0.1 SIP/2.0", "7 " + method, extra, body);
}
std::string Response(const std::string& status, const std::string& method,
                     std::vector<std::string> extra = {}, const std::string& body = {}) {
    return Dialog("SIP/2.0 " + status, "1 " + method, extra, body);
}

// Well-formed messages as the proxy sends them, the material the generator cuts and mutates.
const std::vector<std::string>& Templates() {
    const std::string sdp = "Content-Type: application/sdp";
    static const std::vector<std::string> templates = {
        Request("INVITE", {"Remote-Party-ID: <sip:3456@127.0.0.1>;party=calling", sdp},
                Sdp(40000, "0 8 101")),
        Request("BYE"),
        Request("CANCEL"),
        Request("ACK"),
        Request("OPTIONS", {"InfiNETBilling: account-1001-funds:12.50 300;"}),
        Request("INFO", {"Content-Type: application/dtmf-relay"}, "Signal= 5\r\nDuration= 250\r\n"),
        Request("NOTIFY", {"Event: message-summary"}),
        Response("100 Trying", "INVITE"),
        Response("180 Ringing", "INVITE"),
        Response("183 Session Progress", "INVITE", {sdp}, Sdp(40000, "18 101")),
        Response("200 OK", "INVITE", {sdp}, Sdp(40000, "18 101")),
        Response("200 OK", "REGISTER", {"Expires: 7200"}),
        Response("401 Unauthorized", "REGISTER",
                 {"WWW-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"abc123\", algorithm=MD5"}),
        Response(
            "407 Proxy Authentication Required", "INVITE",
            {"Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"def456\", algorithm=MD5"}),
        Response("486 Busy Here", "INVITE"),
        Response("487 Request Terminated", "INVITE")};
    return templates;
}

std::vector<std::string> Split(const std::string& joined) {
    std::vector<std::string> parts;
    for (size_t start = 0, end; start <= joined.size(); start = end + 1) {
        end = std::min(joined.find('|', start), joined.size());
        parts.push_back(joined.substr(start, end - start));
    }
    return parts;
}

// Whole lines that break the rules of one header or SDP line each.
const std::vector<std::string> kHostileLines = Split(
    "Content-Length: 99999999999999999999|Content-Length: -1|Content-Length: -2147483648|"
    "Content-Length: 2147483647|Content-Length: 4294967296|Content-Length: 65507|"
    "Content-Length:  abc|Content-Length:|Content-Length: |Content-Length:5|CSeq: -1 INVITE|"
    "CSeq: 99999999999999999999 INVITE|CSeq: INVITE|CSeq:  7 INVITE|CSeq: 7|CSeq: |CSeq:|"
    "Max-Forwards: -1|Max-Forwards: 99999999999|Max-Forwards: x|Max-Forwards: |Call-ID:|Call-ID|"
    "From:|From: tag=|From: <sip:@>;tag= x|From: sip:|To:|To: ;tag=|Contact: <|Contact: > <|"
    "Contact: <>|Contact:|Via:|Via: Received|Via: SIP/2.0/UDP x;Received|"
    "Via: SIP/2.0/UDP x;received=;rport|Via: rport|"
    "Via: SIP/2.0/UDP 127.0.0.1;Received=1.2.3.4;rport=|WWW-Authenticate: Digest realm=|"
    "WWW-Authenticate: Digest realm=\"|WWW-Authenticate: Digest realm=\"\", nonce=\"\", |"
    "WWW-Authenticate: Digest nonce=\"x\", realm=\"y\"|WWW-Authenticate: Digest realm=\"r\", "
    "nonce=|"
    "Proxy-Authenticate: Digest realm=\", , \", nonce=\", \"|Proxy-Authenticate: ,|"
    "Remote-Party-ID: <sip:@>|Remote-Party-ID: >@<sip:|Remote-Party-ID: <sip:|"
    "Remote-Party-ID: <sip:1@|InfiNETBilling: -funds:|InfiNETBilling: " +
    std::string(38, 'x') + "-funds:|InfiNETBilling: " + std::string(20, 'x') +
    "-funds:1 2 3 4 5 6 7 8 |InfiNETBilling: account-funds:  ;|InfiNETBilling|c=IN IP4 |c=IN IP4|"
    "c=IN IP4 999.999.999.999|c=IN IP6 ::1|c=IN IP4 127.0.0.1 extra|c=|m=audio -1 RTP/AVP 18|"
    "m=audio 99999999999 RTP/AVP 18|m=audio 70000 RTP/AVP 18|m=audio 65536 RTP/AVP 18|"
    "m=audio RTP/AVP 18|m=RTP/AVP audio 5|m=audio|m=audio 5 RTP/AVP|m=audio 5 RTP/AVP |"
    "m=audio\t\t\x01 RTP|m=audio 0 RTP/AVP 18|m=video 5000 RTP/AVP 18|"
    "m=audio 40000 RTP/AVP 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18|m=|\r|\n|:| "
    "|\t|" +
    std::string("Subject: \0\0\0", 12));

// First lines that are not a recognised request or status.
const std::vector<std::string> kHostileStartLines = Split(
    "SIP/2.0 999 Weird|SIP/2.0 -20 OK|SIP/2.0 2000 OK|SIP/2.0 20|SIP/2.0 200|SIP/2.0 000 Zero|"
    "SIP/2.0 412 Conditional Request Failed|SIP/2.0 +20 OK|" +
    std::string("SIP/2.0 2\0\0 OK", 14) +
    "|SIP/2.0 99999999999999|SIP/2.0|SIP/2.0 |SIP/1.0 200 OK|sip/2.0 200 OK|"
    "PUBLISH sip:1001@127.0.0.1 SIP/2.0|invite sip:1001@127.0.0.1 SIP/2.0|"
    " INVITE sip:1001@127.0.0.1 SIP/2.0|INVIT|SIP/2.0 200 OK" +
    std::string(400, ' ') + "|INVITE" + std::string(500, 'A'));

std::string RtpPacket(uint8_t type, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                      const std::string& payload) {
    std::string packet = {'\x80', static_cast<char>(type & 0x7F), static_cast<char>(sequence >> 8),
                          static_cast<char>(sequence)};
    for (const uint32_t word : {timestamp, ssrc}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            packet += static_cast<char>(word >> shift);
        }
    }
    return packet + payload;
}

const std::vector<std::string> kLongLineStarts = Split(
    "Via: SIP/2.0/UDP |Call-ID: |From: <sip:|To: <sip:|Contact: <sip:|CSeq: |Subject: |"
    "c=IN IP4 |m=audio |InfiNETBilling: a-funds:|Remote-Party-ID: <sip:");

// Noise: count bytes from a generator seeded with seed, so that every run sends the same.
std::string Noise(uint32_t seed, size_t count, int first = 0, int span = 256) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(first + static_cast<int>(random() % static_cast<uint32_t>(span)));
    }
    return bytes;
}

// The hostile datagrams for the SIP port, each named for failure messages: every template
// cut at every line end, with each hostile line in place of its own header (or added), under
// each hostile start line, with its line ends or spaces lost, NULs in it, lines around the
// parser's bound on a line, swollen up to the largest datagram (the SIP thread takes 2048
// bytes at most), and noise.
std::vector<std::pair<std::string, std::string>> SipCorpus() {
    std::vector<std::pair<std::string, std::string>> corpus;
    const std::vector<std::string>& templates = Templates();
    const auto add = [&](const std::string& name, const std::string& bytes) {
        corpus.emplace_back(name + " (" + std::to_string(bytes.size()) + " bytes)", bytes);
    };
    for (size_t t = 0; t < templates.size(); ++t) {
        const std::string& m = templates[t];
        const size_t afterStart = m.find("\r\n") + 2;
        for (size_t at = m.find("\r\n"); at != std::string::npos; at = m.find("\r\n", at + 2)) {
            add("cut at " + std::to_string(at), m.substr(0, at + t % 2));
        }
        for (const char drop : {'\r', '\n', ' ', ':'}) {
            std::string without = m;
            without.erase(std::remove(without.begin(), without.end(), drop), without.end());
            add("without " + std::to_string(drop), without);
        }
        std::string nuls = m;
        for (size_t at = t; at < nuls.size(); at += 17) {
            nuls[at] = '\0';
        }
        add("NULs", nuls);
        add("empty line first", "\r\n" + m);
        add("second empty line", std::string(m).insert(m.find("\r\n\r\n") + 2, "\r\n"));
        add("start line and noise", m.substr(0, afterStart) + Noise(t, 600));
        for (size_t at = t; at < m.size(); at += 23) {
            add("cut at " + std::to_string(at), m.substr(0, at));
        }
        for (const size_t length : {280, 1024, 1480}) {
            add("long line", std::string(m).insert(
                                 afterStart, kLongLineStarts[t % kLongLineStarts.size()] +
                                                 std::string(length, t % 2 ? 'x' : '9') + "\r\n"));
        }
    }
    // Each hostile line in a template in turn and in an INVITE or 200 with SDP.
    for (size_t i = 0; i < 2 * kHostileLines.size(); ++i) {
        const std::string& line = kHostileLines[i / 2];
        std::string m = templates[i % 2 ? i / 2 % templates.size() : i % 4 ? 0 : 10];
        const std::string name = line.substr(0, std::min(line.find_first_of(":="), line.size()));
        const size_t own = name.empty() ? std::string::npos : m.find("\r\n" + name);
        if (own == std::string::npos) {
            m.insert(m.find("\r\n"), "\r\n" + line);
        } else {
            m.replace(own + 2, m.find("\r\n", own + 2) - own - 2, line);
        }
        add("hostile line " + std::to_string(i / 2), m);
        // and cut inside it
        add("cut hostile line " + std::to_string(i / 2),
            m.substr(0, m.find(line) + line.size() / 2));
    }
    for (size_t i = 0; i < kHostileStartLines.size(); ++i) {
        const std::string& m = templates[i % templates.size()];
        add("hostile start line " + std::to_string(i),
            kHostileStartLines[i] + m.substr(m.find("\r\n")));
    }
    for (const size_t size : {2047, 2048, 2049, 9000, 65507}) {
        std::string m = templates[size % templates.size()];
        std::string vias;
        while (vias.size() < size) {
            vias += "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + std::to_string(vias.size()) +
                    "\r\n";
        }
        const size_t afterStart = m.find("\r\n") + 2;
        add("one giant line", std::string(m)
                                  .insert(afterStart, "Subject: " + Noise(size, size, ' ', 95))
                                  .substr(0, size));
        add("many Via lines", std::string(m).insert(afterStart, vias).substr(0, size));
        add("body beyond its length", (m + Noise(size, size)).substr(0, size));
    }
    for (uint32_t i = 0; i < 40; ++i) {
        add("noise", Noise(i, i * 50));
    }
    return corpus;
}

// Hostile datagrams for the RTP port of a call whose far end's next packet is next (index n):
// garbage that must never be played. Packets of the far end's own SSRC carry 40 bytes of
// payload (the far end sends 20), so one played by mistake shows in the audio decoded.
std::vector<std::pair<std::string, std::string>> RtpCorpus(uint16_t next, int n) {
    std::vector<std::pair<std::string, std::string>> corpus;
    const auto own = [&](const std::string& name, const std::function<void(std::string&)>& change) {
        std::string p = RtpPacket(18, next, next * 160u, kFarEndSsrc, std::string(40, '\x55'));
        change(p);
        corpus.emplace_back(name, p);
    };
    for (size_t length = 0; length < 12; ++length) {
        corpus.emplace_back("shorter than the fixed header", std::string(length, '\x80'));
    }
    for (const char version : {'\x00', '\x40', '\xC0'}) {
        own("version not 2", [&](std::string& p) { p[0] = version; });
    }
    for (size_t cc = 1; cc <= 15; ++cc) {
        // A 52-byte packet has room for 10 CSRC words; the shorter lists are cut before their end.
        own("CSRC list past the end", [&](std::string& p) {
            p[0] = static_cast<char>(0x80 | cc);
            p.resize(std::min(p.size(), 11 + 4 * cc));
        });
    }
    for (const size_t length : {12, 13, 15, 52}) {
        own("header extension past the end", [&](std::string& p) {
            p[0] = '\x90';
            p[14] = '\x01';  // 256 words
            p.resize(length);
        });
    }
    for (const char padding : {'\x29', '\x64', '\xFF'}) {
        own("padding longer than the packet", [&](std::string& p) {
            p[0] = '\xA0';
            p.back() = padding;
        });
    }
    for (const size_t size : {117, 200, 1000, 1001, 1500, 9000, 65507}) {
        corpus.emplace_back("oversized",
                            RtpPacket(18, next, 0, 0xFEED0000u + size, Noise(size, size - 12)));
    }
    for (const uint8_t type : {0, 8, 13, 101, 127}) {
        corpus.emplace_back("other payload type",
                            RtpPacket(type, next, 0, 0xFEED0000u + type, Noise(type, 20)));
    }
    corpus.emplace_back("random bytes", Noise(n, 12 + n));
    corpus.emplace_back("another new SSRC",
                        RtpPacket(18, next, 0, 0x0BAD0000u + n, std::string(20, '\0')));
    for (const uint16_t behind : {1, 2, 50, 89}) {
        const uint16_t late = static_cast<uint16_t>(next - behind);
        corpus.emplace_back("late or duplicate",
                            RtpPacket(18, late, late * 160u, kFarEndSsrc, std::string(40, '\0')));
    }
    // Far ahead: refused by the sequence validation. Never the number after the last jump,
    // which would be the restart of RFC 3550 A.1, rightly accepted.
    const uint16_t jump = static_cast<uint16_t>(next + 3200 + (n * 7919) % 60000);
    corpus.emplace_back("sequence jump",
                        RtpPacket(18, jump, jump * 160u, kFarEndSsrc, std::string(40, '\0')));
    return corpus;
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

// The messages among sent whose first line starts with prefix, and (if given) of callId.
std::vector<std::string> Starting(const std::vector<std::string>& sent, const std::string& prefix,
                                  const std::string& callId = {}) {
    std::vector<std::string> found;
    std::copy_if(sent.begin(), sent.end(), std::back_inserter(found), [&](const std::string& m) {
        return m.rfind(prefix, 0) == 0 && (callId.empty() || HeaderValue(m, "Call-ID: ") == callId);
    });
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

    // Dial; the proxy answers 100, 180 and 200 with SDP for the far end's socket; the phone
    // acknowledges and opens its voice channel.
    void EstablishCall() {
        ASSERT_TRUE(Manager().DoDial("4321"));
        const std::string invite = proxy.Receive().value_or("");
        ASSERT_EQ(FirstLine(invite), "INVITE sip:4321@127.0.0.1 SIP/2.0");
        for (const char* status : {"100 Trying", "180 Ringing"}) {
            ASSERT_TRUE(SendSip(ResponseTo(invite, status)));
        }
        ASSERT_TRUE(SendSip(ResponseTo(invite, "200 OK", Sdp(farEnd.Port(), "18"))));
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Connected && Manager().VoiceOpen; }));
        EXPECT_TRUE(phone->HasRow(">Ringing!"));
        const std::vector<std::string> acks = proxy.ReceiveAll();
        ASSERT_EQ(acks.size(), 1u);
        EXPECT_EQ(FirstLine(acks[0]), "ACK sip:4321@127.0.0.1 SIP/2.0");
        EXPECT_EQ(HeaderValue(acks[0], "To: "), HeaderValue(invite, "To: ") + ";tag=callee");
        EXPECT_EQ(HeaderValue(acks[0], "Call-ID: "), HeaderValue(invite, "Call-ID: "));
        ASSERT_NE(Manager().Playback, nullptr);
    }

    // The phone still sends its own voice (32-byte G.729 packets), then hangs up with a BYE.
    void ExpectVoiceThenHangUp() {
        for (int i = 0; i < 5; ++i) {
            const std::string packet = farEnd.Receive().value_or("");
            ASSERT_EQ(packet.size(), 32u) << "packet " << i;
            EXPECT_EQ(packet.substr(0, 2), "\x80\x12");
        }
        Manager().DoHangUp();
        EXPECT_TRUE(InState(CallManagerThread::Idle));
        EXPECT_FALSE(Manager().VoiceOpen);
        EXPECT_EQ(Manager().Playback, nullptr);
        EXPECT_EQ(Manager().RtpSession, nullptr);
        const std::vector<std::string> byes = Starting(proxy.ReceiveAll(), "BYE ");
        ASSERT_TRUE(call_testing::SentTwiceIdentically(byes)) << byes.size();
        EXPECT_EQ(FirstLine(byes[0]), "BYE sip:4321@127.0.0.1 SIP/2.0");
        EXPECT_TRUE(phone->HasRow(">Call cleared!"));
    }

    // Sends the operator's balance notice and runs the loop until its line shows: then all
    // sent before it has been parsed and, as far as the queue took it, handled. A notice that
    // met a full queue is lost like any message, and sent again under a new tag.
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

    // Waits until the call's receive thread has dealt with this many datagrams.
    ::testing::AssertionResult ReceiveThreadTook(uint32_t datagrams) {
        CUDPReceiveThread* thread = Manager().Playback->ReceiveThread();
        if (WaitUntil([&] { return thread->DatagramsReceived() >= datagrams; }, 5000, 1)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "the receive thread took " << thread->DatagramsReceived() << " of " << datagrams;
    }

    std::string FarEndPacket(int index) {
        return call_testing::G729Packet(static_cast<uint16_t>(kFirstFarEndSequence + index));
    }

    UdpPeer proxy, farEnd;
    call_testing::CallPorts ports = call_testing::PickCallPorts();
    std::unique_ptr<call_testing::TestPhone> phone;
};

TEST_F(WireInputTest, SipFloodFromTheProxyLeavesThePhoneWorking) {
    const auto corpus = SipCorpus();
    const int kDatagrams = static_cast<int>(corpus.size());
    RecordProperty("datagrams", kDatagrams);
    // A burst is parsed whole by the transport thread while the call manager waits, so beyond
    // the queue's slots its messages are refused there and lost; the first ones are handled.
    constexpr int kBurst = 32;
    std::optional<std::string> carried;
    for (int sent = 0, batch = 0; sent < kDatagrams; ++batch) {
        SCOPED_TRACE(::testing::Message() << "batch " << batch);
        // Each batch: perhaps a valid INVITE that must be refused with 415 (no G.729), which
        // meets an empty queue; a burst of hostile datagrams; then a balance notice whose
        // line shows the whole batch has been dealt with.
        const bool probe = batch % 3 == 0;
        const std::string probeCallId = "probe-" + std::to_string(batch) + "@wire";
        int toQueue = probe ? 1 : 0;
        if (probe) {
            ASSERT_TRUE(SendSip(IncomingInvite(probeCallId, "0 8 101")));
        }
        std::vector<std::string> kinds;
        bool oversized = false;
        while (static_cast<int>(kinds.size()) < kBurst && sent < kDatagrams) {
            std::string datagram = carried ? *carried : corpus[sent].second;
            const std::string kind = carried ? "carried over" : corpus[sent].first;
            carried.reset();
            // One datagram beyond the transport's buffer per burst keeps the socket's own
            // buffer from overflowing.
            const bool large = datagram.size() > CSIPSendRecvThread::kReceiveBufferSize;
            if (large && oversized) {
                carried = std::move(datagram);
                break;
            }
            oversized = oversized || large;
            toQueue += datagram.size() > CSIPSendRecvThread::kMinimumDatagram && !large &&
                       SIPSDPModule::ParseMessage(datagram.data(), datagram.size()) != nullptr;
            kinds.push_back(kind + " (" + std::to_string(datagram.size()) + " bytes)");
            ASSERT_TRUE(SendSip(datagram)) << kinds.back();
            ++sent;
        }
        // The loop starts taking messages once the burst has filled what it can of the
        // queue (bounded: a datagram the socket dropped never arrives).
        WaitUntil(
            [&] {
                return Manager().Queue->Count() >=
                       std::min(toQueue, CSIPSDPMessageQueue::kCapacity);
            },
            1000, 1);
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Queue->Count() == 0; }));
        ASSERT_TRUE(ThroughToTheLoop("mark" + std::to_string(batch)))
            << ::testing::PrintToString(kinds);
        // Only the responses: a hostile 487 after the probe is acknowledged with an ACK that,
        // for want of a transaction layer, carries the last INVITE's Call-ID.
        const std::vector<std::string> answers =
            Starting(proxy.ReceiveAll(), "SIP/2.0 ", probeCallId);
        if (probe) {
            ASSERT_EQ(answers.size(), 2u);
            EXPECT_EQ(FirstLine(answers[0]), "SIP/2.0 100 Trying");
            EXPECT_EQ(FirstLine(answers[1]), "SIP/2.0 415 Unsupported Media Type");
        }
        // A mutation may have left an INVITE that offers G.729 ringing: refuse it, so the
        // next batch starts from Idle again.
        if (!InState(CallManagerThread::Idle)) {
            ASSERT_TRUE(InState(CallManagerThread::Incoming));
            Manager().DoHangUp();
        }
        ASSERT_TRUE(InState(CallManagerThread::Idle));
    }
    EXPECT_EQ(Manager().Queue->Count(), 0);
    proxy.ReceiveAll();

    // Afterwards an ordinary call works end to end.
    ASSERT_NO_FATAL_FAILURE(EstablishCall());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(SendRtp(FarEndPacket(i)));
    }
    ASSERT_TRUE(ReceiveThreadTook(20));
    ASSERT_NO_FATAL_FAILURE(ExpectVoiceThenHangUp());
}

TEST_F(WireInputTest, DatagramsFromAnyoneButTheProxyNeverReachTheParser) {
    UdpPeer strangers[] = {UdpPeer(0), UdpPeer(proxy.Port(), "127.0.0.5"), UdpPeer(0, "127.0.0.5")};
    const std::string invite = IncomingInvite("stranger@wire", "18 101");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(strangers[round].SendTo(invite, ports.phoneSip));
        // The proxy's notice comes after the stranger's INVITE on the same socket: once its
        // line shows, the INVITE would have been handled too.
        ASSERT_TRUE(ThroughToTheLoop("after" + std::to_string(round)));
        EXPECT_TRUE(InState(CallManagerThread::Idle));
        EXPECT_FALSE(phone->HasRow(">Calling from 3456"));
        EXPECT_EQ(Manager().RingDevice, nullptr);
        EXPECT_TRUE(proxy.ReceiveAll().empty());
    }
    ASSERT_TRUE(SendSip(invite));
    ASSERT_TRUE(phone->RunUntil([&] { return phone->HasRow(">Calling from 3456"); }));
    EXPECT_TRUE(InState(CallManagerThread::Incoming));
    const std::vector<std::string> answers = proxy.ReceiveAll();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(FirstLine(answers[0]), "SIP/2.0 100 Trying");
    EXPECT_EQ(FirstLine(answers[1]), "SIP/2.0 180 Ringing");
    EXPECT_EQ(HeaderValue(answers[1], "Call-ID: "), "stranger@wire");
    Manager().DoHangUp();
    EXPECT_TRUE(InState(CallManagerThread::Idle));
    const std::vector<std::string> refusals = proxy.ReceiveAll();
    ASSERT_TRUE(call_testing::SentTwiceIdentically(refusals));
    EXPECT_EQ(FirstLine(refusals[0]), "SIP/2.0 486 Busy Here");
    for (UdpPeer& stranger : strangers) {
        EXPECT_TRUE(stranger.ReceiveAll().empty());
    }
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

    constexpr int kPackets = 90;  // 28800 bytes of PCM: within the two-second playout ring
    UdpPeer strangerSamePort(farEnd.Port(), "127.0.0.5"), strangerSameAddress;
    // Two packets in sequence first: the source passes its probation and the receive thread
    // fixes on its SSRC before any noise arrives.
    uint32_t sent = 0;
    for (; sent < 2; ++sent) {
        ASSERT_TRUE(SendRtp(FarEndPacket(static_cast<int>(sent))));
    }
    ASSERT_TRUE(ReceiveThreadTook(sent));
    for (int i = 2; i < kPackets; ++i) {
        const uint16_t next = static_cast<uint16_t>(kFirstFarEndSequence + i);
        const auto corpus = RtpCorpus(next, i);
        for (size_t g = 0; g < 24; ++g, ++sent) {
            const auto& [kind, garbage] = corpus[(static_cast<size_t>(i) * 24 + g) % corpus.size()];
            SCOPED_TRACE(kind);
            ASSERT_TRUE(SendRtp(garbage));
            // Oversized datagrams fill the socket's buffer quickly: keep it drained.
            if (sent % 10 == 0 || garbage.size() > 1500) {
                ASSERT_TRUE(ReceiveThreadTook(sent));
            }
        }
        if (i % 8 == 0) {
            // What the far end would send next, 40 bytes of it, from the wrong sockets.
            const std::string impostor =
                RtpPacket(18, next, next * 160u, kFarEndSsrc, std::string(40, '\0'));
            ASSERT_TRUE(strangerSamePort.SendTo(impostor, ports.phoneRtp));
            ASSERT_TRUE(strangerSameAddress.SendTo(impostor, ports.phoneRtp));
        }
        ASSERT_TRUE(SendRtp(FarEndPacket(i)));
        ++sent;
    }
    ASSERT_TRUE(ReceiveThreadTook(sent));
    EXPECT_EQ(Manager().Playback->ReceiveThread()->Held(), kPackets * kPcmPerPacket);
    EXPECT_TRUE(strangerSamePort.ReceiveAll().empty());
    EXPECT_TRUE(strangerSameAddress.ReceiveAll().empty());
    // The call went on undisturbed: still connected, still sending its own voice.
    EXPECT_TRUE(InState(CallManagerThread::Outgoing));
    EXPECT_TRUE(Manager().Connected);
    ASSERT_NO_FATAL_FAILURE(ExpectVoiceThenHangUp());
}

}  // namespace
