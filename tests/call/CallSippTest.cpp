#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::Callee;
using call_testing::CalleeArgs;
using call_testing::CallerArgs;
using call_testing::CallPorts;
using call_testing::FirstLine;
using call_testing::G729Packet;
using call_testing::HeaderValue;
using call_testing::PickCallPorts;
using call_testing::SentTwiceIdentically;
using call_testing::SippPeer;
using call_testing::TestPhone;
using call_testing::UdpPeer;
using testing_support::WaitUntil;

constexpr int kIdle = CallManagerThread::Idle;
constexpr int kIncoming = CallManagerThread::Incoming;

std::string BodyOf(const std::string& message) {
    const size_t blank = message.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : message.substr(blank + 4);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> WithHeader(const std::vector<std::string>& messages,
                                    const std::string& name, const std::string& value) {
    std::vector<std::string> found;
    for (const std::string& message : messages) {
        if (HeaderValue(message, name) == value) {
            found.push_back(message);
        }
    }
    return found;
}

// ---- outgoing calls ----

TEST(OutgoingCall, AnsweredCallCarriesVoiceAndDtmfAndEndsWithTwoByes) {
    const CallPorts ports = PickCallPorts();
    UdpPeer peer(ports.peerRtp);
    SippPeer sipp("callee", ports, 1, CalleeArgs(Callee::Answers, ports));
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;

    ASSERT_TRUE(m.DoDial("4321"));
    ASSERT_TRUE(phone.RunUntil([&] { return m.RingDevice != nullptr; }));
    EXPECT_TRUE(phone.HasRow(">Trying..."));
    EXPECT_TRUE(phone.HasRow(">Ringing!"));
    EXPECT_TRUE(m.RingDevice->IsOpen());

    ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
    EXPECT_TRUE(m.VoiceOpen);
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_EQ(m.RemoteRtpAddress, "127.0.0.1");
    EXPECT_EQ(m.RemoteRtpPort, ports.peerRtp);
    EXPECT_EQ(phone.RowsFrom(">Called connected!"),
              (std::vector<std::string>{">Called connected!", ">Voice Channel created!"}));

    // The phone's voice: G.729 in RTP, two frames per 32-byte datagram.
    for (int i = 0; i < 10; ++i) {
        const std::string packet = peer.Receive().value_or("");
        ASSERT_EQ(packet.size(), 32u) << "packet " << i;
        EXPECT_EQ(static_cast<unsigned char>(packet[0]) & 0xC0, 0x80);
        EXPECT_EQ(static_cast<unsigned char>(packet[1]) & 0x7F, 18);
    }
    // The far end's voice reaches the phone's receive thread.
    for (uint16_t sequence = 1; sequence <= 10; ++sequence) {
        peer.Reply(G729Packet(sequence));
    }
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 10; }));

    ASSERT_TRUE(m.DoSendDtmf(15));
    EXPECT_TRUE(phone.HasRow(">Press Button : 5"));
    m.DoHangUp();
    EXPECT_TRUE(phone.InState(kIdle));
    EXPECT_EQ(m.Playback, nullptr);
    EXPECT_EQ(m.RtpSession, nullptr);
    EXPECT_EQ(phone.RowsFrom(">Hanging up call!"),
              (std::vector<std::string>{">Hanging up call!", ">Voice Channel closed!",
                                        ">Call cleared!"}));
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();

    const std::vector<std::string> invites = sipp.ReceivedStartingWith("INVITE ");
    const std::vector<std::string> acks = sipp.ReceivedStartingWith("ACK ");
    const std::vector<std::string> infos = sipp.ReceivedStartingWith("INFO ");
    const std::vector<std::string> byes = sipp.ReceivedStartingWith("BYE ");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_EQ(acks.size(), 1u);
    const std::string calleeTo = HeaderValue(acks[0], "To: ");
    EXPECT_TRUE(StartsWith(calleeTo, "<sip:4321@127.0.0.1>;tag=")) << calleeTo;
    EXPECT_NE(calleeTo.find("SIPpTag01"), std::string::npos) << calleeTo;
    EXPECT_EQ(HeaderValue(acks[0], "CSeq: "), "0 ACK");

    ASSERT_TRUE(SentTwiceIdentically(infos)) << infos.size();
    EXPECT_EQ(HeaderValue(infos[0], "Content-Type: "), "application/dtmf-relay");
    EXPECT_EQ(BodyOf(infos[0]), "Signal= 5\r\nDuration= 250\r\n");
    EXPECT_EQ(HeaderValue(infos[0], "CSeq: "), "1 INFO");

    ASSERT_TRUE(SentTwiceIdentically(byes)) << byes.size();
    EXPECT_EQ(FirstLine(byes[0]), "BYE sip:4321@127.0.0.1 SIP/2.0");
    EXPECT_EQ(HeaderValue(byes[0], "From: "), HeaderValue(invites[0], "From: "));
    EXPECT_EQ(HeaderValue(byes[0], "To: "), calleeTo);
    EXPECT_EQ(HeaderValue(byes[0], "CSeq: "), "2 BYE");
    EXPECT_EQ(HeaderValue(byes[0], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
}

TEST(OutgoingCall, EarlyMediaOpensTheVoiceChannelBeforeTheAnswer) {
    const CallPorts ports = PickCallPorts();
    UdpPeer peer(ports.peerRtp);
    SippPeer sipp("callee", ports, 1, CalleeArgs(Callee::EarlyMedia, ports));
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;

    ASSERT_TRUE(m.DoDial("4321"));
    ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">183 Session Progress!"); }));
    EXPECT_TRUE(m.VoiceOpen);
    EXPECT_FALSE(m.Connected);
    EXPECT_EQ(peer.Receive().value_or("").size(), 32u);
    const CDeviceSP* playback = m.Playback.get();

    ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
    EXPECT_EQ(m.Playback.get(), playback);  // the 200 only acknowledges
    EXPECT_EQ(phone.RowsFrom(">Voice Channel created!"),
              (std::vector<std::string>{">Voice Channel created!", ">183 Session Progress!",
                                        ">Called connected!"}));
    m.DoHangUp();
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
    EXPECT_EQ(sipp.ReceivedStartingWith("ACK ").size(), 1u);
    EXPECT_EQ(sipp.ReceivedStartingWith("BYE ").size(), 2u);
}

