#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "tests/support/CallSippSupport.h"
#include "tests/support/LeakCheck.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using Rows = std::vector<std::string>;
using testing_support::WaitUntil;

constexpr int kIdle = CallManagerThread::Idle;

std::string BodyOf(const std::string& message) {
    const size_t blank = message.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : message.substr(blank + 4);
}

// tshark capturing a test's ports on loopback, a line per packet into its log, then
// dissecting what it caught.
class Capture : public ChildProcess {
public:
    explicit Capture(const CallPorts& ports)
        : ChildProcess({"tshark", "-l", "-P", "-i", "lo", "-f", Filter(ports), "-w", file_},
                       testing_support::BinaryPath("call_capture_tshark.log"), "", 0),
          peerRtp_(ports.peerRtp) {
        for (const uint16_t port : {ports.sipp, ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
            decode_ += " -d udp.port==" + std::to_string(port) +
                       (port == ports.sipp || port == ports.phoneSip ? ",sip" : ",rtp");
        }
        capturing_ = CaughtUp(20000);  // tshark takes seconds to start on a busy machine
    }
    // Stops tshark once it has seen everything sent so far; whether it captured at all.
    bool Stop() {
        if (!stopped_) {
            capturing_ = capturing_ && CaughtUp(10000);
            Interrupt();
            stopped_ = true;
        }
        return capturing_;
    }
    // The non-empty lines tshark prints for arguments over the capture.
    Rows Read(const std::string& arguments) const {
        EXPECT_EQ(std::system(("tshark -r " + file_ + decode_ + arguments + " > " + file_ +
                               ".txt 2>/dev/null")
                                  .c_str()),
                  0);
        Rows lines = Split(ReadFile(file_ + ".txt"), '\n');
        lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
        return lines;
    }

private:
    static std::string Filter(const CallPorts& ports) {
        std::string filter = "udp and (port " + std::to_string(ports.sipp);
        for (const uint16_t port : {ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
            filter += " or port " + std::to_string(port);
        }
        return filter + ")";
    }
    // Sends a probe to a captured port until tshark shows it: then everything sent before it
    // has been captured too. Packet lines name their addresses; tshark's own notes do not.
    bool CaughtUp(int timeoutMs) {
        const auto packets = [&] {
            const Rows lines = Split(Log(), '\n');
            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("127.0.0.") != std::string::npos;
            });
        };
        const auto before = packets();
        UdpPeer probe;
        return WaitUntil(
            [&] { return probe.SendTo(G729Packet(1), peerRtp_) && packets() > before; }, timeoutMs,
            100);
    }

    inline static const std::string file_ = testing_support::BinaryPath("call_capture.pcapng");
    std::string decode_;
    uint16_t peerRtp_;
    bool capturing_ = false, stopped_ = false;
};

// Each message as "first line / CSeq", for a whole flow's order at a glance.
Rows Summary(const Rows& messages) {
    Rows lines;
    for (const std::string& message : messages) {
        lines.push_back(FirstLine(message) + " / " + HeaderValue(message, "CSeq: "));
    }
    return lines;
}

