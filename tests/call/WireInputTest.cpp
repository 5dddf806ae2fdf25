// Malformed datagrams on the SIP port (from the proxy's address) and the RTP port (in a call)
// of the real transport, parser, call manager, RTP session and codec, over virtual audio.
// Strangers are kept out by the transport and the receive thread, whose own tests send them.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sip/SIPSDPMessageQueue.h"
#include "tests/support/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using Strings = std::vector<std::string>;

// Header lines (each ending in CR LF), then Content-Length, an empty line and the body.
std::string Framed(const std::string& head, const std::string& body = {}) {
    return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Sdp(uint16_t port, const std::string& payloads) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP " + payloads + "\r\n" +
           (payloads[0] == '1' ? "a=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n"
                               : "a=rtpmap:0 PCMU/8000\r\n");
}

// A message from the proxy in the dialog id, an INVITE without G.729 or the operator's
// balance notice, with line in place of its own header or SDP line of that name (or of its
// start line, or added after that).
std::string With(const std::string& line, const std::string& id = "wire-hostile",
                 bool notice = false) {
    const std::string method = notice ? "OPTIONS" : "INVITE";
    std::string m = Framed(
        method + " sip:1001@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" +
            id +
            ";received=127.0.0.1;rport=5060\r\nMax-Forwards: 70\r\nFrom: \"Caller\" "
            "<sip:3456@127.0.0.1>;tag=w1\r\nTo: <sip:1001@127.0.0.1>;tag=w2\r\nCall-ID: " +
            id + "@127.0.0.1\r\nCSeq: 7 " + method + "\r\nContact: <sip:3456@127.0.0.1:5060>\r\n" +
            (notice ? "InfiNETBilling: account-1001-funds:12.50 300;\r\n"
                    : "Remote-Party-ID: <sip:3456@127.0.0.1>;party=calling\r\nRecord-Route: "
                      "<sip:127.0.0.1;lr>\r\nContent-Type: application/sdp\r\n"),
        notice ? "" : Sdp(40000, "0 8 101"));
    const std::string name = line.substr(0, line.find_first_of(":= "));
    const size_t own = m.find("\r\n" + name);
    if (line.rfind("SIP/", 0) == 0 || line.find(" sip:") != std::string::npos) {
        return line + m.substr(m.find("\r\n"));
    }
    if (name.empty() || own == std::string::npos) {
        return m.insert(m.find("\r\n"), "\r\n" + line);
    }
    return m.replace(own + 2, m.find("\r\n", own + 2) - own - 2, line);
}