// A challenged INVITE is acknowledged and sent once more with the digest, as a new dialog;
// after a 407 the proxy then refuses it, after a 401 it challenges again, which ends the
// call with an ACK rather than a third INVITE.
TEST(OutgoingCall, ChallengesAreAnsweredOnceWithAnAuthorisedInvite) {
    for (const Callee part : {Callee::Challenges407, Callee::Challenges401}) {
        SCOPED_TRACE(static_cast<int>(part));
        const CallPorts ports = PickCallPorts();
        SippPeer sipp("callee", ports, 2, CalleeArgs(part, ports));
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        TestPhone phone(ports);
        CallManagerThread& m = *phone.manager;

        ASSERT_TRUE(m.DoDial("4321"));
        ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">Call cleared!"); }));
        EXPECT_TRUE(phone.InState(kIdle));
        EXPECT_EQ(FirstLine(m.SendBuffer), "ACK sip:4321@127.0.0.1 SIP/2.0");
        // After a 401 sipp checks the digest (verifyauth) and fails the call when it is wrong.
        ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
        const std::vector<std::string> invites = sipp.ReceivedStartingWith("INVITE ");
        const std::vector<std::string> acks = sipp.ReceivedStartingWith("ACK ");
        ASSERT_EQ(invites.size(), 2u);
        ASSERT_EQ(acks.size(), 2u);
        EXPECT_EQ(HeaderValue(acks[0], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
        EXPECT_NE(HeaderValue(invites[1], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
        EXPECT_EQ(HeaderValue(invites[1], "To: "), "<sip:4321@kyr.test>");
        if (part == Callee::Challenges407) {
            EXPECT_TRUE(phone.HasRow(">User Busy!"));
            // verifyauth reads only an Authorization header, so this digest is checked here:
            // MD5(MD5("1001:kyr.test:secret") ":n0nce407:" MD5("INVITE:sip:4321@127.0.0.1")).
            EXPECT_EQ(HeaderValue(invites[1], "Proxy-Authorization: "),
                      "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce407\","
                      "uri=\"sip:4321@127.0.0.1\",response=\"3c261696afe31de06d8fe8df7da1b852\"");
        } else {
            EXPECT_TRUE(
                StartsWith(HeaderValue(invites[1], "Authorization: "),
                           "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce401\","));
            EXPECT_EQ(HeaderValue(invites[1], "Proxy-Authorization: "), "");
        }
    }
}

TEST(OutgoingCall, EveryRefusalIsAcknowledgedAndClearsTheCall) {
    const CallPorts ports = PickCallPorts();
    SippPeer sipp("callee", ports, 5, CalleeArgs(Callee::Refuses, ports));
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;

    // In the order of the scenario.
    const std::vector<std::vector<std::string>> expectedRows = {
        {">Calling to : 4321", ">User Busy!", ">Call cleared!"},
        {">Calling to : 4321", ">Wrong number!", ">Call cleared!"},
        {">Calling to : 4321", ">Unsupported Media Type!", ">Call cleared!"},
        {">Calling to : 4321", ">Call cleared!"},  // any other final response too
        {">Calling to : 4321", ">Not Use!", ">Call cleared!"},
    };
    for (const std::vector<std::string>& rows : expectedRows) {
        SCOPED_TRACE(rows[1]);
        const size_t before = phone.list.Rows().size();
        ASSERT_TRUE(m.DoDial("4321"));
        ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); }));
        const std::vector<std::string> all = phone.list.Rows();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
                  rows);
        EXPECT_EQ(FirstLine(m.SendBuffer), "ACK sip:4321@127.0.0.1 SIP/2.0");
    }
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
    EXPECT_EQ(sipp.ReceivedStartingWith("ACK ").size(), 5u);
}