// Every kind of outgoing call, one after the other, against sipp as the proxy and the far
// end (scenarios/callee.xml) and under a capture whose dissectors must find every message
// well formed; the hang-up before the answer comes last, from the window's thread.
TEST(OutgoingCall, EveryKindOfCallAgainstSippDissectsCleanly) {
    const CallPorts ports = PickCallPorts();
    Capture capture(ports);
    UdpPeer peer{ports.peerRtp};                           // after the capture's probes
    SippPeer sipp("callee", ports, 8, CalleeArgs(ports));  // an authorised INVITE is a call
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    const testing_support::LeakCheck leaks;  // of every call below, once the phone is gone
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;
    const auto rowsOf = [&](const std::string& number) {
        return phone.RowsFrom(">Calling to : " + number);
    };

    ASSERT_TRUE(m.DoDial("5001"));
    ASSERT_TRUE(phone.RunUntil([&] { return m.RingDevice != nullptr; }));
    EXPECT_TRUE(m.RingDevice->IsOpen());
    ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
    EXPECT_TRUE(m.VoiceOpen);
    EXPECT_EQ(m.RingDevice, nullptr);
    for (uint16_t sequence = 1; sequence <= 10; ++sequence) {
        EXPECT_TRUE(IsG729(peer.Receive().value_or(""))) << sequence;
        peer.Reply(G729Packet(sequence));
    }
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 10; }));
    ASSERT_TRUE(m.DoSendDtmf(15));
    m.DoHangUp();
    EXPECT_TRUE(phone.InState(kIdle));
    EXPECT_EQ(m.Playback, nullptr);
    EXPECT_EQ(m.RtpSession, nullptr);
    EXPECT_EQ(rowsOf("5001"), RowList("Calling to : 5001|Trying...|Ringing!|Called connected!|"
                                      "Voice Channel created!|Press Button : 5|Hanging up call!|"
                                      "Voice Channel closed!|Call cleared!"));

    ASSERT_TRUE(m.DoDial("5003"));
    ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">183 Session Progress!"); }));
    EXPECT_TRUE(m.VoiceOpen && !m.Connected);
    EXPECT_TRUE(IsG729(peer.Receive().value_or("")));
    const CDeviceSP* playback = m.Playback.get();
    ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
    EXPECT_EQ(m.Playback.get(), playback);  // the 200 only acknowledges
    m.DoHangUp();
    EXPECT_EQ(rowsOf("5003"), RowList("Calling to : 5003|Trying...|Voice Channel created!|"
                                      "183 Session Progress!|Called connected!|Hanging up call!|"
                                      "Voice Channel closed!|Call cleared!"));

    // A busy refusal, and challenges answered once with a digest: after a 407 the proxy refuses
    // the authorised INVITE, after a 401 it challenges again, which ends with an ACK. Then
    // what the phone sends to each number, CSeqs counting on over the calls.
    std::string sent =
        "5001 INVITE 0 ACK 0 INFO 1 INFO 1 BYE 2 BYE 2|5003 INVITE 3 ACK 3 BYE 4 BYE 4";
    const struct {
        std::string number, rows, sent;
    } refusals[] = {{"486", "User Busy!|", "INVITE 5 ACK 5"},
                    {"5005", "Trying...|User Busy!|", "INVITE 6 ACK 6 INVITE 7 ACK 7"},
                    {"5006", "Trying...|Authentication failed!|", "INVITE 8 ACK 8 INVITE 9 ACK 9"}};
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.number);
        ASSERT_TRUE(m.DoDial(refusal.number));
        ASSERT_TRUE(phone.RunUntil([&] {
            const Rows rows = rowsOf(refusal.number);
            return !rows.empty() && rows.back() == ">Call cleared!";
        }));
        EXPECT_TRUE(phone.InState(kIdle));
        EXPECT_EQ(rowsOf(refusal.number), RowList("Calling to : " + refusal.number + "|Trying...|" +
                                                  refusal.rows + "Call cleared!"));
        sent += "|" + refusal.number + " " + refusal.sent;
    }

    m.Resume();
    ASSERT_TRUE(m.Dial("5004"));
    ASSERT_TRUE(WaitUntil([&] { return rowsOf("5004").size() == 3; })) << sipp.Log();
    ASSERT_TRUE(m.HangUp());
    m.SetVolumes(20, 25);
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();  // sipp checked the 401 path's digest
    EXPECT_TRUE(m.ChangeState(true, kIdle));
    EXPECT_EQ(rowsOf("5004"), RowList("Calling to : 5004|Trying...|Ringing!|Hanging up call!|"
                                      "Stop Ringing!|Call cleared!"));
    sent += "|5004 INVITE 10 CANCEL 10 CANCEL 10 ACK 10";  // the ACK of the 487

    Rows expected;
    for (const std::string& call : Split(sent, '|')) {
        const Rows words = Split(call);
        for (size_t i = 1; i + 1 < words.size(); i += 2) {
            expected.push_back(words[i] + " sip:" + words[0] + "@127.0.0.1 SIP/2.0 / " +
                               words[i + 1] + " " + words[i]);
        }
    }
    const Rows received = sipp.Received(), summary = Summary(received);
    ASSERT_EQ(summary, expected);
    // Copies are identical; each INVITE opens a dialog of its own, the rest stay in it.
    for (size_t i = 1; i < received.size(); ++i) {
        const std::string callId = HeaderValue(received[i], "Call-ID: ");
        if (summary[i] == summary[i - 1]) {
            EXPECT_EQ(received[i], received[i - 1]) << i;
        } else if (expected[i].rfind("INVITE", 0) == 0) {
            EXPECT_NE(callId, HeaderValue(received[i - 1], "Call-ID: ")) << i;
        } else {
            EXPECT_EQ(callId, HeaderValue(received[i - 1], "Call-ID: ")) << i;
        }
    }
    const std::string& invite = received[0];
    const std::string calleeTo = HeaderValue(received[1], "To: ");
    EXPECT_TRUE(calleeTo.rfind("<sip:5001@127.0.0.1>;tag=", 0) == 0 &&
                calleeTo.find("SIPpTag01") != std::string::npos)
        << calleeTo;
    EXPECT_EQ((Rows{HeaderValue(received[4], "From: "), HeaderValue(received[4], "To: ")}),
              (Rows{HeaderValue(invite, "From: "), calleeTo}));
    // A challenged INVITE is sent once more to the proxy's realm; verifyauth reads only an
    // Authorization header, so this digest is checked here:
    // MD5(MD5("1001:kyr.test:secret") ":n0nce407:" MD5("INVITE:sip:5005@127.0.0.1")).
    EXPECT_EQ(HeaderValue(received[14], "To: ") + HeaderValue(received[18], "To: "),
              "<sip:5005@kyr.test><sip:5006@kyr.test>");
    EXPECT_EQ(HeaderValue(received[14], "Proxy-Authorization: "),
              "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce407\","
              "uri=\"sip:5005@127.0.0.1\",response=\"0b1759fc3e9259176a0b91db172ff2a4\"");
    EXPECT_EQ(HeaderValue(received[18], "Proxy-Authorization: "), "");
    EXPECT_EQ(HeaderValue(received[21], "To: ") + HeaderValue(received[21], "Via: "),
              HeaderValue(received[20], "To: ") + HeaderValue(received[20], "Via: "));

    if (!capture.Stop()) {
        GTEST_SKIP() << "tshark cannot capture on lo here: " << capture.Log();
    }
    // tshark reads every message the phone sent as sipp did, and finds nothing amiss.
    Rows cseqs;
    for (const std::string& line : expected) {
        cseqs.push_back(line.substr(line.find(" / ") + 3));
    }
    EXPECT_EQ(capture.Read(" -Y 'sip && udp.srcport==" + std::to_string(ports.phoneSip) +
                           "' -T fields -e sip.CSeq"),
              cseqs);
    EXPECT_EQ(capture.Read(" -Y '_ws.malformed || (sip && _ws.expert.severity >= \"warning\")'"),
              Rows{});
    // Every RTP datagram both ways: G.729, 12-byte header + two frames.
    const Rows rtp = capture.Read(" -Y rtp -T fields -e rtp.p_type -e udp.length");
    EXPECT_GE(rtp.size(), 20u);
    EXPECT_EQ(std::count(rtp.begin(), rtp.end(), "18\t40"), static_cast<long>(rtp.size()));
}

