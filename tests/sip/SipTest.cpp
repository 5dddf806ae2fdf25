#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "platform/UdpSocket.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "sip/SIPSendRecvThread.h"
#include "sip/SipTransactions.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;

// Lines written with "\n" become a datagram with CR LF line ends.
std::string Crlf(const std::string& text) {
    return std::regex_replace(text, std::regex("\n"), "\r\n");
}

// Every field as "&Name=value&", each entry of a list after a "|".
std::string Fields(const CSIPSDPMessage& m) {
    std::string routes, contacts;
    for (const std::string& route : m.RecordRoutes) {
        routes += "|" + route;
    }
    for (const SipContact& contact : m.Contacts) {
        contacts += "|" + contact.Uri + " " + std::to_string(contact.Expires);
    }
    const auto n = [](int32_t value) { return std::to_string(value); };
    return "&StartLine=" + m.StartLine + "&Code=" + n(m.Code) + "&CallID=" + m.CallID +
           "&ContactValue=" + m.ContactValue + "&ContactURI=" + m.ContactURI +
           "&FromTag=" + m.FromTag + "&ToTag=" + m.ToTag + "&CSeqText=" + m.CSeqText +
           "&CSeqNumber=" + n(m.CSeqNumber) + "&ToValue=" + m.ToValue + "&ViaList=" + m.ViaList +
           "&MaxForwards=" + n(m.MaxForwards) + "&ContentLength=" + n(m.ContentLength) +
           "&ViaReceived=" + m.ViaReceived + "&ViaRport=" + m.ViaRport + "&Realm=" + m.Realm +
           "&Nonce=" + m.Nonce + "&MediaAddress=" + m.MediaAddress +
           "&MediaPort=" + n(m.MediaPort) + "&MediaPayloads=" + m.MediaPayloads +
           "&CallerNumber=" + m.CallerNumber + "&Funds=" + m.Funds + "&RequestUri=" + m.RequestUri +
           "&CSeqMethod=" + m.CSeqMethod + "&TopVia=" + m.TopVia +
           "&TopViaBranch=" + m.TopViaBranch + "&RecordRoutes=" + routes + "&Contacts=" + contacts +
           "&Expires=" + n(m.Expires) + "&MinExpires=" + n(m.MinExpires) + "&Opaque=" + m.Opaque +
           "&Qop=" + m.Qop + "&Algorithm=" + m.Algorithm + "&MediaDirection=" + m.MediaDirection +
           "&";
}

const std::string kDropped = "Code=dropped";

std::string Ok(const std::string& extra) {
    return Crlf(
        "SIP/2.0 200 OK\nVia: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1;rport=5060\n"
        "From: <sip:1001@op.voip.test>;tag=KYR_1804289383\n"
        "To: <sip:1001@op.voip.test>;tag=as6b8b4567\n"
        "Call-ID: 846930886@192.168.1.20\nCSeq: 102 REGISTER\n" +
        extra + "Content-Length: 0\n\n");
}
std::string Sdp(const std::string& lines, const std::string& length = "140") {
    return Crlf(
        "SIP/2.0 200 OK\nCSeq: 102 INVITE\nContent-Type: application/sdp\nContent-Length: " +
        length + "\n\n" + lines);
}
std::string Routes(int first, int last, const char* separator) {
    std::string routes;
    for (int i = first; i < last; ++i) {
        routes += (i == first ? "" : separator) + ("<sip:p" + std::to_string(i) + ".test;lr>");
    }
    return routes;
}