std::string Noise(uint32_t seed, size_t count) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// A datagram for each malformation the parser treats apart: start line, header, SDP, framing.
Strings SipCorpus() {
    Strings lines = Split(
        "SIP/2.0 099 Low|SIP/2.0 20|SIP/2.0 2000 OK|PUBLISH sip:1001@127.0.0.1 SIP/2.0|"
        "invite sip:1001@127.0.0.1 SIP/2.0|Content-Length: 99999999999999999999|"
        "Content-Length: -1|CSeq: 7|Max-Forwards: x|From: <sip:@>;tag= x|To: ;tag=|Contact: <|"
        "Via: SIP/2.0/UDP 1.2.3.4;Received=;rport=|Remote-Party-ID: >@<sip:|NoColonHere|"
        "From: <sip:3456@127.0.0.1>\rTo: <sip:evil>|Call-ID: a\nVia: evil|"
        "c=IN IP4 999.999.999.999|c=IN IP6 ::1|m=audio 99999999999 RTP/AVP 18|m=audio 5 RTP/AVP|"
        "m=video 5000 RTP/AVP 18|Record-Route: <sip:|WWW-Authenticate: Digest realm=\"|"
        "Proxy-Authenticate: ,|Expires: -1|InfiNETBilling: -funds:|"
        "InfiNETBilling: account-funds:  ;",
        '|');
    std::string contacts = "Contact: ", folded = "Subject: a";
    for (int i = 0; i < 20; ++i) {
        contacts += "<sip:a@b>,";
        folded += "\r\n " + std::string(60, 'f');
    }
    lines.insert(lines.end(), {contacts, folded, "Subject: " + std::string(1001, 'x'),
                               std::string("Subject: \0\0\0", 12),
                               "InfiNETBilling: " + std::string(38, 'x') + "-funds:"});
    Strings corpus;
    for (const std::string& line : lines) {
        corpus.push_back(With(line, "wire-hostile", line.starts_with("InfiNETBilling")));
    }
    std::string m = With("Max-Forwards: 70"), noCr = m, nuls = m;
    noCr.erase(std::remove(noCr.begin(), noCr.end(), '\r'), noCr.end());
    for (size_t at = 5; at < nuls.size(); at += 17) {
        nuls[at] = '\0';
    }
    const std::string sdpEnd = m.substr(0, m.find("\r\n\r\n") + 2);
    corpus.insert(corpus.end(), {m.substr(0, m.size() / 3), m.substr(0, m.find("\r\n", 40) + 1),
                                 nuls, noCr, sdpEnd + "\r\n" + m.substr(sdpEnd.size()), "\r\n" + m,
                                 "\r\n\r\n\r\n", m + Noise(1, 500), "INVITE", Noise(2, 1400),
                                 With("Subject: " + Noise(4, 9000))});
    return corpus;
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

// The callee's response to the phone's INVITE, its dialog headers copied.
std::string ResponseTo(const std::string& invite, const std::string& status,
                       const std::string& body = {}) {
    std::string head = "SIP/2.0 " + status + "\r\nContact: <sip:4321@127.0.0.1>\r\n";
    for (const std::string name : {"Via: ", "From: ", "To: ", "Call-ID: ", "CSeq: "}) {
        head += name + HeaderValue(invite, name) + (name[0] == 'T' ? ";tag=callee\r\n" : "\r\n");
    }
    return Framed(head + (body.empty() ? "" : "Content-Type: application/sdp\r\n"), body);
}

// Bursts of hostile SIP, each after an INVITE without G.729 that meets an empty queue and is
// refused with 415 (a full queue loses the rest of a burst); then a call whose RTP port takes
// garbage before every packet of the far end. A speaker that does not open drains nothing,
// so what the receive thread decoded counts to the byte: the far end's packets alone.
TEST(WireInputTest, HostileSipAndRtpLeaveThePhoneWorking) {
    const CallPorts ports = PickCallPorts();
    UdpPeer proxy{ports.sipp}, farEnd{ports.peerRtp};
    TestPhone phone(ports);
    CallManagerThread& manager = *phone.manager;
    platform::VirtualAudioDevice speaker("Virtual Speaker");
    speaker.openable = false;
    phone.audio.SetOutputDevices({speaker});
    manager.SelectAudioDevices(false, 2);
    const auto sendSip = [&](const std::string& m) { return proxy.SendTo(m, ports.phoneSip); };
    const auto sentOf = [&](const std::string& callId) {
        Strings lines;
        for (const std::string& m : proxy.ReceiveAll()) {
            if (HeaderValue(m, "Call-ID: ") == callId) {
                lines.push_back(FirstLine(m));
            }
        }
        return lines;
    };
    const Strings corpus = SipCorpus();
    constexpr size_t kBurst = 12;
    for (size_t first = 0; first < corpus.size(); first += kBurst) {
        SCOPED_TRACE(::testing::Message() << "datagrams from " << first);
        const std::string probe = "probe-" + std::to_string(first);
        ASSERT_TRUE(sendSip(With("To: <sip:1001@127.0.0.1>", probe)));
        for (size_t i = first; i < std::min(first + kBurst, corpus.size()); ++i) {
            ASSERT_TRUE(sendSip(corpus[i])) << i;
        }
        ASSERT_TRUE(phone.RunUntil([&] { return manager.Queue->Count() == 0; }));
        // Once the balance notice's row shows, all sent before it has been handled. A notice
        // that met a full queue is lost like any message, and sent again under a new tag.
        bool through = false;
        for (int attempt = 0; attempt < 10 && !through; ++attempt) {
            const std::string t = "mark" + std::to_string(first) + "-" + std::to_string(attempt);
            sendSip(With("InfiNETBilling: account-1001-funds:" + t + " 0;", t, true));
            through = phone.RunUntil([&] { return phone.HasRow(">Balance:" + t); }, 300);
        }
        ASSERT_TRUE(through) << "no balance notice got through";
        EXPECT_EQ(sentOf(probe + "@127.0.0.1"),
                  Split("SIP/2.0 100 Trying|SIP/2.0 415 Unsupported Media Type", '|'));
        // A hostile INVITE that offers G.729 may be ringing: refuse it.
        if (phone.InState(CallManagerThread::Incoming)) {
            manager.DoHangUp();
        }
        ASSERT_TRUE(phone.InState(CallManagerThread::Idle));
    }
    proxy.ReceiveAll();

    ASSERT_TRUE(manager.DoDial("4321"));
    const std::string invite = proxy.Receive().value_or("");
    ASSERT_EQ(FirstLine(invite), "INVITE sip:4321@127.0.0.1 SIP/2.0");
    ASSERT_TRUE(sendSip(ResponseTo(invite, "200 OK", Sdp(farEnd.Port(), "18"))));
    ASSERT_TRUE(phone.RunUntil([&] { return manager.Connected && manager.VoiceOpen; }));
    EXPECT_EQ(sentOf(HeaderValue(invite, "Call-ID: ")), Strings{"ACK sip:4321@127.0.0.1 SIP/2.0"});
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
