#include "call/CallManagerThread.h"

#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "call/HandsetRinger.h"
#include "platform/AudioVirtual.h"
#include "tests/support/CallSippSupport.h"
#include "tests/support/TestSupport.h"

// Received messages name only the fields the handlers read; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace call_testing;
using M = CallManagerThread;
using Strings = std::vector<std::string>;

int IsCodecLibrary(dl_phdr_info* info, size_t, void*) {
    return std::string(info->dlpi_name).ends_with(M::kCodecLibraryName);
}

// Every settings change builds a new call manager: each must let go of the codec it loaded,
// or the library is never unloaded however often the phone restarts.
TEST(CallManagerLifetime, ReleasesTheCodecLibraryItLoaded) {
    {
        M first(false), second(false);
        ASSERT_TRUE(first.CodecLibrary != nullptr && second.CodecLibrary != nullptr);
        EXPECT_NE(dl_iterate_phdr(IsCodecLibrary, nullptr), 0);
    }
    EXPECT_EQ(dl_iterate_phdr(IsCodecLibrary, nullptr), 0);
}

TEST(OffersPayload, IsATextualTestOfThePayloadList) {
    for (const char* list : {"18 4 101", "0 18", "118 0", "181", "18a", ""}) {
        EXPECT_EQ(M::OffersPayload(18, list), std::string(list).size() > 3) << list;
    }
}

// The call manager driven one loop cycle at a time on the test's thread, against a proxy
// socket on loopback and the virtual audio back end; the clock is replaced.
class CallManagerTest : public ::testing::Test {
protected:
    explicit CallManagerTest(bool registers = false) : manager(registers) {
        platform::SetAudioBackEnd(&audio);
        manager.SetMessageList(&list);
        manager.SetStatusLamp(&lamp);
        manager.SetAccount("1001", "secret");
        manager.SetProxy("127.0.0.1", proxy.Port());
        manager.SetLocalAddress("127.0.0.1");
        manager.SetLocalPort(0);
        manager.SetRegisterInterval(150);
        manager.Start();
    }
    ~CallManagerTest() override {
        manager.ReleaseAll();  // no media object may outlive the back end
        platform::SetAudioBackEnd(nullptr);
    }

    std::vector<std::string> Drain(int windowMs = 100) { return proxy.ReceiveAll(windowMs); }
    // A message put straight into the queue or sent by the proxy, and the cycle handling it.
    void Deliver(std::unique_ptr<CSIPSDPMessage> message) {
        ASSERT_GE(manager.Queue->Enqueue(std::move(message)), 0);
        manager.RunCycle();
    }
    void Deliver(const std::string& text) {
        proxy.Reply(text);
        ASSERT_TRUE(testing_support::WaitUntil([&] { return manager.Queue->Count() > 0; }));
        manager.RunCycle();
    }
    // From the caller, as parsed: the first INVITE of call (CSeq 7), an ACK or a re-INVITE.
    std::unique_ptr<CSIPSDPMessage> Request(const std::string& call, const std::string& cseq,
                                            const std::string& direction = "") {
        return std::make_unique<CSIPSDPMessage>(CSIPSDPMessage{
            .Code = cseq.ends_with("ACK") ? 1003 : 1000,
            .CallID = call,
            .ContactURI = "sip:3456@10.0.0.9:5060",
            .ToTag = cseq == "7 INVITE" ? "" : "callee",
            .FromValue = "\"x\" <sip:3456@10.0.0.9>;tag=abc",
            .CSeqText = cseq,
            .ViaList = "Via: SIP/2.0/UDP 10.0.0.9:5060;branch=z9hG4bK" + call + cseq + "#**#",
            .MediaAddress = "127.0.0.1",
            .MediaPort = farEnd.Port(),
            .MediaPayloads = "0 18",
            .MediaDirection = direction});
    }

