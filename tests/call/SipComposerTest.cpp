#include "call/SipComposer.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "call/DigestAuth.h"
#include "tests/support/TestSupport.h"

namespace {

// 139 bytes: counted by hand from the lines below.
const std::string kOfferSdp =
    "v=0\r\no=- 0 0 IN IP4 192.168.1.20\r\ns=-\r\nc=IN IP4 192.168.1.20\r\nt=0 0\r\n"
    "m=audio 18598 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n";
// Tag and Call-ID of a call from account 1001 come from the clock and the first cycle of the
// fixed random numbers.
const std::string kFirstTag = "KYR_1700000000.78563412";
const std::string kOwnFrom = "From: \"1001\"<sip:1001@192.168.1.20:5060>;tag=" + kFirstTag + "\r\n";
const std::string kCallId = "Call-ID: 17000033332222.17000000001111\r\n";
const std::string kContact = "Contact: <sip:1001@192.168.1.20:5060>\r\n";
const std::string kSdpTail =
    "Content-Type: application/sdp\r\nContent-Length: 139\r\n\r\n" + kOfferSdp;
const std::string kNoBody = "Content-Length: 0\r\n\r\n";
const std::string kCallerFrom = "From: \"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n";

// Our Via of the transaction the composer last started; the branch is random by design.
std::string OwnVia(const SipComposer& composer) {
    EXPECT_TRUE(std::regex_match(composer.LastBranch, std::regex("z9hG4bK[0-9a-z]{16}")));
    return "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=" + composer.LastBranch + ";rport\r\n";
}

// A received message as the parser gives it, with the fields the responses copy.
CSIPSDPMessage Parsed(int code, const std::string& from, const std::string& to,
                      const std::string& callId, const std::string& cseq, const std::string& vias) {
    CSIPSDPMessage m;
    m.Code = code;
    m.FromValue = from;
    m.ToValue = to;
    m.CallID = callId;
    m.CSeqText = cseq;
    m.ViaList = vias;
    return m;
}

class SipComposerTest : public ::testing::Test {
protected:
    std::string Compose(bool isRequest, int kind, const CSIPSDPMessage* current = nullptr) {
        std::string out;
        const int length = composer.ComposeMessage(isRequest, kind, current, out);
        EXPECT_EQ(static_cast<size_t>(length), out.size());
        return out;
    }
    // A request of our own: head, our Via of its transaction, tail.
    void ExpectRequest(int kind, const std::string& head, const std::string& tail) {
        const std::string out = Compose(true, kind);
        EXPECT_EQ(out, head + OwnVia(composer) + tail) << kind;
    }
    void Dial() {
        composer.SeqCounter = 41;
        composer.DialledNumber = "4321";
        composer.RequestUri = "4321@sip.voip.test";
        Compose(true, MessageKind::Invite);
    }