// One datagram per row and the fields it must give ("Field=value&Field=value"), from the
// forms the operator's proxy and other peers send: names in any case, compact and folded,
// lists, digest parameters in any order, SDP with more than one stream, and hostile input.
const struct {
    std::string name, datagram, expected;
} kRows[] = {
    {"invite",
     Crlf(
         "INVITE sip:1001@192.168.1.20:5060 SIP/2.0\n"
         "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=z9hG4bK2b3c.1\nMax-Forwards: 69\n"
         "From: \"3456\" <sip:3456@op.voip.test>;tag=as58f4a2c1\nTo: <sip:1001@op.voip.test>\n"
         "Contact: <sip:3456@203.0.113.5:5060>\nCall-ID: 5f1e2d3c4b5a@203.0.113.5\n"
         "CSeq: 102 INVITE\nRemote-Party-ID: \"Front desk\" <sip:7890@op.voip.test>;party=calling\n"
         "Content-Type: application/sdp\nContent-Length: 182\n\nv=0\n"
         "o=root 1821 1821 IN IP4 203.0.113.5\ns=session\nc=IN IP4 203.0.113.7\nt=0 0\n"
         "m=audio 18598 RTP/AVP 18 4 101\na=rtpmap:18 G729/8000\na=fmtp:18 annexb=no\n"),
     "Code=1000&RequestUri=sip:1001@192.168.1.20:5060&FromTag=as58f4a2c1&ToTag=&ContactURI=sip:"
     "3456@203.0.113.5:5060&CSeqNumber=102&CSeqMethod=INVITE&MaxForwards=69&ContentLength=182&"
     "CallerNumber=7890&TopViaBranch=z9hG4bK2b3c.1&ViaList=Via: SIP/2.0/UDP "
     "203.0.113.5:5060;branch=z9hG4bK2b3c.1#**#&MediaAddress=203.0.113.7&MediaPort=18598&"
     "MediaPayloads=18 4 101&MediaDirection=sendrecv&Expires=-1"},
    {"200 ok", Ok(""),
     "Code=2200&StartLine=SIP/2.0 200 "
     "OK&RequestUri=&FromTag=KYR_1804289383&ToTag=as6b8b4567&ViaRport=&ViaReceived=&MediaDirection="
     "&MediaPort=-1"},
    {"status not a number", Crlf("SIP/2.0 2x0 OK\n"), kDropped},
    {"status 700", Crlf("SIP/2.0 700 Beyond\n"), kDropped},
    {"unknown method", Crlf("PUBLISH sip:1001@op.voip.test SIP/2.0\nCSeq: 1 PUBLISH\n\n"),
     kDropped},
    {"lower case method", Crlf("invite sip:1001@op.voip.test SIP/2.0\n\n"), kDropped},
    {"tags, padding, a caller without @",
     Ok("From: <sip:3456@op>;tag=abc;x-info=1\nTo: <sip:1001@op>;tag=def ;x=1\n"
        "Max-Forwards:   70\nRemote-Party-ID: <sip:7890.op>\n"),
     "FromTag=abc;x-info=1&ToTag=&MaxForwards=70&CallerNumber="},
    {"cseq alone", Ok("CSeq: 102\n"), "CSeqNumber=-1&CSeqText=102"},
    {"cseq over 32 bits", Ok("CSeq: 99999999999 INVITE\n"), "CSeqNumber=-1"},
    {"cseq not a number", Ok("CSeq: 1o2 INVITE\n"), "CSeqNumber=-1"},
    {"digest in any order",
     Crlf("SIP/2.0 401 Unauthorized\nWWW-Authenticate: Digest nonce=\"n1\",algorithm=MD5 , "
          "realm=\"r.test\",qop=\"auth,auth-int\",  opaque=\"o1\"\n"),
     "Realm=r.test&Nonce=n1&Opaque=o1&Qop=auth,auth-int&Algorithm=MD5"},
    {"md5 preferred",
     Crlf("SIP/2.0 401 Unauthorized\n"
          "WWW-Authenticate: Digest realm=\"a\", nonce=\"1\", algorithm=SHA-256, "
          "opaque=\"x\"\nWWW-Authenticate: Digest realm=\"b\", nonce=\"2\", "
          "algorithm=MD5\nWWW-Authenticate: Digest realm=\"c\", nonce=\"3\"\n"),
     "Realm=b&Nonce=2&Opaque="},
    {"vias of a 401",
     Crlf("SIP/2.0 401 Unauthorized\nVia: SIP/2.0/UDP "
          "192.168.1.20:5060;branch=z9hG4bK-1;Received=198.51.100.9;"
          "rport=40312\nVia: SIP/2.0/UDP 10.1.1.1;Received=10.9.9.9;rport=1\n"),
     "ViaReceived=198.51.100.9&ViaRport=40312&TopViaBranch=z9hG4bK-1&ViaList=Via: SIP/2.0/UDP "
     "192.168.1.20:5060;branch=z9hG4bK-1;Received=198.51.100.9;rport=40312#**#Via: SIP/2.0/UDP "
     "10.1.1.1;Received=10.9.9.9;rport=1#**#"},
    {"port 0: the stream refused; c= with more",
     Sdp("c=IN IP4 198.51.100.20 extra\nm=audio 0 RTP/AVP 18\n"), "MediaPort=0&MediaAddress="},
    {"port 65535", Sdp("m=audio 65535 RTP/AVP 18\n"), "MediaPort=65535"},
    {"port 65536", Sdp("m=audio 65536 RTP/AVP 18\n"), "MediaPort=-1"},
    {"port before a tab", Sdp("m=audio 18598\t RTP/AVP 18\n"), "MediaPort=18598"},
    {"not rtp", Sdp("m=audio 18598 TCP/AVP 18\n"), "MediaPort=-1&MediaPayloads=18"},
    {"content-length 0 gates the sdp", Sdp("c=IN IP4 1.2.3.4\nm=audio 18598 RTP/AVP 18\n", "0"),
     "MediaAddress=&MediaPort=-1&MediaPayloads=&MediaDirection="},
    {"without length the body is headers",
     Crlf("SIP/2.0 200 OK\n\nc=IN IP4 198.51.100.20\nCall-ID: after-the-blank\n"),
     "MediaAddress=&CallID=after-the-blank"},
    {"first audio stream and its own c=",
     Sdp("v=0\nc=IN IP4 198.51.100.1\na=sendonly\nm=video 5000 RTP/AVP 34\nc=IN IP4 1.1.1.9\n"
         "a=inactive\nm=audio 4002 RTP/AVP 18 101\nc=IN IP4 198.51.100.2\na=recvonly\n"
         "m=audio 4004 RTP/AVP 0\nc=IN IP4 198.51.100.3\nm=video 5002 RTP/AVP 34\n"),
     "MediaPort=4002&MediaPayloads=18 101&MediaAddress=198.51.100.2&MediaDirection=recvonly"},
    {"billing", Crlf("OPTIONS sip:1001@h SIP/2.0\nInfiNETBilling: account-funds:12.50 300;\n"),
     "Code=1005&Funds=12.50 300"},
    {"compact forms",
     Crlf("INVITE sip:1001@192.168.1.20:5060 SIP/2.0\nv: SIP/2.0/UDP 203.0.113.5;branch=z9hG4bKc1\n"
          "i: cid-1\nf: <sip:3456@op>;tag=f1\nt: <sip:1001@op>\nm: <sip:3456@203.0.113.5>\n"
          "c: application/sdp\nk: timer\ns: hello\nl: 26\n\nv=0\nm=audio 4000 RTP/AVP 18\n"),
     "CallID=cid-1&FromTag=f1&ToValue=<sip:1001@op>&ContactURI=sip:3456@203.0.113.5&ContentLength="
     "26&MediaPort=4000&TopViaBranch=z9hG4bKc1&ViaList=v: SIP/2.0/UDP "
     "203.0.113.5;branch=z9hG4bKc1#**#"},
    {"names in any case, never by prefix",
     Crlf("SIP/2.0 200 OK\ncall-id:x1\nCSEQ : 7 BYE\nFROM:\t<sip:a@h>;TAG=t1\ncontent-length:0\n"
          "Tox: <sip:x>;tag=9\nContact-Foo: <sip:y>\nCall-IDs: z\nVias: v\n"),
     "CallID=x1&CSeqNumber=7&CSeqMethod=BYE&FromTag=t1&ContentLength=0&ToValue=&ToTag=&ContactURI=&"
     "ViaList="},
    {"folded headers",
     Crlf("SIP/2.0 200 OK\nVia: SIP/2.0/UDP a.test;branch=z9hG4bK1,\n SIP/2.0/UDP b.test\n"
          "To: <sip:1001@h>\n\t ;tag=t9\nCSeq: 4\n  INVITE\n"),
     "ViaList=Via: SIP/2.0/UDP a.test;branch=z9hG4bK1, SIP/2.0/UDP b.test#**#&TopVia=SIP/2.0/UDP "
     "a.test;branch=z9hG4bK1&ToTag=t9&CSeqNumber=4"},
    {"record-route bounded",
     Crlf("SIP/2.0 200 OK\nRecord-Route: " + Routes(0, 10, ", ") +
          "\nRecord-Route: " + Routes(10, 20, ", ") + "\n"),
     "RecordRoutes=|" + Routes(0, 16, "|")},
    {"contacts",
     Crlf("SIP/2.0 200 OK\nContact: sip:1002@127.0.0.2:5060;expires=60\n"
          "m: \"A, B\" <sip:1001@192.168.1.20:5060;transport=udp>;EXPIRES=3600, <sip:x@h>\n"
          "Expires: 120\n"),
     "ContactURI=sip:1002@127.0.0.2:5060&ContactValue=sip:1002@127.0.0.2:5060;expires=60&Contacts=|"
     "sip:1002@127.0.0.2:5060 60|sip:1001@192.168.1.20:5060;transport=udp 3600|sip:x@h "
     "-1&Expires=120&MinExpires=-1"},
    {"second empty line", Crlf("SIP/2.0 200 OK\n\n\nCSeq: 6 INVITE\n"), kDropped},
    // Fields are copied into the phone's answers: nothing after a NUL, a lone CR or a lone LF
    // may ride along in them. An unterminated last line still counts.
    {"nul ends a line", std::string("SIP/2.0 200 OK\r\nCall-ID: ab\0cd\r\nCSeq: 7 BYE", 43),
     "CallID=ab&CSeqNumber=7&CSeqMethod=BYE"},
    {"lone line breaks end a line",
     Crlf("INVITE sip:1001@kyr.voip.test SIP/2.0\n") +
         "Via: SIP/2.0/UDP 127.0.0.2;branch=z9hG4bK1\nRecord-Route: <sip:x>\r\n"
         "From: <sip:7890@kyr.voip.test>;tag=f1\rContact: <sip:evil>\r\n"
         "To: <sip:1001@kyr.voip.test>\n\nv=0\r\nCall-ID: c1\n\r\nCSeq: 1 INVITE\r\n\r\n",
     "ViaList=Via: SIP/2.0/UDP "
     "127.0.0.2;branch=z9hG4bK1#**#&RecordRoutes=&ContactURI=&FromTag=f1&ToValue=<sip:1001@kyr."
     "voip.test>&CallID=c1&CSeqNumber=1"},
    {"line of 1000 bytes", Ok("Call-ID: " + std::string(991, 'c') + "\n"),
     "CallID=" + std::string(991, 'c')},
    {"line over 1000 bytes", Ok("Call-ID: " + std::string(992, 'c') + "\n"), kDropped},
    {"folded to 1000 bytes",
     Ok("Call-ID: " + std::string(500, 'c') + "\n " + std::string(490, 'd') + "\n"),
     "CallID=" + std::string(500, 'c') + " " + std::string(490, 'd')},
    {"datagram over 65507 bytes", Ok("Subject: " + Routes(0, 3000, "\nSubject: ") + "\n"),
     kDropped},
};

