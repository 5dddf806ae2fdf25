#include <gtest/gtest.h>

#include <string>

#include "call/CallManagerThread.h"
#include "tests/call/CallTestDoubles.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::FirstLine;
using call_testing::HeaderValue;
using call_testing::UdpPeer;
using testing_support::WaitUntil;

constexpr int64_t kNow = 1'700'000'000;

const std::string kChallengeVias =
    "Via: SIP/2.0/UDP 127.0.0.1:5060;received=127.0.0.1;rport=40123\r\n"
    "Via: SIP/2.0/UDP 10.9.9.9;branch=z9hG4bKx\r\n";

std::string Response(const std::string& statusLine, const std::string& extra = "") {
    return statusLine + "\r\n" + kChallengeVias +
           "From: <sip:127.0.0.1>;tag=a\r\n"
           "To: <sip:127.0.0.1>;tag=reg-1\r\n"
           "Call-ID: 1\r\n"
           "CSeq: 0 REGISTER\r\n" +
           extra + "Content-Length: 0\r\n\r\n";
}

const std::string kChallenge = Response(
    "SIP/2.0 401 Unauthorized",
    "WWW-Authenticate: Digest realm=\"kyr.test\", nonce=\"abc123nonce\", algorithm=MD5\r\n");
const std::string kOk = Response("SIP/2.0 200 OK");
// MD5 digest for 1001 / secret / kyr.test / abc123nonce / REGISTER sip:127.0.0.1, by md5sum.
const std::string kExpectedAuthorization =
    "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\",uri=\"sip:127.0.0.1\","
    "response=\"d342552c875f357201fc67189617658a\"";

// Registration driven one loop cycle at a time on the test's thread, against a proxy
// socket on loopback; the clock is replaced, the 5 ms sleep of each cycle is real.
class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest() {
        manager.SetMessageList(&list);
        manager.SetStatusLamp(&lamp);
        manager.SetAccount("1001", "secret");
        manager.SetProxy("127.0.0.1", proxy.Port());
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(0);
        manager.SetRegisterInterval(150);
        manager.Start();
    }

    // Sends text from the proxy and runs the cycle that handles it.
    void Deliver(const std::string& text) {
        proxy.Reply(text);
        ASSERT_TRUE(WaitUntil([&] { return manager.Queue->Count() > 0; }));
        manager.RunCycle();
    }

    std::string NextSent() {
        auto datagram = proxy.Receive();
        return datagram ? *datagram : std::string("(nothing)");
    }

    bool NothingSent() { return !proxy.Receive(50).has_value(); }

    void Register() {
        manager.RunCycle();
        ASSERT_EQ(FirstLine(NextSent()), "REGISTER sip:127.0.0.1 SIP/2.0");
        Deliver(kChallenge);
        ASSERT_NE(NextSent().find("Authorization: "), std::string::npos);
        Deliver(kOk);
        ASSERT_TRUE(manager.Registered);
    }

    testing_support::FakeClock clock{kNow};
    UdpPeer proxy;
    call_testing::RecordingMessageList list;
    call_testing::RecordingLamp lamp;
    CallManagerThread manager{true};
};

TEST_F(RegistrationTest, ChallengeIsAnsweredOnceWithDigestAndEchoedVias) {
    manager.RunCycle();
    const std::string first = NextSent();
    EXPECT_EQ(FirstLine(first), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_EQ(HeaderValue(first, "CSeq: "), "0 REGISTER");
    EXPECT_EQ(HeaderValue(first, "Via: "), "SIP/2.0/UDP 127.0.0.1:0");
    EXPECT_EQ(HeaderValue(first, "Authorization: "), "");
    EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Registering));
    EXPECT_EQ(lamp.Colours(), (std::vector<uint32_t>{clRed}));

    Deliver(kChallenge);
    const std::string authorised = NextSent();
    EXPECT_EQ(FirstLine(authorised), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_EQ(HeaderValue(authorised, "Authorization: "), kExpectedAuthorization);
    EXPECT_EQ(HeaderValue(authorised, "CSeq: "), "1 REGISTER");
    EXPECT_NE(HeaderValue(authorised, "Call-ID: "), HeaderValue(first, "Call-ID: "));
    EXPECT_NE(HeaderValue(authorised, "From: "), HeaderValue(first, "From: "));
    EXPECT_NE(authorised.find("CSeq: 1 REGISTER\r\n" + kChallengeVias + "Contact: "),
              std::string::npos);

    // A second challenge means the key is wrong: no second authorised REGISTER.
    Deliver(kChallenge);
    EXPECT_TRUE(NothingSent());

    // The attempt starts over unauthorised more than five seconds after the last send.
    clock.AdvanceSeconds(6);
    manager.RunCycle();
    const std::string again = NextSent();
    EXPECT_EQ(HeaderValue(again, "Authorization: "), "");
    EXPECT_EQ(HeaderValue(again, "CSeq: "), "2 REGISTER");
    Deliver(kChallenge);
    EXPECT_EQ(HeaderValue(NextSent(), "Authorization: "), kExpectedAuthorization);

    Deliver(kOk);
    EXPECT_TRUE(manager.Registered);
    EXPECT_EQ(manager.RegisteredAt, kNow + 6);
    EXPECT_EQ(manager.KeepaliveCount, 1);
    EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Idle));
    EXPECT_EQ(lamp.Last(), clLime);
    EXPECT_TRUE(list.Rows().empty());
}

TEST_F(RegistrationTest, UnansweredRegisterIsRepeatedOnlyAfterMoreThanFiveSeconds) {
    manager.RunCycle();
    const std::string first = NextSent();
    clock.AdvanceSeconds(5);
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());
    clock.AdvanceSeconds(1);
    manager.RunCycle();
    const std::string repeated = NextSent();
    EXPECT_EQ(FirstLine(repeated), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_EQ(HeaderValue(repeated, "CSeq: "), "1 REGISTER");
    EXPECT_NE(HeaderValue(repeated, "Call-ID: "), HeaderValue(first, "Call-ID: "));
    EXPECT_EQ(lamp.Colours(), (std::vector<uint32_t>{clRed, clRed}));
}

TEST_F(RegistrationTest, RefreshFallsDueAfterTheIntervalFollowedByOneKeepalive) {
    Register();
    // Answers outside Registering change nothing.
    clock.AdvanceSeconds(30);
    Deliver(kOk);
    EXPECT_EQ(manager.RegisteredAt, kNow);
    Deliver(kChallenge);
    EXPECT_TRUE(NothingSent());

    clock.AdvanceSeconds(119);
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());
    clock.AdvanceSeconds(1);
    manager.RunCycle();
    EXPECT_EQ(FirstLine(NextSent()), "REGISTER sip:127.0.0.1 SIP/2.0");
    manager.RunCycle();
    EXPECT_EQ(NextSent(), "KYR");
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());
    Deliver(kChallenge);
    NextSent();
    Deliver(kOk);
    EXPECT_EQ(manager.RegisteredAt, kNow + 150);
}

TEST_F(RegistrationTest, CallHoldsTheRefreshOffAndKeepaliveGoesOncePerInterval) {
    Register();
    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Outgoing));
    clock.AdvanceSeconds(150);
    manager.RunCycle();
    EXPECT_EQ(NextSent(), "KYR");
    clock.AdvanceSeconds(149);
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());
    clock.AdvanceSeconds(1);
    manager.RunCycle();
    EXPECT_EQ(NextSent(), "KYR");
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());

    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Idle));
    manager.RunCycle();
    EXPECT_EQ(FirstLine(NextSent()), "REGISTER sip:127.0.0.1 SIP/2.0");
}

}  // namespace