    testing_support::FakeClock clock{1'700'000'000};
    // NewTag draws four numbers and NewCallId three, so one INVITE uses exactly the cycle.
    testing_support::FixedRandom random{12, 34, 56, 78, 1111, 2222, 3333};
    // clang-format off
    CallSettings settings{"1001", "1001", "secret", "sip.voip.test", "sip:sip.voip.test", "", 5060,
                          "192.168.1.20", 5060, 150, "192.168.1.20", 18598};
    // clang-format on
    SipComposer composer{settings};
};

// response = MD5(HA1 ":" nonce ":" MD5("INVITE:sip:4321@sip.voip.test")), by md5sum. Once a
// realm is learnt it replaces the proxy name in To, and nowhere else.
TEST_F(SipComposerTest, InviteInAllThreeForms) {
    const std::string digest =
        "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:4321@sip.voip.test\",response=\"0f8174fb7f3ba9f4fef596f1cbbb3753\"\r\n";
    const struct {
        int kind;
        std::string to, authorization;
    } forms[] = {
        {MessageKind::Invite, "sip.voip.test", ""},
        {MessageKind::InviteWithAuthorization, "kyr.test", "Proxy-Authorization: " + digest},
        {MessageKind::InviteWithUserAuthorization, "kyr.test", "Authorization: " + digest},
    };
    for (const auto& form : forms) {
        testing_support::FixedRandom freshRandom{12, 34, 56, 78, 1111, 2222, 3333};
        SipComposer fresh{settings};
        if (!form.authorization.empty()) {
            fresh.Digest.AuthRealm = "kyr.test";
            fresh.Digest.AuthNonce = "abc123nonce";
        }
        fresh.DialledNumber = "4321";
        fresh.RequestUri = "4321@sip.voip.test";
        std::string out;
        fresh.ComposeMessage(true, form.kind, nullptr, out);
        EXPECT_EQ(out, "INVITE sip:4321@sip.voip.test SIP/2.0\r\n" + kOwnFrom + "To: <sip:4321@" +
                           form.to + ">\r\n" + kCallId + "CSeq: 0 INVITE\r\n" + OwnVia(fresh) +
                           kContact + "Max-Forwards: 70\r\n" + form.authorization + kSdpTail)
            << form.kind;
    }
}

TEST_F(SipComposerTest, CancelCarriesTheInviteSequenceNumberAndBranch) {
    Dial();
    const std::string inviteBranch = composer.LastBranch;
    const std::string uri = " sip:4321@sip.voip.test SIP/2.0\r\n";
    ExpectRequest(MessageKind::Cancel,
                  "CANCEL" + uri + kOwnFrom + "To: <sip:4321@sip.voip.test>\r\n" + kCallId +
                      "CSeq: 41 CANCEL\r\n",
                  kNoBody);
    EXPECT_EQ(composer.LastBranch, inviteBranch);
}

TEST_F(SipComposerTest, OutgoingCallAckInfoAndByeFollowTheRecord) {
    Dial();
    const std::string uri = " sip:4321@sip.voip.test SIP/2.0\r\n";

    composer.PendingToTag = "callee-9";  // as a 180 leaves it
    CSIPSDPMessage ok =
        Parsed(2200, "", "", "", "", "Via: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5#**#");
    const std::string tagged = kOwnFrom + "To: <sip:4321@sip.voip.test>;tag=callee-9\r\n" + kCallId;
    const std::string ackTail = kContact + "Max-Forwards: 70\r\n" + kNoBody;
    // The ACK of a refusal is the INVITE's transaction: the response's Vias come back.
    EXPECT_EQ(Compose(true, MessageKind::Ack, &ok),
              "ACK" + uri + tagged +
                  "CSeq: 41 ACK\r\nVia: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5\r\n" +
                  ackTail);
    // The ACK of a 2xx, INFO and BYE are transactions of their own, each with a new branch.
    std::set<std::string> branches{composer.InviteBranch};
    ExpectRequest(MessageKind::AckToOk, "ACK" + uri + tagged + "CSeq: 41 ACK\r\n", ackTail);
    branches.insert(composer.LastBranch);
    composer.PendingToTag.clear();  // as the 200 handling does after the ACK
    // "#" is the last INFO kind.
    ExpectRequest(MessageKind::FirstInfo + 11, "INFO" + uri + tagged + "CSeq: 42 INFO\r\n",
                  "Content-Type: application/dtmf-relay\r\nContent-Length: 27\r\n\r\n"
                  "Signal= 11\r\nDuration= 250\r\n");
    branches.insert(composer.LastBranch);
    ExpectRequest(MessageKind::ByeFromCaller, "BYE" + uri + tagged + "CSeq: 43 BYE\r\n", kNoBody);
    branches.insert(composer.LastBranch);
    EXPECT_EQ(branches.size(), 4u);

    // A proxy that record-routes: the dialog's requests go to the callee's Contact along the
    // route set, the 2xx's Record-Route reversed.
    ok.RecordRoutes = {"<sip:10.0.0.2;lr>", "<sip:10.0.0.1;lr>"};
    ok.ContactURI = "sip:4321@10.0.0.5:5062";
    composer.Dialog.TakeFromResponse(ok);
    ExpectRequest(MessageKind::ByeFromCaller,
                  "BYE sip:4321@10.0.0.5:5062 SIP/2.0\r\n" + tagged + "CSeq: 44 BYE\r\n",
                  "Route: <sip:10.0.0.1;lr>\r\nRoute: <sip:10.0.0.2;lr>\r\n" + kNoBody);

    // A second caller is refused from its own headers; the call's record stays as it was.
    const auto record = [&] {
        return composer.FromHeader + composer.ToHeader + composer.DialogCallId +
               composer.CSeqValue + composer.ViaValue + composer.PendingToTag +
               char(composer.WithContact) + char(composer.WithMaxForwards) +
               char(composer.WithBody);
    };
    const std::string before = record();
    const CSIPSDPMessage second =
        Parsed(1000, "<sip:7777@sip.voip.test>;tag=x7", "<sip:1001@sip.voip.test>",
               "second@10.0.0.1", "5 INVITE", "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKs#**#");
    EXPECT_EQ(Compose(false, MessageKind::BusyHereOtherInvite, &second),
              "SIP/2.0 486 Busy Here\r\nFrom: <sip:7777@sip.voip.test>;tag=x7\r\nTo: "
              "<sip:1001@sip.voip.test>\r\nCall-ID: second@10.0.0.1\r\nCSeq: 5 INVITE\r\n"
              "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKs\r\n" +
                  kNoBody);
    EXPECT_EQ(record(), before);
    // Kinds that need a received message must not read through a null one; unknown kinds
    // yield nothing.
    for (const auto& [isRequest, kind] : {std::pair{true, MessageKind::Ack},
                                          {false, MessageKind::Trying},
                                          {false, MessageKind::BusyHereOtherInvite},
                                          {true, 22}}) {
        std::string out = "stale";
        EXPECT_EQ(composer.ComposeMessage(isRequest, kind, nullptr, out), 0) << kind;
        EXPECT_TRUE(out.empty()) << kind;
    }
}

TEST_F(SipComposerTest, IncomingCallResponsesEchoTheInvite) {
    const CSIPSDPMessage invite =
        Parsed(1000, "\"3456\" <sip:3456@sip.voip.test>;tag=caller-1", "<sip:1001@192.168.1.20>",
               "abc-call@10.0.0.1", "102 INVITE",
               "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK1#**#Via: SIP/2.0/UDP 10.0.0.8:5070;branch="
               "z9hG4bK2#**#Via: SIP/2.0/UDP 10.0.0.7;received=10.0.0.7;rport=5060#**#");
    const std::string rest =
        "Call-ID: abc-call@10.0.0.1\r\nCSeq: 102 INVITE\r\nVia: SIP/2.0/UDP 10.0.0.9;branch="
        "z9hG4bK1\r\nVia: SIP/2.0/UDP 10.0.0.8:5070;branch=z9hG4bK2\r\n"
        "Via: SIP/2.0/UDP 10.0.0.7;received=10.0.0.7;rport=5060\r\n";
    const std::string untagged = kCallerFrom + "To: <sip:1001@192.168.1.20>\r\n" + rest + kNoBody;
    EXPECT_EQ(Compose(false, MessageKind::Trying, &invite), "SIP/2.0 100 Trying\r\n" + untagged);
    EXPECT_EQ(Compose(false, MessageKind::UnsupportedMediaType),
              "SIP/2.0 415 Unsupported Media Type\r\n" + untagged);
    EXPECT_EQ(Compose(false, MessageKind::BusyHere), "SIP/2.0 486 Busy Here\r\n" + untagged);

    composer.PendingToTag = composer.NewTag();
    ASSERT_EQ(composer.PendingToTag, kFirstTag);
    const std::string phoneTo = "To: <sip:1001@192.168.1.20>;tag=" + kFirstTag + "\r\n";
    EXPECT_EQ(Compose(false, MessageKind::Ringing),
              "SIP/2.0 180 Ringing\r\n" + kCallerFrom + phoneTo + rest + kNoBody);
    EXPECT_EQ(Compose(false, MessageKind::OkWithAnswer),
              "SIP/2.0 200 OK\r\n" + kCallerFrom + phoneTo + rest + kContact + kSdpTail);

    // The caller's BYE: its own CSeq, with From and To of the record exchanged or as stored.
    const CSIPSDPMessage bye =
        Parsed(1002, "", "", "", "103 BYE", "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bKbye#**#");
    const std::string byeRest =
        "Call-ID: abc-call@10.0.0.1\r\nCSeq: 103 BYE\r\nVia: SIP/2.0/UDP 10.0.0.9;branch="
        "z9hG4bKbye\r\n" +
        kContact + kNoBody;
    const std::string exchanged = "From: <sip:1001@192.168.1.20>;tag=" + kFirstTag +
                                  "\r\nTo: \"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n";
    EXPECT_EQ(Compose(false, MessageKind::OkExchanged, &bye),
              "SIP/2.0 200 OK\r\n" + exchanged + byeRest);
    EXPECT_EQ(Compose(false, MessageKind::OkAsStored, &bye),
              "SIP/2.0 200 OK\r\n" + kCallerFrom + phoneTo + byeRest);

    // The phone hangs up: its BYE goes to the caller's Contact, with the phone's tag in From.
    composer.SeqCounter = 7;
    composer.RequestUri = "3456@10.0.0.9:5060";
    ExpectRequest(MessageKind::ByeFromCallee,
                  "BYE sip:3456@10.0.0.9:5060 SIP/2.0\r\n" + exchanged +
                      "Call-ID: abc-call@10.0.0.1\r\nCSeq: 7 BYE\r\n",
                  kNoBody);
}

// Every REGISTER of one registration keeps its Call-ID and tag and counts its CSeq up; each is
// a transaction of its own. Digests by md5sum: HA1 = MD5("1001:kyr.test:secret"),
// HA2 = MD5("REGISTER:sip:sip.voip.test"); with qop, response = MD5(HA1 ":abc123nonce:"
// "00000001:0123456789abcdef:auth:" HA2).
TEST_F(SipComposerTest, RegistersOfOneBindingInEveryForm) {
    const std::string head =
        "Authorization: Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:sip.voip.test\",response=\"";
    const struct {
        const char* qop;  // offered by the challenge; nullptr: no challenge taken
        int minExpires;   // a 423's Min-Expires taken before, 0 for none
        std::string expires, authorization;
    } forms[] = {
        {nullptr, 0, "150", ""},
        {"", 0, "150", head + "42ee5aee6456556e8f5da808c268e658\"\r\n"},
        {"auth-int, auth", 0, "150",
         head + "9030a9e6ec45a44e4bd2d6bfb410dff5\",qop=auth,nc=00000001,"
                "cnonce=\"0123456789abcdef\",opaque=\"op-1\"\r\n"},
        {nullptr, 3600, "3600", ""},
    };
    Registration binding{settings};
    binding.Tag = composer.NewTag();  // from the same numbers as a call's
    binding.CallId = composer.NewCallId();
    for (size_t i = 0; i < std::size(forms); ++i) {
        const auto& form = forms[i];
        if (form.qop != nullptr) {
            CSIPSDPMessage challenge;
            challenge.Realm = "kyr.test";
            challenge.Nonce = "abc123nonce";
            challenge.Qop = form.qop;
            challenge.Opaque = *form.qop != '\0' ? "op-1" : "";
            composer.Digest.TakeChallenge(challenge);
        }
        binding.RaiseExpires(form.minExpires);
        // Branch and client nonce draw their characters from these, in turn.
        testing_support::FixedRandom letters{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        std::string out;
        const int length = composer.ComposeRegister(binding, form.qop ? "Authorization" : "", out);
        ASSERT_EQ(static_cast<size_t>(length), out.size());
        EXPECT_EQ(out, "REGISTER sip:sip.voip.test SIP/2.0\r\nFrom: <sip:1001@sip.voip.test>;tag=" +
                           kFirstTag + "\r\nTo: <sip:1001@sip.voip.test>\r\n" + kCallId +
                           "CSeq: " + std::to_string(i) +
                           " REGISTER\r\nVia: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK"
                           "0123456789abcdef;rport\r\nContact: <sip:1001@192.168.1.20:5060>;"
                           "expires=" +
                           form.expires + "\r\n" + form.authorization + kNoBody)
            << i;
    }
}

TEST_F(SipComposerTest, SequenceWrapsPastZeroAndTagsNeverRepeat) {
    EXPECT_EQ(composer.NextSequence(), 0);
    composer.SeqCounter = 65534;
    EXPECT_EQ(composer.NextSequence(), 65534);
    EXPECT_EQ(composer.NextSequence(), 1);
    {
        testing_support::FixedRandom fresh{5, 5, 5, 5, 6, 6, 6, 6};
        EXPECT_EQ(composer.NewTag(), "KYR_1700000000.5555");
        EXPECT_EQ(composer.NewTag(), "KYR_1700000000.6666");
    }
    // With the real random numbers, dialogs begun in the same second never share either.
    std::set<std::string> tags, callIds;
    for (int i = 0; i < 50; ++i) {
        tags.insert(composer.NewTag());
        callIds.insert(composer.NewCallId());
    }
    EXPECT_EQ(tags.size(), 50u);
    EXPECT_EQ(callIds.size(), 50u);
}

// Known answers computed with md5sum (the composed messages check the rest); a challenge
// without realm, nonce or password keeps the previous response.
TEST(DigestAuth, KnownAnswersAndIncompleteChallenges) {
    DigestAuth digest;
    EXPECT_FALSE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "");
    digest.AuthRealm = "kyr.test";
    digest.AuthNonce = "abc123nonce";
    ASSERT_TRUE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.Ha1Hex, "047d7699cdda857ebe5967aa8cba3921");
    digest.AuthNonce.clear();
    EXPECT_FALSE(digest.ComputeDigest("INVITE", "1001", "secret", "sip:sip.voip.test"));
    digest.AuthNonce = "abc123nonce";
    EXPECT_FALSE(digest.ComputeDigest("INVITE", "1001", "", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "42ee5aee6456556e8f5da808c268e658");
}

}  // namespace