TEST(SIPSDPModuleTest, EveryFormGivesItsFields) {
    for (const auto& row : kRows) {
        // Exactly sized, so a sanitizer sees any read past the datagram.
        const std::vector<char> bytes(row.datagram.begin(), row.datagram.end());
        const auto message = SIPSDPModule::ParseMessage(bytes.data(), bytes.size());
        const std::string fields = message ? Fields(*message) : "&Code=dropped&";
        for (size_t start = 0, end = 0; start < row.expected.size(); start = end + 1) {
            end = std::min(row.expected.find('&', start), row.expected.size());
            const std::string field = "&" + row.expected.substr(start, end - start) + "&";
            EXPECT_NE(fields.find(field), std::string::npos) << row.name << ": " << field << fields;
        }
    }
}

uint32_t Loopback(int last) {
    uint32_t address = 0;
    platform::ParseDottedIpv4(("127.0.0." + std::to_string(last)).c_str(), &address);
    return address;
}

// A response of exactly size bytes, told apart by its Call-ID and padded with Subject lines.
std::string Response(const std::string& callId, size_t size = 0) {
    std::string datagram = "SIP/2.0 200 OK\r\nCall-ID: " + callId + "\r\n";
    while (datagram.size() < size) {
        const size_t chunk = size - datagram.size() >= 200 ? 100 : size - datagram.size();
        datagram += "Subject: " + std::string(chunk - 11, 'x') + "\r\n";
    }
    return datagram;
}