    testing_support::FakeClock clock{1'700'000'000, 1000};
    UdpPeer proxy, farEnd;
    RecordingMessageList list;
    RecordingLamp lamp;
    platform::VirtualAudioBackEnd audio;
    M manager;
};

// Stray BYE, CANCEL and ACK outside a call are handled one per cycle; the BYE and CANCEL name
// no dialog of ours and get 481, the ACK nothing. Nothing is posted after Terminate.
TEST_F(CallManagerTest, StrayRequestsShownLinesAndTerminate) {
    for (const int code : {1002, 1004, 1003}) {
        manager.Queue->Enqueue(
            std::make_unique<CSIPSDPMessage>(CSIPSDPMessage{.Code = code, .CSeqText = "1 BYE"}));
    }
    for (int left = 2; left >= 0; --left) {
        manager.RunCycle();
        EXPECT_EQ(manager.Queue->Count(), left);
    }
    EXPECT_EQ(manager.CurrentMessage, nullptr);
    const std::vector<std::string> sent = Drain(50);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(FirstLine(sent[0]) + FirstLine(sent[1]),
              "SIP/2.0 481 Call/Transaction Does Not ExistSIP/2.0 481 Call/Transaction Does Not "
              "Exist");
    // Lines wrap into rows of thirty; each keeps the last four in view.
    manager.ShowLine("Trying...");
    manager.ShowLine("0123456789012345678901234567890123456789");
    EXPECT_EQ(list.Rows(), (std::vector<std::string>{">Trying...", ">01234567890123456789012345678",
                                                     " 90123456789"}));
    EXPECT_EQ(list.ShowLastRowsCalls(), (std::vector<int>{4, 4, 4, 4, 4}));
    EXPECT_FALSE(manager.Dial(""));
    manager.Terminate();
    EXPECT_FALSE(manager.Dial("4321") || manager.HangUp());
}

// "**" splits the dialled text (not at its start) into number and keys, which go only in a
// connected outgoing call, each twice, 350 ms before each ("x" only keeps its gap).
TEST_F(CallManagerTest, DoubleStarDialsKeysSentTwiceOnceConnected) {
    EXPECT_FALSE(manager.ChangeState(false, M::Idle));  // nothing to end
    ASSERT_TRUE(manager.DoDial("123**4x5"));
    EXPECT_EQ(FirstLine(manager.SendBuffer) + HeaderValue(manager.SendBuffer, "To: "),
              "INVITE sip:123@127.0.0.1 SIP/2.0<sip:123@127.0.0.1>");
    EXPECT_FALSE(manager.DoDial("999"));  // a call is in progress
    manager.RunCycle();
    EXPECT_EQ(Drain(50).size(), 1u);  // the INVITE alone
    manager.Connected = true;         // as the 200 handling leaves it
    const auto start = std::chrono::steady_clock::now();
    manager.RunCycle();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * 350));
    const std::vector<std::string> sent = Drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_TRUE(sent[0] == sent[1] && sent[2] == sent[3]);
    EXPECT_EQ(
        HeaderValue(sent[0], "CSeq: ") + sent[0].substr(sent[0].find("\r\n\r\n")) +
            HeaderValue(sent[2], "CSeq: ") + sent[2].substr(sent[2].find("\r\n\r\n")),
        "1 INFO\r\n\r\nSignal= 4\r\nDuration= 250\r\n2 INFO\r\n\r\nSignal= 5\r\nDuration= 250\r\n");
    EXPECT_TRUE(list.HasRow(">Press Button : 4") && list.HasRow(">Press Button : 5"));
    EXPECT_FALSE(manager.DtmfPending || !manager.DtmfDigits.empty());
    ASSERT_TRUE(manager.ChangeState(false, M::Idle));
    ASSERT_TRUE(manager.DoDial("**12"));
    EXPECT_EQ(FirstLine(manager.SendBuffer), "INVITE sip:**12@127.0.0.1 SIP/2.0");
    EXPECT_FALSE(manager.DtmfPending || !manager.DtmfDigits.empty());
}

