#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using Rows = std::vector<std::string>;
using testing_support::WaitUntil;

constexpr int kIdle = CallManagerThread::Idle;

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string BodyOf(const std::string& message) {
    const size_t blank = message.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : message.substr(blank + 4);
}

// The messages whose header (or, with none, whose text) starts with value.
Rows With(const Rows& messages, const std::string& header, const std::string& value) {
    Rows found;
    for (const std::string& message : messages) {
        if (StartsWith(header.empty() ? message : HeaderValue(message, header), value)) {
            found.push_back(message);
        }
    }
    return found;
}

// Every kind of outgoing call, one after the other, against sipp as the proxy and the far
// end (scenarios/callee.xml); the hang-up before the answer comes last, from the window's
// thread while sipp's responses arrive.
TEST(OutgoingCall, EveryKindOfCallAgainstSipp) {
    const CallPorts ports = PickCallPorts();
    UdpPeer peer{ports.peerRtp};
    SippPeer sipp("callee", ports, 12, CalleeArgs(ports));  // an authorised INVITE is a call
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
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
    EXPECT_EQ(m.RemoteRtpAddress + ":" + std::to_string(m.RemoteRtpPort),
              "127.0.0.1:" + std::to_string(ports.peerRtp));
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

    // Refusals, and challenges answered once with a digest: after a 407 the proxy refuses
    // the authorised INVITE, after a 401 it challenges again, which ends with an ACK.
    const struct {
        std::string number, rows;
    } refusals[] = {{"486", "User Busy!|"},
                    {"484", "Wrong number!|"},
                    {"415", "Unsupported Media Type!|"},
                    {"480", ""},
                    {"404", "Not Use!|"},
                    {"5005", "Trying...|User Busy!|"},
                    {"5006", "Trying...|Authentication failed!|"}};
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
        EXPECT_EQ(FirstLine(m.SendBuffer), "ACK sip:" + refusal.number + "@127.0.0.1 SIP/2.0");
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

    const auto sent = [&](const std::string& start) { return With(sipp.Received(), "", start); };
    EXPECT_EQ(sent("ACK sip:5003").size(), 1u);
    EXPECT_EQ(sent("BYE sip:5003").size(), 2u);
    const Rows invite = sent("INVITE sip:5001"), ack = sent("ACK sip:5001");
    const Rows info = sent("INFO sip:5001"), bye = sent("BYE sip:5001");
    ASSERT_EQ(invite.size() + ack.size(), 2u);
    ASSERT_TRUE(SentTwiceIdentically(info)) << info.size();
    ASSERT_TRUE(SentTwiceIdentically(bye)) << bye.size();
    const std::string calleeTo = HeaderValue(ack[0], "To: ");
    EXPECT_TRUE(StartsWith(calleeTo, "<sip:5001@127.0.0.1>;tag=") &&
                calleeTo.find("SIPpTag01") != std::string::npos)
        << calleeTo;
    EXPECT_EQ((Rows{HeaderValue(ack[0], "CSeq: "), HeaderValue(info[0], "CSeq: "),
                    HeaderValue(info[0], "Content-Type: "), BodyOf(info[0]), FirstLine(bye[0]),
                    HeaderValue(bye[0], "CSeq: "), HeaderValue(bye[0], "From: "),
                    HeaderValue(bye[0], "To: "), HeaderValue(bye[0], "Call-ID: ")}),
              (Rows{"0 ACK", "1 INFO", "application/dtmf-relay", "Signal= 5\r\nDuration= 250\r\n",
                    "BYE sip:5001@127.0.0.1 SIP/2.0", "2 BYE", HeaderValue(invite[0], "From: "),
                    calleeTo, HeaderValue(invite[0], "Call-ID: ")}));

    for (const auto& refusal : refusals) {
        const Rows invites = sent("INVITE sip:" + refusal.number);
        const Rows acks = sent("ACK sip:" + refusal.number);
        ASSERT_EQ(invites.size(), acks.size()) << refusal.number;
        EXPECT_EQ(acks.size(), refusal.number.size() == 3 ? 1u : 2u) << refusal.number;
        EXPECT_EQ(HeaderValue(acks[0], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
    }
    // A challenged INVITE is sent once more as a new dialog, to the proxy's realm.
    for (const std::string number : {"5005", "5006"}) {
        const Rows invites = sent("INVITE sip:" + number);
        EXPECT_NE(HeaderValue(invites[1], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
        EXPECT_EQ(HeaderValue(invites[1], "To: "), "<sip:" + number + "@kyr.test>");
    }
    // verifyauth reads only an Authorization header, so this digest is checked here:
    // MD5(MD5("1001:kyr.test:secret") ":n0nce407:" MD5("INVITE:sip:5005@127.0.0.1")).
    EXPECT_EQ(HeaderValue(sent("INVITE sip:5005")[1], "Proxy-Authorization: "),
              "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce407\","
              "uri=\"sip:5005@127.0.0.1\",response=\"0b1759fc3e9259176a0b91db172ff2a4\"");
    EXPECT_EQ(HeaderValue(sent("INVITE sip:5006")[1], "Proxy-Authorization: "), "");

    const Rows invites = sent("INVITE sip:5004"), cancels = sent("CANCEL sip:5004");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_TRUE(SentTwiceIdentically(cancels)) << cancels.size();
    // The CSeq counts on over the calls, ACKs aside: 0-4 for 5001 and 5003, 5-13 for the rest.
    EXPECT_EQ((Rows{HeaderValue(invites[0], "CSeq: "), HeaderValue(cancels[0], "CSeq: "),
                    HeaderValue(cancels[0], "To: "), HeaderValue(cancels[0], "Via: ")}),
              (Rows{"14 INVITE", "14 CANCEL", HeaderValue(invites[0], "To: "),
                    HeaderValue(invites[0], "Via: ")}));
    EXPECT_EQ(sent("ACK sip:5004").size(), 1u);  // of the 487 that finds the call cleared
}

// Calls to the phone: one offering no G.729, one named by Remote-Party-ID (whatever From
// says) that the caller cancels, and an answered one during whose ringing a second INVITE is
// refused and that the caller ends; each followed by a balance notice.
TEST(IncomingCall, NoticesRefusalCancelAndAnAnsweredCallThatRefusesASecondInvite) {
    const CallPorts ports = PickCallPorts();
    TestPhone phone(ports);  // listening before sipp calls
    CallManagerThread& m = *phone.manager;
    std::vector<std::string> args = CallersArgs(
        ports, "127.0.0.1:" + std::to_string(ports.phoneSip),
        {"3456;5;3456;0 8 101;12.50 300;", "0000;3;7890;0 18;7.25;", "3456;6;3456;18 4 101;9.99;"});
    for (const std::string& arg : RtpEchoArgs(ports)) {
        args.push_back(arg);
    }
    SippPeer sipp("callers", ports, 3, args);
    const auto sent = [&](const std::string& line) {
        return phone.RunUntil([&] { return FirstLine(m.SendBuffer) == line; });
    };
    const auto shown = [&](const std::string& row) {
        return phone.RunUntil([&] { return phone.HasRow(row); });
    };

    ASSERT_TRUE(sent("SIP/2.0 415 Unsupported Media Type")) << sipp.Log();
    EXPECT_TRUE(phone.InState(kIdle));
    EXPECT_EQ(m.RingDevice, nullptr);
    ASSERT_TRUE(shown(">Time:300")) << sipp.Log();
    EXPECT_EQ(phone.list.ShowLastRowsCalls().back(), 4);

    ASSERT_TRUE(shown(">Calling from 7890")) << sipp.Log();
    EXPECT_NE(m.RingDevice, nullptr);
    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); })) << sipp.Log();
    EXPECT_EQ(m.RingDevice, nullptr);
    ASSERT_TRUE(shown(">Balance:7.25")) << sipp.Log();

    ASSERT_TRUE(shown(">Calling from 3456")) << sipp.Log();
    EXPECT_TRUE(phone.InState(CallManagerThread::Incoming));
    EXPECT_NE(m.RingDevice, nullptr);
    EXPECT_FALSE(m.HandsetRinging);  // no handset attached
    ASSERT_TRUE(sent("SIP/2.0 486 Busy Here")) << sipp.Log();
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
    EXPECT_TRUE(With(received, "CSeq: ", "9 OPTIONS").empty());  // notices go unanswered
    const Rows ringing =
        With(With(sipp.Received(), "", "SIP/2.0 180 Ringing"), "From: ", "\"3456\"");
    const Rows oks = With(With(sipp.Received(), "", "SIP/2.0 200 OK"), "CSeq: ", "1 INVITE");
    const Rows cancelled = With(received, "CSeq: ", "1 CANCEL");
    const Rows busy = With(received, "CSeq: ", "3 INVITE"),
               byeOk = With(received, "CSeq: ", "2 BYE");
    ASSERT_EQ(ringing.size() + cancelled.size() + busy.size() + byeOk.size(), 4u);
    ASSERT_TRUE(SentTwiceIdentically(oks)) << oks.size();
    const std::string phoneUri = "<sip:1001@127.0.0.1:" + std::to_string(ports.phoneSip) + ">";
    const std::string phoneTo = HeaderValue(ringing[0], "To: ");
    const std::string callerFrom = HeaderValue(ringing[0], "From: ");
    EXPECT_TRUE(StartsWith(phoneTo, phoneUri + ";tag=KYR_")) << phoneTo;
    EXPECT_TRUE(StartsWith(callerFrom, "\"3456\" <sip:3456@127.0.0.1:")) << callerFrom;
    EXPECT_NE(HeaderValue(busy[0], "Via: ").find("second"), std::string::npos);
    EXPECT_NE(BodyOf(oks[0]).find("m=audio " + std::to_string(ports.phoneRtp) + " RTP/AVP 18\r\n"),
              std::string::npos);
    EXPECT_EQ(HeaderValue(oks[0], "Content-Length: "), std::to_string(BodyOf(oks[0]).size()));
    // The 200 to the caller's BYE has the caller in From and the phone (with its tag) in To.
    EXPECT_EQ((Rows{FirstLine(cancelled[0]), FirstLine(busy[0]), HeaderValue(oks[0], "To: "),
                    HeaderValue(oks[0], "Contact: "), FirstLine(byeOk[0]),
                    HeaderValue(byeOk[0], "From: "), HeaderValue(byeOk[0], "To: "),
                    HeaderValue(byeOk[0], "Call-ID: ")}),
              (Rows{"SIP/2.0 200 OK", "SIP/2.0 486 Busy Here", phoneTo, phoneUri, "SIP/2.0 200 OK",
                    callerFrom, phoneTo, HeaderValue(ringing[0], "Call-ID: ")}));
}

