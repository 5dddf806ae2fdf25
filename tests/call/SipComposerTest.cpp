#include "call/SipComposer.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>

#include "tests/support/TestSupport.h"

// Received messages name only the fields the composer reads; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// The offer is 139 bytes, counted by hand.
const std::string kSdpTail =
    "Content-Type: application/sdp\r\nContent-Length: 139\r\n\r\nv=0\r\n"
    "o=- 0 0 IN IP4 192.168.1.20\r\ns=-\r\nc=IN IP4 192.168.1.20\r\nt=0 0\r\n"
    "m=audio 18598 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n";
// Tag and Call-ID come from the clock and the first cycle of the fixed random numbers.
const std::string kFirstTag = "KYR_1700000000.78563412";
const std::string kOwnFrom = "From: \"1001\"<sip:1001@192.168.1.20:5060>;tag=" + kFirstTag + "\r\n";
const std::string kCallId = "Call-ID: 17000033332222.17000000001111\r\n";
const std::string kContact = "Contact: <sip:1001@192.168.1.20:5060>\r\n";
const std::string kNoBody = "Content-Length: 0\r\n\r\n";
const std::string kUri = " sip:4321@sip.voip.test SIP/2.0\r\n";

class SipComposerTest : public ::testing::Test {
protected:
    std::string Compose(bool isRequest, int kind, const CSIPSDPMessage* current = nullptr) {
        std::string out;
        const int length = composer->ComposeMessage(isRequest, kind, current, out);
        EXPECT_EQ(static_cast<size_t>(length), out.size());
        return out;
    }
    // Our Via of the last transaction; the branch is random by design.
    std::string OwnVia() {
        branches.insert(composer->LastBranch);
        return "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=" + composer->LastBranch + ";rport\r\n";
    }
    void ExpectRequest(int kind, const std::string& head, const std::string& tail) {
        const std::string out = Compose(true, kind);
        EXPECT_EQ(out, head + OwnVia() + tail) << kind;
    }
    // An INVITE to 4321 with CSeq 41 from a new composer, challenged but for the plain form.
    std::string Dial(int kind = MessageKind::Invite) {
        testing_support::FixedRandom fresh{12, 34, 56, 78, 1111, 2222, 3333};
        composer.emplace(settings);
        composer->Digest.AuthRealm = kind != MessageKind::Invite ? "kyr.test" : "";
        composer->Digest.AuthNonce = "abc123nonce";
        composer->SeqCounter = 41;
        composer->DialledNumber = "4321";
        composer->RequestUri = "4321@sip.voip.test";
        return Compose(true, kind);
    }