// A ringing call rings the handset every 200 cycles; the phone hangs it up with two identical
// 486. A silent far end is told after 10 s and hung up after 60 s, unless it holds the call.
TEST_F(CallManagerTest, RingingCallRefusedAndSilentFarEndHungUpUnlessItHolds) {
    static struct : HandsetRinger {
        void RingHandset() override { ++rings; }
        int rings = 0;  // touched only by the thread that runs the cycles
    } ringer;
    ringer.rings = 0;
    manager.SetHandsetRinger(&ringer);
    manager.SelectAudioDevices(true, 2);  // a USB handset is attached
    Deliver(Request("ringing", "7 INVITE"));
    EXPECT_TRUE(list.HasRow(">Calling from 3456") && manager.RingDevice && manager.HandsetRinging);
    for (int i = 0; i < 201; ++i) {
        EXPECT_EQ(ringer.rings, i < 200 ? 1 : 2) << i;
        manager.RunCycle();
    }
    EXPECT_EQ(manager.Composer.RequestUri, "3456@10.0.0.9:5060");
    Drain(50);
    manager.DoHangUp();
    std::vector<std::string> sent = Drain();
    ASSERT_TRUE(sent.size() == 2 && sent[0] == sent[1]) << sent.size();
    EXPECT_EQ(FirstLine(sent[0]) + HeaderValue(sent[0], "CSeq: "), "SIP/2.0 486 Busy Here7 INVITE");
    EXPECT_TRUE(!manager.RingDevice && !manager.HandsetRinging && manager.ChangeState(true, 0));
    EXPECT_EQ(list.Rows().back(), ">Call cleared!");
    // An RTP port another program holds: the call is answered without voice, and says so.
    manager.SetRtpPort(proxy.Port());
    Deliver(Request("taken", "7 INVITE"));
    manager.DoAnswer();
    EXPECT_TRUE(manager.Connected && !manager.VoiceOpen && list.HasRow(">Voice channel failed!"));
    manager.DoHangUp();
    manager.SetRtpPort(0);

    for (const std::string hold : {"", "inactive", "sendrecv"}) {  // a re-INVITE's a= line
        SCOPED_TRACE(hold);
        const bool hungUp = hold != "inactive";
        clock.SetTickCount(1000);
        Deliver(Request("silent" + hold, "7 INVITE"));
        manager.DoAnswer();
        ASSERT_TRUE(manager.Connected);
        EXPECT_FALSE(manager.DoSendDtmf(20));  // keys go only in a call of the phone's own
        // The caller's ACK stops the phone resending its 200 (and giving up with a BYE).
        Deliver(Request("silent" + hold, "7 ACK"));
        if (!hold.empty()) {
            Deliver(Request("silent" + hold, "8 INVITE", hold));
            Deliver(Request("silent" + hold, "8 ACK"));
        }
        Drain(50);
        for (const uint32_t ms : {9990, 10000, 60000}) {
            clock.SetTickCount(1000 + ms);
            manager.RunCycle();
            EXPECT_EQ(list.Rows().back() == ">No voice from the far end!", hungUp && ms == 10000);
        }
        sent = Drain();
        EXPECT_EQ(!sent.empty() && sent.back().starts_with("BYE "), hungUp);
        EXPECT_EQ(manager.ChangeState(true, M::Idle), hungUp);
        if (!hungUp) {
            manager.DoHangUp();
        }
        farEnd.ReceiveAll(0);
    }
}

std::string Noise(uint32_t seed, size_t count) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
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