// The proxy on 127.0.0.2 shares its port with the transport's wildcard socket, as on one
// machine. Ten bytes from it are ignored, eleven parsed; 2049 bytes are lost; strangers are
// dropped. Stopped, the transport frees the port for the one rebuilt after a settings change.
TEST(SIPSendRecvThreadTest, ExchangesWholeDatagramsWithTheProxyAndFreesItsPortAtOnce) {
    auto proxy = std::make_unique<UdpSocket>();
    ASSERT_TRUE(proxy->SetReuseAddress() && proxy->Bind(0, Loopback(2)));
    const uint16_t port = proxy->LocalPort();
    CSIPSDPMessageQueue queue;
    SIPSDPModule parser(&queue);
    std::unique_ptr<CSIPSendRecvThread> transport;  // goes first: it may be parsing into the queue
    const auto start = [&] {
        transport = std::make_unique<CSIPSendRecvThread>(true, &parser, false);
        transport->Setup("127.0.0.1", port, "127.0.0.2", port);
        transport->Resume();
    };
    const auto send = [&](UdpSocket& from, const std::string& datagram) {
        ASSERT_EQ(from.SendTo(datagram.data(), datagram.size(), {Loopback(1), port}),
                  static_cast<long>(datagram.size()));
    };
    // Waits for count queued messages and checks no more arrived.
    const auto callIds = [&](int count) {
        EXPECT_TRUE(testing_support::WaitUntil([&] { return queue.Count() >= count; }, 3000));
        EXPECT_EQ(queue.Count(), count);
        std::vector<std::string> ids;
        for (; queue.PeekHead() >= 0; queue.RemoveHead()) {
            ids.push_back(queue.MessageAt(queue.PeekHead())->CallID);
        }
        return ids;
    };
    start();
    {
        // Another address on the proxy's port, the proxy's host on another port, and another
        // address on another port.
        UdpSocket strangers[3];
        ASSERT_TRUE(strangers[0].SetReuseAddress() && strangers[0].Bind(port, Loopback(3)));
        ASSERT_TRUE(strangers[1].Bind(0, Loopback(2)) && strangers[2].Bind(0, Loopback(3)));
        for (UdpSocket& stranger : strangers) {
            send(stranger, Response("stranger"));
        }
    }
    for (const std::string& datagram :
         {std::string("BYE sip:\r\n"), std::string("BYE sip:a\r\n"), Response("too-long", 2049),
          Response("fits", 2048), Response("last")}) {
        send(*proxy, datagram);
    }
    // Datagrams reach the socket in order: once the last is queued, the others were seen.
    EXPECT_EQ(callIds(3), (std::vector<std::string>{"", "fits", "last"}));

    const std::string request = "REGISTER sip:op.voip.test SIP/2.0\r\nCSeq: 1 REGISTER\r\n\r\n";
    std::vector<char> buffer(70000);
    for (const std::string& datagram : {request, std::string(65507, 'L')}) {
        ASSERT_TRUE(transport->SendDatagram(datagram.data(), datagram.size()));
        ASSERT_EQ(proxy->WaitReadable(3000), UdpSocket::WaitResult::Readable);
        platform::Ipv4Endpoint from;
        const long received = proxy->ReceiveFrom(buffer.data(), buffer.size(), &from);
        EXPECT_EQ(std::string(buffer.data(), size_t(std::max(received, 0L))), datagram);
        EXPECT_EQ(from.port, port);
    }
    EXPECT_FALSE(transport->SendDatagram(buffer.data(), 65508));
    // A proxy given by name is never sent to.
    CSIPSendRecvThread named(true, &parser);
    named.Setup("127.0.0.1", 0, "op.voip.test", port);
    EXPECT_FALSE(named.SendDatagram("OPTIONS", 7));

    const auto before = std::chrono::steady_clock::now();
    transport->Terminate();
    transport->WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::milliseconds(CSIPSendRecvThread::kWaitMs / 3));  // well within a wait
    EXPECT_TRUE(transport->Finished());
    EXPECT_FALSE(transport->SendDatagram("OPTIONS", 7));
    proxy = std::make_unique<UdpSocket>();
    // Without address reuse this bind fails while any socket still holds the port.
    EXPECT_TRUE(UdpSocket().Bind(port));
    UdpSocket closed;
    closed.Close();
    EXPECT_FALSE(closed.Bind(port) || closed.SetReuseAddress());
    ASSERT_TRUE(proxy->SetReuseAddress() && proxy->Bind(port, Loopback(2)));
    start();
    send(*proxy, Response("after-restart"));
    EXPECT_EQ(callIds(1), std::vector<std::string>{"after-restart"});
}