// The window's hang-up reaches the loop on its own thread while sipp's responses arrive:
// the INVITE is cancelled twice, and the 487 that finds the call cleared is acknowledged.
TEST(OutgoingCall, HangUpBeforeTheAnswerCancelsTwiceAndAcknowledgesThe487) {
    const CallPorts ports = PickCallPorts();
    SippPeer sipp("callee", ports, 1, CalleeArgs(Callee::Cancelled, ports));
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;
    m.Resume();

    ASSERT_TRUE(m.Dial("4321"));
    ASSERT_TRUE(WaitUntil([&] { return phone.HasRow(">Ringing!"); })) << sipp.Log();
    ASSERT_TRUE(m.HangUp());
    m.SetVolumes(20, 25);
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();  // it ends with the ACK of its 487
    EXPECT_TRUE(m.ChangeState(true, kIdle));
    EXPECT_EQ(phone.RowsFrom(">Hanging up call!"),
              (std::vector<std::string>{">Hanging up call!", ">Stop Ringing!", ">Call cleared!"}));

    const std::vector<std::string> invites = sipp.ReceivedStartingWith("INVITE ");
    const std::vector<std::string> cancels = sipp.ReceivedStartingWith("CANCEL ");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_TRUE(SentTwiceIdentically(cancels)) << cancels.size();
    EXPECT_EQ(HeaderValue(cancels[0], "CSeq: "), "0 CANCEL");
    EXPECT_EQ(HeaderValue(invites[0], "CSeq: "), "0 INVITE");
    EXPECT_EQ(HeaderValue(cancels[0], "To: "), HeaderValue(invites[0], "To: "));
    EXPECT_EQ(HeaderValue(cancels[0], "Via: "), HeaderValue(invites[0], "Via: "));
    EXPECT_EQ(sipp.ReceivedStartingWith("ACK ").size(), 1u);
}

// ---- incoming calls ----