// A call whose RTP port takes garbage before every packet of the far end. A speaker that does
// not open drains nothing, so what the receive thread decoded counts to the byte: the far
// end's packets alone.
TEST_F(CallManagerTest, HostileRtpLeavesTheCallWorking) {
    platform::VirtualAudioDevice speaker("Virtual Speaker");
    speaker.openable = false;
    audio.SetOutputDevices({speaker});
    manager.SelectAudioDevices(false, 2);
    manager.SetPayloadType(18);
    Deliver(Request("hostile", "7 INVITE"));
    manager.DoAnswer();
    ASSERT_TRUE(manager.Connected && manager.VoiceOpen && !manager.Playback->IsOpen());
    auto* receiver = manager.Playback->ReceiveThread();
    const auto took = [&](uint32_t n) {
        return testing_support::WaitUntil([&] { return receiver->DatagramsReceived() >= n; });
    };
    const uint16_t port = manager.RtpSession->local.port;
    uint32_t sent = 0;
    for (uint16_t i = 0; i < 40; ++i, ++sent) {
        for (const std::string& garbage : i < 2 ? Strings() : RtpCorpus(1000 + i, i)) {
            ASSERT_TRUE(farEnd.SendTo(garbage, port));
            ++sent;
        }
        ASSERT_TRUE(took(sent));
        ASSERT_TRUE(farEnd.SendTo(G729Packet(1000 + i), port));
    }
    ASSERT_TRUE(took(sent));
    EXPECT_EQ(receiver->Held(), 40 * 320);  // two frames of G.729 a packet, 320 bytes of PCM
    manager.DoHangUp();
    EXPECT_TRUE(manager.ChangeState(true, M::Idle));
}

// The registrar's answer to a REGISTER, its Via completed as a proxy does; a 401 or 407
// challenges with nonce.
std::string Answer(const std::string& request, const std::string& status, std::string extra = "",
                   const std::string& nonce = "") {
    if (!nonce.empty()) {
        extra = std::string(status[2] == '7' ? "Proxy" : "WWW") + "-Authenticate: Digest nonce=\"" +
                nonce + "\",  realm=\"kyr.test\", algorithm=MD5\r\n";
    }
    std::string text = ResponseTo(request, status, extra, "", "reg-1");
    return text.insert(text.find("\r\n", text.find(";rport")), "=40123;received=127.0.0.1");
}

// A final refusal of the INVITE shows the operator's line (none for the rest), is
// acknowledged in the INVITE's transaction and ends the call.
TEST_F(CallManagerTest, RefusedInviteShownAcknowledgedAndEnded) {
    for (const auto& [status, row] : {std::pair{"484 Address Incomplete", ">Wrong number!"},
                                      {"415 Unsupported Media Type", ">Unsupported Media Type!"},
                                      {"404 Not Found", ">Not Use!"},
                                      {"480 Temporarily Unavailable", ">Calling to : 4321"},
                                      {"603 Decline", ">Calling to : 4321"}}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(manager.DoDial("4321"));
        manager.RunCycle();
        const std::string invite = Drain(50).at(0);
        const std::string refusal = Answer(invite, status);
        Deliver(refusal);
        const std::vector<std::string> rows = list.Rows(), sent = Drain(50);
        EXPECT_EQ(rows.at(rows.size() - 2), row);
        EXPECT_EQ(rows.back(), ">Call cleared!");
        ASSERT_EQ(sent.size(), 1u);
        std::string cseq = HeaderValue(invite, "CSeq: ");
        cseq.replace(cseq.find(" INVITE"), 7, " ACK");
        EXPECT_EQ(FirstLine(sent[0]) + " / " + HeaderValue(sent[0], "CSeq: ") + " / " +
                      HeaderValue(sent[0], "Via: ") + " / " + HeaderValue(sent[0], "To: "),
                  "ACK sip:4321@127.0.0.1 SIP/2.0 / " + cseq + " / " +
                      HeaderValue(refusal, "Via: ") + " / " + HeaderValue(refusal, "To: "));
        EXPECT_TRUE(manager.ChangeState(true, M::Idle));
    }
}

class RegistrationTest : public CallManagerTest {
protected:
    RegistrationTest() : CallManagerTest(true) {}