using Fate = SipTransactions::Fate;

// What leaves and when, and what is given up ("method branch", "server" after a server's),
// as time moves on in 5 ms steps like the call manager's loop.
struct Wire {
    testing_support::FakeClock clock{1'700'000'000, 0};
    std::vector<uint32_t> sentAt;
    std::vector<std::string> sent, expired;
    SipTransactions layer{clock, [this](const std::string& bytes) {
                              sent.push_back(bytes);
                              sentAt.push_back(clock.TickCountMs());
                          }};

    void RunUntil(uint32_t ms) {
        while (clock.TickCountMs() < ms) {
            clock.SetTickCount(clock.TickCountMs() + 5);
            for (const SipTransactions::Expiry& e : layer.Tick()) {
                expired.push_back(e.method + " " + e.branch + (e.server ? " server" : ""));
            }
        }
    }
};

// RFC 3261 17.1.1.2 and 17.1.2.2: when each retransmission leaves, and when the
// transaction is given up, with a provisional response at respondAt (0: none).
TEST(SipTransactions, ClientTimersFollowTheRfc) {
    const struct {
        std::string method;
        uint32_t respondAt;
        std::vector<uint32_t> sendTimes;
        bool givenUp;
    } rows[] = {
        // Timer A doubles without bound; timer B ends the INVITE after 32 s.
        {"INVITE", 0, {0, 500, 1500, 3500, 7500, 15500, 31500}, true},
        // Any response stops the INVITE's retransmissions; it then waits for the final one.
        {"INVITE", 1000, {0, 500}, false},
        // Timer E doubles up to T2 (4 s); timer F ends it after 32 s.
        {"BYE", 0, {0, 500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}, true},
        // A provisional response puts E at T2.
        {"INFO", 1000, {0, 500, 1500, 5500, 9500, 13500, 17500, 21500, 25500, 29500}, true},
    };
    for (const auto& row : rows) {
        Wire wire;
        wire.layer.SendRequest(row.method, "z9hG4bKa", "call-1", 7, "request");
        if (row.respondAt > 0) {
            wire.RunUntil(row.respondAt);
            EXPECT_EQ(wire.layer.OnResponse("z9hG4bKa", row.method, "call-1", 7, 100), Fate::First);
        }
        wire.RunUntil(40000);
        EXPECT_EQ(wire.sentAt, row.sendTimes) << row.method << " " << row.respondAt;
        EXPECT_EQ(wire.expired, std::vector<std::string>(row.givenUp, row.method + " z9hG4bKa"));
    }
}

TEST(SipTransactions, ResponsesMatchByBranchAndMethodAndRepeatsAreToldApart) {
    Wire wire;
    wire.layer.SendRequest("INVITE", "z9hG4bKinv", "call-1", 1, "invite");
    wire.layer.SendRequest("BYE", "z9hG4bKbye", "call-0", 9, "bye");
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "BYE", "call-1", 1, 200), Fate::Unmatched);
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKother", "INVITE", "call-1", 1, 200), Fate::Unmatched);
    // A response of an older peer without an RFC 3261 branch: Call-ID and CSeq decide.
    EXPECT_EQ(wire.layer.OnResponse("", "BYE", "call-0", 9, 200), Fate::First);
    EXPECT_EQ(wire.layer.OnResponse("", "BYE", "call-0", 8, 200), Fate::Unmatched);

    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "INVITE", "call-1", 1, 486), Fate::First);
    wire.layer.SetAck("z9hG4bKinv", "ack");
    wire.sent.clear();
    // The repeated refusal gets the ACK again from the transaction itself.
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "INVITE", "call-1", 1, 486), Fate::Repeat);
    EXPECT_EQ(wire.sent, std::vector<std::string>{"ack"});
    wire.RunUntil(40000);
    EXPECT_TRUE(wire.expired.empty() && wire.layer.Idle());
}