    testing_support::FakeClock clock{1'700'000'000};
    // NewTag draws four numbers and NewCallId three, so one INVITE uses exactly the cycle.
    testing_support::FixedRandom random{12, 34, 56, 78, 1111, 2222, 3333};
    CallSettings settings =
        CallSettings("1001", "1001", "secret", "sip.voip.test", "sip:sip.voip.test", "", 5060,
                     "192.168.1.20", 5060, 150, "192.168.1.20", 18598);
    std::optional<SipComposer> composer{std::in_place, settings};
    std::set<std::string> branches;
};

// response = MD5(HA1 ":" nonce ":" MD5("INVITE:sip:4321@sip.voip.test")), by md5sum. Once a
// realm is learnt it replaces the proxy name in To, and nowhere else.
TEST_F(SipComposerTest, InviteInAllThreeForms) {
    const std::string digest =
        "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:4321@sip.voip.test\",response=\"0f8174fb7f3ba9f4fef596f1cbbb3753\"\r\n";
    for (const auto& [kind, to, authorization] :
         {std::tuple{MessageKind::Invite, "sip.voip.test", std::string()},
          {MessageKind::InviteWithAuthorization, "kyr.test", "Proxy-Authorization: " + digest},
          {MessageKind::InviteWithUserAuthorization, "kyr.test", "Authorization: " + digest}}) {
        const std::string invite = Dial(kind);
        EXPECT_EQ(invite, "INVITE" + kUri + kOwnFrom + "To: <sip:4321@" + to + ">\r\n" + kCallId +
                              "CSeq: 41 INVITE\r\n" + OwnVia() + kContact + "Max-Forwards: 70\r\n" +
                              authorization + kSdpTail)
            << kind;
    }
}

// A CANCEL and the ACK of a refusal are the INVITE's transaction; the ACK of a 2xx, INFO and
// BYE have their own. Behind a record-routing proxy, the dialog goes to the callee's Contact
// by the route set.
TEST_F(SipComposerTest, OutgoingCallAckInfoAndByeFollowTheRecord) {
    Dial();
    branches.insert(composer->InviteBranch);
    composer->PendingToTag = "callee-9";  // as a 180 leaves it
    CSIPSDPMessage ok{.Code = 2200,
                      .ViaList = "Via: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5#**#"};
    const std::string tagged = kOwnFrom + "To: <sip:4321@sip.voip.test>;tag=callee-9\r\n" + kCallId;
    const std::string ackTail = kContact + "Max-Forwards: 70\r\n" + kNoBody;
    EXPECT_EQ(Compose(true, MessageKind::Ack, &ok),
              "ACK" + kUri + tagged +
                  "CSeq: 41 ACK\r\nVia: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5\r\n" +
                  ackTail);
    ExpectRequest(MessageKind::AckToOk, "ACK" + kUri + tagged + "CSeq: 41 ACK\r\n", ackTail);
    composer->PendingToTag.clear();  // as the 200 handling does after the ACK
    // "#" is the last INFO kind.
    ExpectRequest(MessageKind::FirstInfo + 11, "INFO" + kUri + tagged + "CSeq: 42 INFO\r\n",
                  "Content-Type: application/dtmf-relay\r\nContent-Length: 27\r\n\r\n"
                  "Signal= 11\r\nDuration= 250\r\n");
    ExpectRequest(MessageKind::ByeFromCaller, "BYE" + kUri + tagged + "CSeq: 43 BYE\r\n", kNoBody);
    ok.RecordRoutes = {"<sip:10.0.0.2;lr>", "<sip:10.0.0.1;lr>"};
    ok.ContactURI = "sip:4321@10.0.0.5:5062";
    composer->Dialog.TakeFromResponse(ok);
    ExpectRequest(MessageKind::ByeFromCaller,
                  "BYE sip:4321@10.0.0.5:5062 SIP/2.0\r\n" + tagged + "CSeq: 44 BYE\r\n",
                  "Route: <sip:10.0.0.1;lr>\r\nRoute: <sip:10.0.0.2;lr>\r\n" + kNoBody);
    EXPECT_EQ(branches.size(), 5u);

    // Kinds that echo a received message yield nothing without one, as unknown kinds do.
    const std::pair<bool, int> needingOne[] = {{true, MessageKind::Ack},
                                               {false, MessageKind::Trying},
                                               {false, MessageKind::BusyHereOtherInvite},
                                               {true, 22}};
    for (const auto& [isRequest, kind] : needingOne) {
        std::string out = "stale";
        EXPECT_TRUE(composer->ComposeMessage(isRequest, kind, nullptr, out) == 0 && out.empty());
    }
    Dial();
    const std::string inviteBranch = composer->LastBranch;
    ExpectRequest(MessageKind::Cancel,
                  "CANCEL" + kUri + kOwnFrom + "To: <sip:4321@sip.voip.test>\r\n" + kCallId +
                      "CSeq: 41 CANCEL\r\n",
                  kNoBody);
    EXPECT_EQ(composer->LastBranch, inviteBranch);
}

// Responses echo the INVITE, the phone's tag in To from the 180 on; the 200 to the caller's BYE
// echoes that BYE; the phone's own BYE goes to the caller's Contact.
TEST_F(SipComposerTest, IncomingCallResponsesEchoTheInvite) {
    const CSIPSDPMessage invite{.Code = 1000,
                                .CallID = "abc-call@10.0.0.1",
                                .FromValue = "\"3456\" <sip:3456@sip.voip.test>;tag=caller-1",
                                .CSeqText = "102 INVITE",
                                .ToValue = "<sip:1001@192.168.1.20>",
                                .ViaList =
                                    "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK1#**#Via: SIP/2.0/UDP "
                                    "10.0.0.7;received=10.0.0.7;rport=5060#**#"};
    const std::string caller = "\"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n";
    const std::string phone = "<sip:1001@192.168.1.20>;tag=" + kFirstTag + "\r\n";
    const std::string rest =
        "Call-ID: abc-call@10.0.0.1\r\nCSeq: 102 INVITE\r\nVia: SIP/2.0/UDP 10.0.0.9;branch="
        "z9hG4bK1\r\nVia: SIP/2.0/UDP 10.0.0.7;received=10.0.0.7;rport=5060\r\n";
    const std::string untagged = "<sip:1001@192.168.1.20>\r\n";
    for (const auto& [kind, status, to, tail] :
         {std::tuple<int, std::string, std::string, std::string>{MessageKind::Trying, "100 Trying",
                                                                 untagged, kNoBody},
          {MessageKind::UnsupportedMediaType, "415 Unsupported Media Type", untagged, kNoBody},
          {MessageKind::BusyHere, "486 Busy Here", untagged, kNoBody},
          {MessageKind::Ringing, "180 Ringing", phone, kNoBody},
          {MessageKind::OkWithAnswer, "200 OK", phone, kContact + kSdpTail}}) {
        if (kind == MessageKind::Ringing) {
            composer->PendingToTag = composer->NewTag();
        }
        EXPECT_EQ(Compose(false, kind, &invite),
                  "SIP/2.0 " + status + "\r\nFrom: " + caller + "To: " + to + rest + tail);
    }

    const CSIPSDPMessage bye{.Code = 1002,
                             .CSeqText = "103 BYE",
                             .ViaList = "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bKbye#**#"};
    const std::string byeRest =
        "Call-ID: abc-call@10.0.0.1\r\nCSeq: 103 BYE\r\nVia: SIP/2.0/UDP 10.0.0.9;branch="
        "z9hG4bKbye\r\n" +
        kContact + kNoBody;
    EXPECT_EQ(Compose(false, MessageKind::OkExchanged, &bye),
              "SIP/2.0 200 OK\r\nFrom: " + phone + "To: " + caller + byeRest);
    EXPECT_EQ(Compose(false, MessageKind::OkAsStored, &bye),
              "SIP/2.0 200 OK\r\nFrom: " + caller + "To: " + phone + byeRest);
    composer->SeqCounter = 7;
    composer->RequestUri = "3456@10.0.0.9:5060";
    ExpectRequest(MessageKind::ByeFromCallee,
                  "BYE sip:3456@10.0.0.9:5060 SIP/2.0\r\nFrom: " + phone + "To: " + caller +
                      "Call-ID: abc-call@10.0.0.1\r\nCSeq: 7 BYE\r\n",
                  kNoBody);
    // An echoed header may fill a datagram to its last byte, not one more.
    CSIPSDPMessage big = invite;
    const size_t room = 65507 - Compose(false, MessageKind::Trying, &invite).size();
    for (const size_t extra : {room, room + 1}) {
        big.CallID = invite.CallID + std::string(extra, 'x');
        EXPECT_EQ(Compose(false, MessageKind::Trying, &big).size(), extra == room ? 65507u : 0u);
    }
}

// One Call-ID and tag, CSeq counting up. Digests by md5sum: HA1 = MD5("1001:kyr.test:secret"),
// HA2 = MD5("REGISTER:sip:sip.voip.test"); with qop, MD5(HA1 ":abc123nonce:00000001:"
// "0123456789abcdef:auth:" HA2), the count going on to 00000002 for the same nonce.
TEST_F(SipComposerTest, RegistersOfOneBindingInEveryForm) {
    const std::string head =
        "Authorization: Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:sip.voip.test\",response=\"";
    Registration binding{settings};
    binding.Tag = composer->NewTag();  // from the same numbers as a call's
    binding.CallId = composer->NewCallId();
    int cseq = 0;
    // The challenge's qop (nullptr: none taken).
    for (const auto& [qop, authorization] :
         {std::pair<const char*, std::string>{nullptr, ""},
          {"", head + "42ee5aee6456556e8f5da808c268e658\"\r\n"},
          {"auth-int, auth", head + "9030a9e6ec45a44e4bd2d6bfb410dff5\",qop=auth,nc=00000001,"
                                    "cnonce=\"0123456789abcdef\",opaque=\"op-1\"\r\n"},
          {"auth", head + "e44f99a3d4c58e90bdc9d18b7b27a07d\",qop=auth,nc=00000002,"
                          "cnonce=\"0123456789abcdef\",opaque=\"op-1\"\r\n"}}) {
        if (qop != nullptr) {
            composer->Digest.TakeChallenge({.Realm = "kyr.test",
                                            .Nonce = "abc123nonce",
                                            .Opaque = *qop != '\0' ? "op-1" : "",
                                            .Qop = qop});
        }
        // Branch and client nonce draw their characters from these, in turn.
        testing_support::FixedRandom letters{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        std::string out;
        const int length = composer->ComposeRegister(binding, qop ? "Authorization" : "", out);
        ASSERT_EQ(static_cast<size_t>(length), out.size());
        EXPECT_EQ(out, "REGISTER sip:sip.voip.test SIP/2.0\r\nFrom: <sip:1001@sip.voip.test>;tag=" +
                           kFirstTag + "\r\nTo: <sip:1001@sip.voip.test>\r\n" + kCallId +
                           "CSeq: " + std::to_string(cseq++) +
                           " REGISTER\r\nVia: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK"
                           "0123456789abcdef;rport\r\nContact: <sip:1001@192.168.1.20:5060>;"
                           "expires=150\r\n" +
                           authorization + kNoBody);
    }
}

// The sequence wraps past zero, tags and Call-IDs are drawn anew, and a challenge without
// nonce or password is not answered.
TEST(SipComposer, SequenceTagsAndIncompleteChallenges) {
    const CallSettings settings;
    SipComposer composer{settings};
    EXPECT_EQ(composer.NextSequence(), 0);
    composer.SeqCounter = 65534;
    EXPECT_EQ(composer.NextSequence(), 65534);
    EXPECT_EQ(composer.NextSequence(), 1);
    EXPECT_NE(composer.NewTag(), composer.NewTag());
    EXPECT_NE(composer.NewCallId(), composer.NewCallId());
    DigestAuth& digest = composer.Digest;
    digest.AuthRealm = "kyr.test";
    EXPECT_FALSE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    digest.AuthNonce = "abc123nonce";
    EXPECT_FALSE(digest.ComputeDigest("REGISTER", "1001", "", "sip:sip.voip.test"));
}

}  // namespace