    // The next SIP message, past the keepalive that follows a refresh held in Registering.
    std::string NextSip() {
        const std::string sent = proxy.Receive().value_or("(nothing)");
        return sent == M::kKeepalive ? proxy.Receive().value_or("(nothing)") : sent;
    }
    bool NothingSent() { return !proxy.Receive(50).has_value(); }
    std::string CycleSendsRegister() {
        manager.RunCycle();
        const std::string sent = NextSip();
        EXPECT_EQ(FirstLine(sent), "REGISTER sip:127.0.0.1 SIP/2.0");
        return sent;
    }
    // Nothing goes a second before the given seconds have passed, a REGISTER once they have;
    // the resting loop's wake-up is due then too.
    std::string RegisterDueAfter(int seconds) {
        const int64_t now = platform::SecondsSince1970();
        EXPECT_EQ(manager.Binding.NextDue(now, manager.ChangeState(true, M::Registering)) - now,
                  seconds);
        clock.AdvanceSeconds(seconds - 1);
        manager.RunCycle();
        EXPECT_TRUE(NothingSent());
        clock.AdvanceSeconds(1);
        return CycleSendsRegister();
    }
    // REGISTER, 401, authorised REGISTER, 200 with extra.
    std::string Register(const std::string& extra = "") {
        const std::string first = CycleSendsRegister();
        Deliver(Answer(first, "401 Unauthorized", "", "nonce-" + HeaderValue(first, "CSeq: ")));
        const std::string authorised = NextSip();
        Deliver(Answer(authorised, "200 OK", extra));
        EXPECT_TRUE(manager.Binding.Registered);
        return authorised;
    }
};

// Each nonce is answered once, in the header the challenge asks for, with the digest of 1001 /
// secret / kyr.test / abc123nonce / REGISTER sip:127.0.0.1 by md5sum.
TEST_F(RegistrationTest, EachChallengeIsAnsweredOncePerNonce) {
    const std::string digest =
        "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\",uri=\"sip:127.0.0.1\","
        "response=\"d342552c875f357201fc67189617658a\"";
    EXPECT_FALSE(manager.DoDial("4321"));  // not before the phone has registered
    for (const std::string status : {"401 Unauthorized", "407 Proxy Authentication Required"}) {
        SCOPED_TRACE(status);
        const std::string first = CycleSendsRegister();
        EXPECT_TRUE(manager.ChangeState(true, M::Registering));
        EXPECT_EQ(lamp.last, clRed);
        Deliver(Answer(first, status, "", "abc123nonce"));
        const std::string authorised = NextSip();
        const std::string header = status[2] == '7' ? "Proxy-Authorization: " : "Authorization: ";
        EXPECT_EQ(HeaderValue(authorised, header), digest);
        for (const char* same : {"Call-ID: ", "From: "}) {
            EXPECT_EQ(HeaderValue(authorised, same), HeaderValue(first, same));
        }
        EXPECT_NE(HeaderValue(authorised, "Via: "), HeaderValue(first, "Via: "));

        // A new nonce (a stale one renewed) is answered; the same nonce again means the key is
        // refused: the attempt ends and the next one waits.
        Deliver(Answer(authorised, status, "", "renewed"));
        const std::string renewed = NextSip();
        EXPECT_NE(HeaderValue(renewed, header).find("nonce=\"renewed\""), std::string::npos);
        Deliver(Answer(renewed, status, "", "renewed"));
        EXPECT_TRUE(NothingSent());
        EXPECT_EQ(list.Rows().back(), ">Authentication failed!");
        EXPECT_TRUE(manager.ChangeState(true, M::Idle));
        const std::string again = RegisterDueAfter(Registration::kRefusedRetrySeconds);
        EXPECT_EQ(HeaderValue(again, "Call-ID: "), HeaderValue(first, "Call-ID: "));
        Deliver(Answer(again, status, "", "abc123nonce"));
        const std::string accepted = NextSip();
        EXPECT_EQ(HeaderValue(accepted, header), digest);
        Deliver(Answer(accepted, "200 OK"));
        EXPECT_TRUE(manager.Binding.Registered && manager.ChangeState(true, M::Idle));
        EXPECT_EQ(lamp.last, clLime);
        // Outside an attempt, answers change nothing.
        const int64_t at = manager.Binding.RegisteredAt;
        clock.AdvanceSeconds(30);
        Deliver(Answer(accepted, "200 OK"));
        EXPECT_EQ(manager.Binding.RegisteredAt, at);
        clock.AdvanceSeconds(120);
    }
    // A call holds the refresh off, and the keepalive goes once per interval instead.
    ASSERT_TRUE(manager.ChangeState(false, M::Outgoing));
    for (const auto& [seconds, sent] : {std::pair{0, "KYR"}, {149, ""}, {1, "KYR"}, {0, ""}}) {
        clock.AdvanceSeconds(seconds);
        manager.RunCycle();
        EXPECT_EQ(proxy.Receive(50).value_or(""), sent);
    }
    ASSERT_TRUE(manager.ChangeState(false, M::Idle));
    CycleSendsRegister();
}