// The 2xx goes again at T1 doubling up to T2 until the ACK, and is given up at 64 T1. The ACK
// of a 2xx has a branch of its own: the Call-ID finds the transaction.
TEST(SipTransactions, ServerAbsorbsRepeatsAndResendsItsOkUntilTheAck) {
    const std::vector<uint32_t> unacked{0,     0,     0,     500,   1500,  3500, 7500,
                                        11500, 15500, 19500, 23500, 27500, 31500};
    for (const bool acked : {true, false}) {
        SCOPED_TRACE(acked);
        Wire wire;
        EXPECT_FALSE(wire.layer.AbsorbRepeat("z9hG4bKin", "INVITE"));
        wire.layer.Respond("z9hG4bKin", "INVITE", "call-9", 180, "ringing");
        EXPECT_TRUE(wire.layer.AbsorbRepeat("z9hG4bKin", "INVITE"));
        EXPECT_FALSE(wire.layer.AbsorbRepeat("z9hG4bKin", "BYE"));
        EXPECT_EQ(wire.sent, (std::vector<std::string>{"ringing", "ringing"}));
        wire.layer.Respond("z9hG4bKin", "INVITE", "call-9", 200, "ok");
        wire.RunUntil(2000);
        EXPECT_EQ(acked && wire.layer.OnAck("z9hG4bKack", "call-9"), acked);
        wire.RunUntil(40000);
        EXPECT_EQ(wire.sentAt, acked ? std::vector(unacked.begin(), unacked.begin() + 5) : unacked);
        EXPECT_EQ(wire.expired, std::vector<std::string>(!acked, "INVITE z9hG4bKin server"));
    }
}

}  // namespace