TEST(IncomingCall, NoticesRefusalCancelAndAnAnsweredCallThatRefusesASecondInvite) {
    const CallPorts ports = PickCallPorts();
    TestPhone phone(ports);  // listening before sipp calls
    CallManagerThread& m = *phone.manager;
    SippPeer sipp("caller", ports, 1, CallerArgs(ports));

    ASSERT_TRUE(phone.RunUntil([&] {
        return FirstLine(m.SendBuffer) == "SIP/2.0 415 Unsupported Media Type";
    })) << sipp.Log();
    EXPECT_TRUE(phone.InState(kIdle));
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_EQ(phone.list.Rows(),
              (std::vector<std::string>{">Balance:12.50", ">Time:300", ">Balance:7.25"}));
    EXPECT_EQ(phone.list.ShowLastRowsCalls().back(), 4);

    // Remote-Party-ID names the caller, whatever From says.
    ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">Calling from 7890"); })) << sipp.Log();
    EXPECT_NE(m.RingDevice, nullptr);
    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); })) << sipp.Log();
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_EQ(phone.RowsFrom(">Calling from 7890"),
              (std::vector<std::string>{">Calling from 7890", ">Call cleared!"}));

    ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">Calling from 3456"); })) << sipp.Log();
    EXPECT_TRUE(phone.InState(kIncoming));
    EXPECT_NE(m.RingDevice, nullptr);
    EXPECT_FALSE(m.HandsetRinging);  // no handset attached
    ASSERT_TRUE(phone.RunUntil([&] { return FirstLine(m.SendBuffer) == "SIP/2.0 486 Busy Here"; }))
        << sipp.Log();
    EXPECT_TRUE(phone.InState(kIncoming));  // the first call goes on

    m.DoAnswer();
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_TRUE(m.Connected);
    ASSERT_TRUE(m.VoiceOpen);
    EXPECT_EQ(phone.RowsFrom(">Answering call!"),
              (std::vector<std::string>{">Answering call!", ">Voice Channel created!"}));
    // sipp echoes the phone's voice: both directions work.
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 5; }));

    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); }, 8000)) << sipp.Log();
    EXPECT_EQ(phone.RowsFrom(">Voice Channel closed!"),
              (std::vector<std::string>{">Voice Channel closed!", ">Call cleared!"}));
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();

    const std::vector<std::string> received = sipp.Received();
    EXPECT_TRUE(WithHeader(received, "CSeq: ", "1 OPTIONS").empty());  // OPTIONS go unanswered
    const std::vector<std::string> cancelled = WithHeader(received, "CSeq: ", "4 CANCEL");
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(FirstLine(cancelled[0]), "SIP/2.0 200 OK");

    const std::vector<std::string> ringing =
        WithHeader(sipp.ReceivedStartingWith("SIP/2.0 180 Ringing"), "CSeq: ", "5 INVITE");
    ASSERT_EQ(ringing.size(), 1u);
    const std::string phoneTo = HeaderValue(ringing[0], "To: ");
    EXPECT_TRUE(
        StartsWith(phoneTo, "<sip:1001@127.0.0.1:" + std::to_string(ports.phoneSip) + ">;tag=KYR_"))
        << phoneTo;
    const std::string callerFrom = HeaderValue(ringing[0], "From: ");
    EXPECT_TRUE(StartsWith(callerFrom, "\"3456\" <sip:3456@127.0.0.1:")) << callerFrom;

    const std::vector<std::string> oks =
        WithHeader(sipp.ReceivedStartingWith("SIP/2.0 200 OK"), "CSeq: ", "5 INVITE");
    ASSERT_TRUE(SentTwiceIdentically(oks)) << oks.size();
    EXPECT_EQ(HeaderValue(oks[0], "To: "), phoneTo);
    EXPECT_EQ(HeaderValue(oks[0], "Contact: "),
              "<sip:1001@127.0.0.1:" + std::to_string(ports.phoneSip) + ">");
    EXPECT_NE(BodyOf(oks[0]).find("m=audio " + std::to_string(ports.phoneRtp) + " RTP/AVP 18\r\n"),
              std::string::npos);

    const std::vector<std::string> busy = WithHeader(received, "CSeq: ", "6 INVITE");
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(FirstLine(busy[0]), "SIP/2.0 486 Busy Here");
    EXPECT_TRUE(StartsWith(HeaderValue(busy[0], "From: "), "\"5555\" <sip:5555@"));
    EXPECT_NE(HeaderValue(busy[0], "Via: ").find("second"), std::string::npos);

    // The caller's BYE has the caller in From and the phone (with its tag) in To.
    const std::vector<std::string> byeAnswers = WithHeader(received, "CSeq: ", "7 BYE");
    ASSERT_EQ(byeAnswers.size(), 1u);
    EXPECT_EQ(FirstLine(byeAnswers[0]), "SIP/2.0 200 OK");
    EXPECT_EQ(HeaderValue(byeAnswers[0], "From: "), callerFrom);
    EXPECT_EQ(HeaderValue(byeAnswers[0], "To: "), phoneTo);
    EXPECT_EQ(HeaderValue(byeAnswers[0], "Call-ID: "), HeaderValue(ringing[0], "Call-ID: "));
}

// ---- registration, with the loop on its own thread ----

// sipp's verifyauth checks the digest: the right key turns the lamp green; a wrong one is
// challenged again with the same nonce, which ends the attempt with a line.
TEST(Registration, RegistrarVerifiesTheDigest) {
    for (const bool rightKey : {true, false}) {
        SCOPED_TRACE(rightKey ? "right key" : "wrong key");
        const CallPorts ports = PickCallPorts();
        SippPeer sipp("registrar", ports, 1, {});
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        call_testing::RecordingMessageList list;
        call_testing::RecordingLamp lamp;
        CallManagerThread manager(true);
        manager.SetMessageList(&list);
        manager.SetStatusLamp(&lamp);
        manager.SetAccount("1001", rightKey ? "secret" : "wrong-key");
        manager.SetProxy("127.0.0.1", ports.sipp);
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(ports.phoneSip);
        manager.Start();
        manager.Resume();
        if (rightKey) {
            EXPECT_TRUE(WaitUntil([&] { return lamp.Last() == clLime; }, 8000)) << sipp.Log();
            EXPECT_TRUE(manager.ChangeState(true, kIdle));
            EXPECT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
        } else {
            EXPECT_TRUE(WaitUntil([&] { return list.HasRow(">Authentication failed!"); }, 8000))
                << sipp.Log();
            EXPECT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
            EXPECT_NE(lamp.Last(), clLime);
            EXPECT_TRUE(manager.ChangeState(true, kIdle));
        }
    }
}

}  // namespace
