#include <gtest/gtest.h>

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

// sipp as the proxy and the far end of the phone's outgoing calls (scenarios/callee.xml).
class OutgoingCall : public testing::Test {
protected:
    void Start(int calls = 1) {
        sipp = std::make_unique<SippPeer>("callee", ports, calls, CalleeArgs(ports));
        ASSERT_TRUE(sipp->Listening()) << sipp->Log();
        phone = std::make_unique<TestPhone>(ports);
    }
    const CallPorts ports = PickCallPorts();
    UdpPeer peer{ports.peerRtp};
    std::unique_ptr<SippPeer> sipp;
    std::unique_ptr<TestPhone> phone;
};

TEST_F(OutgoingCall, AnsweredCallCarriesVoiceAndDtmfAndEndsWithTwoByes) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CallManagerThread& m = *phone->manager;
    ASSERT_TRUE(m.DoDial("5001"));
    ASSERT_TRUE(phone->RunUntil([&] { return m.RingDevice != nullptr; }));
    EXPECT_EQ(phone->list.Rows(), RowList("Calling to : 5001|Trying...|Ringing!"));
    EXPECT_TRUE(m.RingDevice->IsOpen());

    ASSERT_TRUE(phone->RunUntil([&] { return m.Connected; }));
    EXPECT_TRUE(m.VoiceOpen);
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_EQ(m.RemoteRtpAddress, "127.0.0.1");
    EXPECT_EQ(m.RemoteRtpPort, ports.peerRtp);
    EXPECT_EQ(phone->RowsFrom(">Called connected!"),
              RowList("Called connected!|Voice Channel created!"));
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(IsG729(peer.Receive().value_or(""))) << "packet " << i;
    }
    for (uint16_t sequence = 1; sequence <= 10; ++sequence) {
        peer.Reply(G729Packet(sequence));
    }
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 10; }));

    ASSERT_TRUE(m.DoSendDtmf(15));
    EXPECT_TRUE(phone->HasRow(">Press Button : 5"));
    m.DoHangUp();
    EXPECT_TRUE(phone->InState(kIdle));
    EXPECT_EQ(m.Playback, nullptr);
    EXPECT_EQ(m.RtpSession, nullptr);
    EXPECT_EQ(phone->RowsFrom(">Hanging up call!"),
              RowList("Hanging up call!|Voice Channel closed!|Call cleared!"));
    ASSERT_EQ(sipp->WaitForExit(), 0) << sipp->Log();

    const Rows invites = sipp->ReceivedStartingWith("INVITE ");
    const Rows acks = sipp->ReceivedStartingWith("ACK ");
    const Rows infos = sipp->ReceivedStartingWith("INFO ");
    const Rows byes = sipp->ReceivedStartingWith("BYE ");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_EQ(acks.size(), 1u);
    const std::string calleeTo = HeaderValue(acks[0], "To: ");
    EXPECT_TRUE(StartsWith(calleeTo, "<sip:5001@127.0.0.1>;tag=")) << calleeTo;
    EXPECT_NE(calleeTo.find("SIPpTag01"), std::string::npos) << calleeTo;
    EXPECT_EQ(HeaderValue(acks[0], "CSeq: "), "0 ACK");

    ASSERT_TRUE(SentTwiceIdentically(infos)) << infos.size();
    EXPECT_EQ(HeaderValue(infos[0], "Content-Type: "), "application/dtmf-relay");
    EXPECT_EQ(BodyOf(infos[0]), "Signal= 5\r\nDuration= 250\r\n");
    EXPECT_EQ(HeaderValue(infos[0], "CSeq: "), "1 INFO");

    ASSERT_TRUE(SentTwiceIdentically(byes)) << byes.size();
    EXPECT_EQ(FirstLine(byes[0]), "BYE sip:5001@127.0.0.1 SIP/2.0");
    EXPECT_EQ(HeaderValue(byes[0], "From: "), HeaderValue(invites[0], "From: "));
    EXPECT_EQ(HeaderValue(byes[0], "To: "), calleeTo);
    EXPECT_EQ(HeaderValue(byes[0], "CSeq: "), "2 BYE");
    EXPECT_EQ(HeaderValue(byes[0], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
}

TEST_F(OutgoingCall, EarlyMediaOpensTheVoiceChannelBeforeTheAnswer) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CallManagerThread& m = *phone->manager;
    ASSERT_TRUE(m.DoDial("5003"));
    ASSERT_TRUE(phone->RunUntil([&] { return phone->HasRow(">183 Session Progress!"); }));
    EXPECT_TRUE(m.VoiceOpen);
    EXPECT_FALSE(m.Connected);
    EXPECT_TRUE(IsG729(peer.Receive().value_or("")));
    const CDeviceSP* playback = m.Playback.get();

    ASSERT_TRUE(phone->RunUntil([&] { return m.Connected; }));
    EXPECT_EQ(m.Playback.get(), playback);  // the 200 only acknowledges
    EXPECT_EQ(phone->RowsFrom(">Voice Channel created!"),
              RowList("Voice Channel created!|183 Session Progress!|Called connected!"));
    m.DoHangUp();
    ASSERT_EQ(sipp->WaitForExit(), 0) << sipp->Log();
    EXPECT_EQ(sipp->ReceivedStartingWith("ACK ").size(), 1u);
    EXPECT_EQ(sipp->ReceivedStartingWith("BYE ").size(), 2u);
}

