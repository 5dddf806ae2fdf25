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
constexpr uint32_t kTickMs = 1000;

// The registrar's answer to a REGISTER, made from its headers as a registrar makes it.
std::string Answer(const std::string& request, const std::string& statusLine,
                   const std::string& extra = "") {
    return "SIP/2.0 " + statusLine + "\r\nVia: " + HeaderValue(request, "Via: ") +
           "=40123;received=127.0.0.1\r\nFrom: " + HeaderValue(request, "From: ") +
           "\r\nTo: " + HeaderValue(request, "To: ") +
           ";tag=reg-1\r\nCall-ID: " + HeaderValue(request, "Call-ID: ") +
           "\r\nCSeq: " + HeaderValue(request, "CSeq: ") + "\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
}

std::string Challenge(const std::string& request, const std::string& nonce,
                      const std::string& status = "401 Unauthorized") {
    const std::string header = status[2] == '7' ? "Proxy-Authenticate" : "WWW-Authenticate";
    return Answer(
        request, status,
        header + ": Digest nonce=\"" + nonce + "\",  realm=\"kyr.test\", algorithm=MD5\r\n");
}

// MD5 digest for 1001 / secret / kyr.test / abc123nonce / REGISTER sip:127.0.0.1, by md5sum.
const std::string kExpectedDigest =
    "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\",uri=\"sip:127.0.0.1\","
    "response=\"d342552c875f357201fc67189617658a\"";

// Registration driven one loop cycle at a time on the test's thread, against a registrar
// socket on loopback; the clock is replaced, the 5 ms sleep of each cycle is real.
class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest() {
        manager.SetMessageList(&list);
        manager.SetStatusLamp(&lamp);
        manager.SetAccount("1001", "secret");
        manager.SetProxy("127.0.0.1", registrar.Port());
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(0);
        manager.SetRegisterInterval(150);
        manager.Start();
    }

    // Sends text from the registrar and runs the cycle that handles it.
    void Deliver(const std::string& text) {
        registrar.Reply(text);
        ASSERT_TRUE(WaitUntil([&] { return manager.Queue->Count() > 0; }));
        manager.RunCycle();
    }

    std::string NextSent() { return registrar.Receive().value_or("(nothing)"); }

    // The next SIP message, past the keepalive that follows a refresh held in Registering.
    std::string NextSip() {
        std::string sent = NextSent();
        return sent == CallManagerThread::kKeepalive ? NextSent() : sent;
    }

    bool NothingSent() { return !registrar.Receive(50).has_value(); }

    // One cycle that must send a REGISTER, which is returned.
    std::string CycleSendsRegister() {
        manager.RunCycle();
        const std::string sent = NextSip();
        EXPECT_EQ(FirstLine(sent), "REGISTER sip:127.0.0.1 SIP/2.0");
        return sent;
    }
    // Nothing goes a second before the given seconds have passed, a REGISTER once they have.
    std::string RegisterDueAfter(int seconds) {
        clock.AdvanceSeconds(seconds - 1);
        manager.RunCycle();
        EXPECT_TRUE(NothingSent());
        clock.AdvanceSeconds(1);
        return CycleSendsRegister();
    }

    // A whole registration: REGISTER, 401, authorised REGISTER, 200 with extra.
    std::string Register(const std::string& extra = "") {
        const std::string first = CycleSendsRegister();
        Deliver(Challenge(first, "nonce-" + HeaderValue(first, "CSeq: ")));
        const std::string authorised = NextSip();
        Deliver(Answer(authorised, "200 OK", extra));
        EXPECT_TRUE(manager.Binding.Registered);
        return authorised;
    }

    testing_support::FakeClock clock{kNow, kTickMs};
    UdpPeer registrar;
    call_testing::RecordingMessageList list;
    call_testing::RecordingLamp lamp;
    CallManagerThread manager{true};
};