// Calls to the phone: one offering no G.729, one named by Remote-Party-ID (whatever From
// says) that the caller cancels, and an answered one during whose ringing a second INVITE is
// refused and that the caller ends; each followed by a balance notice, left unanswered.
TEST(IncomingCall, NoticesRefusalCancelAndAnAnsweredCallThatRefusesASecondInvite) {
    const CallPorts ports = PickCallPorts();
    const testing_support::LeakCheck leaks;
    TestPhone phone(ports);  // listening before sipp calls
    CallManagerThread& m = *phone.manager;
    std::vector<std::string> args = CallersArgs(
        ports, "127.0.0.1:" + std::to_string(ports.phoneSip),
        {"3456;5;3456;0 8 101;12.50 300;", "0000;3;7890;0 18;7.25;", "3456;6;3456;18 4 101;9.99;"});
    for (const std::string& arg :
         Split("-mp " + std::to_string(ports.peerRtp) + " -mi 127.0.0.1 -rtp_echo")) {
        args.push_back(arg);
    }
    SippPeer sipp("callers", ports, 3, args);
    const auto shown = [&](const std::string& row) {
        return phone.RunUntil([&] { return phone.HasRow(row); });
    };

    ASSERT_TRUE(shown(">Time:300")) << sipp.Log();
    EXPECT_TRUE(phone.InState(kIdle));
    EXPECT_EQ(phone.list.ShowLastRowsCalls().back(), 4);
    ASSERT_TRUE(shown(">Calling from 7890")) << sipp.Log();
    EXPECT_NE(m.RingDevice, nullptr);
    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); })) << sipp.Log();
    EXPECT_EQ(m.RingDevice, nullptr);
    ASSERT_TRUE(shown(">Calling from 3456")) << sipp.Log();
    EXPECT_NE(m.RingDevice, nullptr);
    EXPECT_FALSE(m.HandsetRinging);  // no handset attached
    ASSERT_TRUE(phone.RunUntil([&] { return FirstLine(m.SendBuffer) == "SIP/2.0 486 Busy Here"; }));
    EXPECT_TRUE(phone.InState(CallManagerThread::Incoming));  // the first call goes on
    m.DoAnswer();
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_TRUE(m.Connected);
    ASSERT_TRUE(m.VoiceOpen);
    // sipp echoes the phone's voice: both directions work.
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 5; }));
    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); }, 8000)) << sipp.Log();
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
    ASSERT_TRUE(shown(">Balance:9.99"));
    EXPECT_EQ(phone.list.Rows(),
              RowList("Balance:12.50|Time:300|Calling from 7890|Call cleared!|Balance:7.25|"
                      "Calling from 3456|Answering call!|Voice Channel created!|"
                      "Voice Channel closed!|Call cleared!|Balance:9.99"));

    const Rows received = sipp.Received();
    EXPECT_EQ(Summary(received),
              Split("SIP/2.0 100 Trying / 1 INVITE|SIP/2.0 415 Unsupported Media Type / 1 INVITE|"
                    "SIP/2.0 100 Trying / 1 INVITE|SIP/2.0 180 Ringing / 1 INVITE|"
                    "SIP/2.0 200 OK / 1 CANCEL|SIP/2.0 487 Request Terminated / 1 INVITE|"
                    "SIP/2.0 100 Trying / 1 INVITE|SIP/2.0 180 Ringing / 1 INVITE|"
                    "SIP/2.0 486 Busy Here / 3 INVITE|SIP/2.0 200 OK / 1 INVITE|"
                    "SIP/2.0 200 OK / 1 INVITE|SIP/2.0 200 OK / 2 BYE",
                    '|'));
    ASSERT_EQ(received.size(), 12u);
    const std::string &ringing = received[7], &ok = received[9], &byeOk = received[11];
    EXPECT_EQ(ok, received[10]);
    const std::string phoneUri = "<sip:1001@127.0.0.1:" + std::to_string(ports.phoneSip) + ">";
    const std::string phoneTo = HeaderValue(ringing, "To: ");
    const std::string callerFrom = HeaderValue(ringing, "From: ");
    EXPECT_EQ(phoneTo.rfind(phoneUri + ";tag=KYR_", 0), 0u) << phoneTo;
    EXPECT_EQ(callerFrom.rfind("\"3456\" <sip:3456@127.0.0.1:", 0), 0u) << callerFrom;
    EXPECT_NE(HeaderValue(received[8], "Via: ").find("second"), std::string::npos);
    EXPECT_NE(BodyOf(ok).find("m=audio " + std::to_string(ports.phoneRtp) + " RTP/AVP 18\r\n"),
              std::string::npos);
    EXPECT_EQ(HeaderValue(ok, "Content-Length: "), std::to_string(BodyOf(ok).size()));
    // The 200 to the caller's BYE has the caller in From and the phone (with its tag) in To.
    EXPECT_EQ(
        (Rows{HeaderValue(ok, "To: "), HeaderValue(ok, "Contact: "), HeaderValue(byeOk, "From: "),
              HeaderValue(byeOk, "To: "), HeaderValue(byeOk, "Call-ID: ")}),
        (Rows{phoneTo, phoneUri, callerFrom, phoneTo, HeaderValue(ringing, "Call-ID: ")}));
}

}  // namespace