// A challenged INVITE is acknowledged and sent once more with the digest, as a new dialog;
// after a 407 the proxy then refuses it, after a 401 it challenges again, which ends the
// call with an ACK rather than a third INVITE.
TEST_F(OutgoingCall, ChallengesAreAnsweredOnceWithAnAuthorisedInvite) {
    ASSERT_NO_FATAL_FAILURE(Start(4));  // each authorised INVITE is a new sipp call
    CallManagerThread& m = *phone->manager;
    for (const std::string number : {"5005", "5006"}) {
        SCOPED_TRACE(number);
        const size_t before = phone->list.Rows().size();
        ASSERT_TRUE(m.DoDial(number));
        ASSERT_TRUE(phone->RunUntil([&] {
            return phone->list.Rows().size() > before &&
                   phone->list.Rows().back() == ">Call cleared!";
        }));
        EXPECT_TRUE(phone->InState(kIdle));
        EXPECT_EQ(FirstLine(m.SendBuffer), "ACK sip:" + number + "@127.0.0.1 SIP/2.0");
    }
    // After a 401 sipp checks the digest (verifyauth) and fails the call when it is wrong.
    ASSERT_EQ(sipp->WaitForExit(), 0) << sipp->Log();
    for (const std::string number : {"5005", "5006"}) {
        SCOPED_TRACE(number);
        const Rows invites = sipp->ReceivedStartingWith("INVITE sip:" + number);
        const Rows acks = sipp->ReceivedStartingWith("ACK sip:" + number);
        ASSERT_EQ(invites.size(), 2u);
        ASSERT_EQ(acks.size(), 2u);
        EXPECT_EQ(HeaderValue(acks[0], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
        EXPECT_NE(HeaderValue(invites[1], "Call-ID: "), HeaderValue(invites[0], "Call-ID: "));
        EXPECT_EQ(HeaderValue(invites[1], "To: "), "<sip:" + number + "@kyr.test>");
        if (number == "5005") {
            EXPECT_TRUE(phone->HasRow(">User Busy!"));
            // verifyauth reads only an Authorization header, so this digest is checked here:
            // MD5(MD5("1001:kyr.test:secret") ":n0nce407:" MD5("INVITE:sip:5005@127.0.0.1")).
            EXPECT_EQ(HeaderValue(invites[1], "Proxy-Authorization: "),
                      "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce407\","
                      "uri=\"sip:5005@127.0.0.1\",response=\"0b1759fc3e9259176a0b91db172ff2a4\"");
        } else {
            EXPECT_TRUE(
                StartsWith(HeaderValue(invites[1], "Authorization: "),
                           "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"n0nce401\","));
            EXPECT_EQ(HeaderValue(invites[1], "Proxy-Authorization: "), "");
        }
    }
}

TEST_F(OutgoingCall, EveryRefusalIsAcknowledgedAndClearsTheCall) {
    const std::vector<Rows> refusals = {
        {"486", ">User Busy!"},
        {"484", ">Wrong number!"},
        {"415", ">Unsupported Media Type!"},
        {"480"},  // any other final response too
        {"404", ">Not Use!"},
    };
    ASSERT_NO_FATAL_FAILURE(Start(static_cast<int>(refusals.size())));
    CallManagerThread& m = *phone->manager;
    for (const Rows& refusal : refusals) {
        SCOPED_TRACE(refusal[0]);
        Rows expected = {">Calling to : " + refusal[0], ">Trying..."};
        expected.insert(expected.end(), refusal.begin() + 1, refusal.end());
        expected.push_back(">Call cleared!");
        const size_t before = phone->list.Rows().size();
        ASSERT_TRUE(m.DoDial(refusal[0]));
        ASSERT_TRUE(phone->RunUntil([&] { return phone->InState(kIdle); }));
        const Rows all = phone->list.Rows();
        EXPECT_EQ(Rows(all.begin() + static_cast<long>(before), all.end()), expected);
        EXPECT_EQ(FirstLine(m.SendBuffer), "ACK sip:" + refusal[0] + "@127.0.0.1 SIP/2.0");
    }
    ASSERT_EQ(sipp->WaitForExit(), 0) << sipp->Log();
    EXPECT_EQ(sipp->ReceivedStartingWith("ACK ").size(), refusals.size());
}

// The window's hang-up reaches the loop on its own thread while sipp's responses arrive:
// the INVITE is cancelled twice, and the 487 that finds the call cleared is acknowledged.
TEST_F(OutgoingCall, HangUpBeforeTheAnswerCancelsTwiceAndAcknowledgesThe487) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CallManagerThread& m = *phone->manager;
    m.Resume();
    ASSERT_TRUE(m.Dial("5004"));
    ASSERT_TRUE(WaitUntil([&] { return phone->HasRow(">Ringing!"); })) << sipp->Log();
    ASSERT_TRUE(m.HangUp());
    m.SetVolumes(20, 25);
    ASSERT_EQ(sipp->WaitForExit(), 0) << sipp->Log();  // it ends with the ACK of its 487
    EXPECT_TRUE(m.ChangeState(true, kIdle));
    EXPECT_EQ(phone->RowsFrom(">Hanging up call!"),
              RowList("Hanging up call!|Stop Ringing!|Call cleared!"));

    const Rows invites = sipp->ReceivedStartingWith("INVITE ");
    const Rows cancels = sipp->ReceivedStartingWith("CANCEL ");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_TRUE(SentTwiceIdentically(cancels)) << cancels.size();
    EXPECT_EQ(HeaderValue(cancels[0], "CSeq: "), "0 CANCEL");
    EXPECT_EQ(HeaderValue(invites[0], "CSeq: "), "0 INVITE");
    EXPECT_EQ(HeaderValue(cancels[0], "To: "), HeaderValue(invites[0], "To: "));
    EXPECT_EQ(HeaderValue(cancels[0], "Via: "), HeaderValue(invites[0], "Via: "));
    EXPECT_EQ(sipp->ReceivedStartingWith("ACK ").size(), 1u);
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
    const std::vector<std::string> echo = RtpEchoArgs(ports);
    args.insert(args.end(), echo.begin(), echo.end());
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
    EXPECT_EQ(phone.list.Rows(), Rows{});
    ASSERT_TRUE(shown(">Time:300")) << sipp.Log();
    EXPECT_EQ(phone.list.Rows(), RowList("Balance:12.50|Time:300"));
    EXPECT_EQ(phone.list.ShowLastRowsCalls().back(), 4);

    ASSERT_TRUE(shown(">Calling from 7890")) << sipp.Log();
    EXPECT_NE(m.RingDevice, nullptr);
    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); })) << sipp.Log();
    EXPECT_EQ(m.RingDevice, nullptr);
    EXPECT_EQ(phone.RowsFrom(">Calling from 7890"), RowList("Calling from 7890|Call cleared!"));
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
    EXPECT_EQ(phone.RowsFrom(">Answering call!"),
              RowList("Answering call!|Voice Channel created!"));
    // sipp echoes the phone's voice: both directions work.
    EXPECT_TRUE(WaitUntil([&] { return m.Playback->ReceiveThread()->DatagramsReceived() >= 5; }));

    ASSERT_TRUE(phone.RunUntil([&] { return phone.InState(kIdle); }, 8000)) << sipp.Log();
    EXPECT_EQ(phone.RowsFrom(">Voice Channel closed!"),
              RowList("Voice Channel closed!|Call cleared!"));
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();

    const Rows received = sipp.Received();
    EXPECT_TRUE(WithHeader(received, "CSeq: ", "9 OPTIONS").empty());  // notices go unanswered
    const Rows cancelled = WithHeader(received, "CSeq: ", "1 CANCEL");
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(FirstLine(cancelled[0]), "SIP/2.0 200 OK");

    Rows ringing;
    for (const std::string& message : sipp.ReceivedStartingWith("SIP/2.0 180 Ringing")) {
        if (StartsWith(HeaderValue(message, "From: "), "\"3456\"")) {
            ringing.push_back(message);
        }
    }
    ASSERT_EQ(ringing.size(), 1u);
    const std::string phoneUri = "<sip:1001@127.0.0.1:" + std::to_string(ports.phoneSip) + ">";
    const std::string phoneTo = HeaderValue(ringing[0], "To: ");
    EXPECT_TRUE(StartsWith(phoneTo, phoneUri + ";tag=KYR_")) << phoneTo;
    const std::string callerFrom = HeaderValue(ringing[0], "From: ");
    EXPECT_TRUE(StartsWith(callerFrom, "\"3456\" <sip:3456@127.0.0.1:")) << callerFrom;

    const Rows oks = WithHeader(sipp.ReceivedStartingWith("SIP/2.0 200 OK"), "CSeq: ", "1 INVITE");
    ASSERT_TRUE(SentTwiceIdentically(oks)) << oks.size();
    EXPECT_EQ(HeaderValue(oks[0], "To: "), phoneTo);
    EXPECT_EQ(HeaderValue(oks[0], "Contact: "), phoneUri);
    EXPECT_NE(BodyOf(oks[0]).find("m=audio " + std::to_string(ports.phoneRtp) + " RTP/AVP 18\r\n"),
              std::string::npos);

    const Rows busy = WithHeader(received, "CSeq: ", "3 INVITE");
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(FirstLine(busy[0]), "SIP/2.0 486 Busy Here");
    EXPECT_TRUE(StartsWith(HeaderValue(busy[0], "From: "), "\"5555\" <sip:5555@"));
    EXPECT_NE(HeaderValue(busy[0], "Via: ").find("second"), std::string::npos);

    // The caller's BYE has the caller in From and the phone (with its tag) in To.
    const Rows byeAnswers = WithHeader(received, "CSeq: ", "2 BYE");
    ASSERT_EQ(byeAnswers.size(), 1u);
    EXPECT_EQ(FirstLine(byeAnswers[0]), "SIP/2.0 200 OK");
    EXPECT_EQ(HeaderValue(byeAnswers[0], "From: "), callerFrom);
    EXPECT_EQ(HeaderValue(byeAnswers[0], "To: "), phoneTo);
    EXPECT_EQ(HeaderValue(byeAnswers[0], "Call-ID: "), HeaderValue(ringing[0], "Call-ID: "));
}

// sipp's verifyauth checks the digest: the right key turns the lamp green; a wrong one is
// challenged again with the same nonce, which ends the attempt with a line.
TEST(Registration, RegistrarVerifiesTheDigest) {
    for (const bool rightKey : {true, false}) {
        SCOPED_TRACE(rightKey ? "right key" : "wrong key");
        const CallPorts ports = PickCallPorts();
        SippPeer sipp("registrar", ports, 1, {});
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        RecordingMessageList list;
        RecordingLamp lamp;
        CallManagerThread manager(true);
        manager.SetMessageList(&list);
        manager.SetStatusLamp(&lamp);
        manager.SetAccount("1001", rightKey ? "secret" : "wrong-key");
        manager.SetProxy("127.0.0.1", ports.sipp);
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(ports.phoneSip);
        manager.Start();
        manager.Resume();
        EXPECT_TRUE(WaitUntil(
            [&] {
                return rightKey ? lamp.Last() == clLime : list.HasRow(">Authentication failed!");
            },
            8000))
            << sipp.Log();
        EXPECT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
        EXPECT_EQ(lamp.Last() == clLime, rightKey);
        EXPECT_TRUE(manager.ChangeState(true, kIdle));
    }
}

}  // namespace