// One Call-ID and From tag for the registration, CSeq counting up, a branch per REGISTER;
// each nonce is answered once, with the header the challenge asks for; only the attempt's
// own answer counts.
TEST_F(RegistrationTest, EachChallengeIsAnsweredOncePerNonce) {
    for (const std::string status : {"401 Unauthorized", "407 Proxy Authentication Required"}) {
        SCOPED_TRACE(status);
        const std::string first = CycleSendsRegister();
        EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Registering));
        EXPECT_EQ(HeaderValue(first, "Authorization: "), "");
        EXPECT_EQ(lamp.Last(), clRed);

        Deliver(Challenge(first, "abc123nonce", status));
        const std::string authorised = NextSip();
        const std::string header = status[2] == '7' ? "Proxy-Authorization: " : "Authorization: ";
        EXPECT_EQ(HeaderValue(authorised, header), kExpectedDigest);
        EXPECT_EQ(HeaderValue(authorised, "Call-ID: "), HeaderValue(first, "Call-ID: "));
        EXPECT_EQ(HeaderValue(authorised, "From: "), HeaderValue(first, "From: "));
        EXPECT_NE(HeaderValue(authorised, "Via: "), HeaderValue(first, "Via: "));
        EXPECT_EQ(std::stoi(HeaderValue(authorised, "CSeq: ")),
                  std::stoi(HeaderValue(first, "CSeq: ")) + 1);

        // The same nonce again: the key is refused, the attempt ends and the next one waits.
        Deliver(Challenge(authorised, "abc123nonce", status));
        EXPECT_TRUE(NothingSent());
        EXPECT_EQ(list.Rows().back(), ">Authentication failed!");
        EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Idle));
        const std::string again = RegisterDueAfter(Registration::kRefusedRetrySeconds);
        EXPECT_EQ(HeaderValue(again, "Call-ID: "), HeaderValue(first, "Call-ID: "));
        Deliver(Challenge(again, "abc123nonce", status));
        const std::string accepted = NextSent();
        EXPECT_EQ(HeaderValue(accepted, header), kExpectedDigest);
        Deliver(Answer(accepted, "200 OK"));
        EXPECT_TRUE(manager.Binding.Registered);
        EXPECT_EQ(lamp.Last(), clLime);
        EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Idle));
        // Outside an attempt, answers change nothing.
        const int64_t at = manager.Binding.RegisteredAt;
        clock.AdvanceSeconds(30);
        Deliver(Answer(accepted, "200 OK"));
        Deliver(Challenge(accepted, "other"));
        EXPECT_TRUE(NothingSent());
        EXPECT_EQ(manager.Binding.RegisteredAt, at);
        clock.AdvanceSeconds(120);
    }
}

// An unanswered REGISTER is resent by its transaction on timer E, and replaced by a new one
// (same Call-ID, next CSeq) once more than five seconds have passed; the old one then rests.
TEST_F(RegistrationTest, UnansweredRegisterIsResentAndThenRepeated) {
    const std::string first = CycleSendsRegister();
    clock.SetTickCount(kTickMs + 499);
    manager.RunCycle();
    EXPECT_TRUE(NothingSent());
    clock.SetTickCount(kTickMs + 500);
    manager.RunCycle();
    EXPECT_EQ(NextSent(), first);

    const std::string repeated = RegisterDueAfter(6);
    EXPECT_EQ(HeaderValue(repeated, "Call-ID: "), HeaderValue(first, "Call-ID: "));
    EXPECT_EQ(HeaderValue(repeated, "CSeq: "), "1 REGISTER");
    clock.SetTickCount(kTickMs + 2000);
    manager.RunCycle();
    EXPECT_EQ(NextSent(), repeated);
    EXPECT_TRUE(NothingSent());
}

// The expiry the registrar grants is refreshed before it runs out; without one, and never
// later than, the configured interval.
TEST_F(RegistrationTest, GrantedExpiryIsRefreshedBeforeItRunsOut) {
    const struct {
        std::string granted;
        int refreshAfter;
    } rows[] = {
        {"", 150},
        {"Contact: <sip:1001@127.0.0.1:0>;expires=60\r\n", 30},
        {"Contact: <sip:1001@10.0.0.5:5060>;expires=20, <sip:1001@127.0.0.1:0>;expires=100\r\n",
         70},
        {"Expires: 3600\r\n", 150},
        {"Expires: 8\r\n", Registration::kRetrySeconds + 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.granted);
        const std::string authorised = Register(row.granted);
        const std::string refresh = RegisterDueAfter(row.refreshAfter);
        EXPECT_EQ(HeaderValue(refresh, "Call-ID: "), HeaderValue(authorised, "Call-ID: "));
        Deliver(Answer(refresh, "200 OK"));
        EXPECT_TRUE(manager.Binding.Registered);
        registrar.Receive(50);  // a keepalive, when the refresh came within its interval
        clock.AdvanceSeconds(150);
    }
}

TEST_F(RegistrationTest, IntervalTooBriefIsAnsweredOnceWithMinExpires) {
    const std::string first = CycleSendsRegister();
    EXPECT_NE(first.find(";expires=150\r\n"), std::string::npos);
    Deliver(Answer(first, "423 Interval Too Brief", "Min-Expires: 3600\r\n"));
    const std::string raised = NextSent();
    EXPECT_NE(raised.find(";expires=3600\r\n"), std::string::npos);
    Deliver(Answer(raised, "423 Interval Too Brief", "Min-Expires: 7200\r\n"));
    EXPECT_TRUE(NothingSent());
}

TEST_F(RegistrationTest, CallHoldsTheRefreshOffAndKeepaliveGoesOncePerInterval) {
    Register();
    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Outgoing));
    for (const int seconds : {150, 149, 1, 0}) {
        clock.AdvanceSeconds(seconds);
        manager.RunCycle();
        EXPECT_EQ(registrar.Receive(50).value_or(""), seconds == 150 || seconds == 1 ? "KYR" : "");
    }

    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Idle));
    CycleSendsRegister();
}

}  // namespace