// The non-empty lines tshark prints for arguments.
std::vector<std::string> Tshark(const std::string& arguments) {
    std::string output;
    if (FILE* pipe = popen(("tshark " + arguments + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (size_t n = 0; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
            output.append(buffer, n);
        }
        pclose(pipe);
    }
    std::vector<std::string> lines = Split(output, '\n');
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

// Sends a probe (a G.729 RTP packet to a captured port) until tshark, which prints a line
// per packet into log, shows it: then everything sent before it has been captured too.
bool CaughtUp(const std::string& log, uint16_t port, int timeoutMs) {
    const auto packets = [&] { return Split(ReadFile(log), '\n').size(); };
    const auto before = packets();
    UdpPeer probe;
    return testing_support::WaitUntil(
        [&] { return probe.SendTo(G729Packet(1), port) && packets() > before; }, timeoutMs, 100);
}

// A call captured on loopback by tshark, whose dissectors must find the phone's signalling
// and both directions of voice well formed.
TEST(CallCapture, SignallingAndVoiceDissectCleanlyInTshark) {
    const CallPorts ports = PickCallPorts();
    const std::string file = testing_support::BinaryPath("call_capture.pcapng");
    const std::string log = testing_support::BinaryPath("call_capture_tshark.log");
    std::string filter = "udp and (port " + std::to_string(ports.sipp), decode = "-r " + file;
    for (const uint16_t port : {ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
        filter += " or port " + std::to_string(port);
    }
    for (const uint16_t port : {ports.sipp, ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
        decode += " -d udp.port==" + std::to_string(port) +
                  (port == ports.sipp || port == ports.phoneSip ? ",sip" : ",rtp");
    }
    std::remove(file.c_str());
    std::remove(log.c_str());  // a previous run's lines would pass for this one's
    const pid_t tshark = fork();
    if (tshark == 0) {
        std::freopen(log.c_str(), "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execlp("tshark", "tshark", "-l", "-P", "-i", "lo", "-f", (filter + ")").c_str(), "-w",
               file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // tshark takes a few seconds to start on a busy machine.
    const bool capturing = CaughtUp(log, ports.peerRtp, 20000);
    // One call: the phone's INVITE with its offer, ACK, INFO and BYE, ten RTP packets each way
    // (its responses are checked header by header in IncomingCall).
    const auto call = [&] {
        UdpPeer peer(ports.peerRtp);
        SippPeer sipp("callee", ports, 1, CalleeArgs(ports));
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        TestPhone phone(ports);
        CallManagerThread& m = *phone.manager;
        ASSERT_TRUE(m.DoDial("5001"));
        ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
        for (uint16_t sequence = 1; sequence <= 10; ++sequence) {
            ASSERT_TRUE(peer.Receive().has_value());
            peer.Reply(G729Packet(sequence));
        }
        ASSERT_TRUE(m.DoSendDtmf(15));
        m.DoHangUp();
        ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
    };
    if (capturing) {
        call();  // a failure leaves tshark to be stopped below
        // Stopped only once it has seen the last of the call.
        EXPECT_TRUE(CaughtUp(log, ports.peerRtp, 10000));
    }
    kill(tshark, SIGINT);
    waitpid(tshark, nullptr, 0);
    if (!capturing) {
        GTEST_SKIP() << "tshark cannot capture on lo here: " << ReadFile(log);
    }

    const std::string phoneSent =
        " -Y 'sip && udp.srcport==" + std::to_string(ports.phoneSip) + "' -T fields -e sip.CSeq";
    EXPECT_EQ(Tshark(decode + phoneSent), Split("0 INVITE|0 ACK|1 INFO|1 INFO|2 BYE|2 BYE", '|'));
    EXPECT_EQ(Tshark(decode + " -Y '_ws.malformed || (sip && _ws.expert.severity >= \"warning\")'"),
              std::vector<std::string>{});
    // Every RTP datagram both ways: G.729, 12-byte header + two frames.
    const std::vector<std::string> rtp =
        Tshark(decode + " -Y rtp -T fields -e rtp.p_type -e udp.length");
    EXPECT_GE(rtp.size(), 20u);
    EXPECT_EQ(std::count(rtp.begin(), rtp.end(), "18\t40"), static_cast<long>(rtp.size()));
}

}  // namespace