// An unanswered REGISTER is resent on timer E, and replaced by the next CSeq after five
// seconds; a 423 is answered once, with its Min-Expires. A granted expiry is refreshed before
// it runs out, never later than the configured interval.
TEST_F(RegistrationTest, UnansweredRepeatedAndGrantedExpiryRefreshedBeforeItRunsOut) {
    const std::string first = CycleSendsRegister();
    EXPECT_NE(first.find(";expires=150\r\n"), std::string::npos);
    for (const uint32_t ms : {499, 500}) {
        clock.SetTickCount(1000 + ms);
        manager.RunCycle();
        EXPECT_EQ(proxy.Receive(50).value_or(""), ms == 500 ? first : "");
    }
    const std::string repeated = RegisterDueAfter(6);
    EXPECT_EQ(HeaderValue(repeated, "Call-ID: "), HeaderValue(first, "Call-ID: "));
    EXPECT_EQ(HeaderValue(repeated, "CSeq: "), "1 REGISTER");
    clock.SetTickCount(2000);
    manager.RunCycle();
    EXPECT_EQ(NextSip(), repeated);
    EXPECT_TRUE(NothingSent());
    Deliver(Answer(repeated, "423 Interval Too Brief", "Min-Expires: 3600\r\n"));
    const std::string raised = NextSip();
    EXPECT_NE(raised.find(";expires=3600\r\n"), std::string::npos);
    Deliver(Answer(raised, "423 Interval Too Brief", "Min-Expires: 7200\r\n"));
    EXPECT_TRUE(NothingSent());
    clock.AdvanceSeconds(6);
    for (const auto& [granted, refreshAfter] : {
             std::pair<std::string, int>{"", 150},
             {"Contact: <sip:1001@127.0.0.1:0>;expires=60\r\n", 30},
             {"Contact: <sip:1001@10.0.0.5:5060>;expires=20, "
              "<sip:1001@127.0.0.1:0>;expires=100\r\n",
              70},
             {"Expires: 3600\r\n", 150},
             {"Expires: 8\r\n", Registration::kRetrySeconds + 1},
         }) {
        SCOPED_TRACE(granted);
        const std::string authorised = Register(granted);
        const std::string refresh = RegisterDueAfter(refreshAfter);
        EXPECT_EQ(HeaderValue(refresh, "Call-ID: "), HeaderValue(authorised, "Call-ID: "));
        Deliver(Answer(refresh, "200 OK"));
        EXPECT_TRUE(manager.Binding.Registered);
        proxy.Receive(50);  // a keepalive, when the refresh came within its interval
        clock.AdvanceSeconds(150);
    }
    const int64_t at = manager.Binding.RegisteredAt;
    Deliver(Answer(CycleSendsRegister(), "300 Multiple Choices"));  // binds nothing
    EXPECT_EQ(manager.Binding.RegisteredAt, at);
}

}  // namespace
