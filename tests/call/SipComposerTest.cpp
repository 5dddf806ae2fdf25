#include "call/SipComposer.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "tests/support/TestSupport.h"

namespace {

constexpr int64_t kNow = 1'700'000'000;

// 139 bytes: counted by hand from the lines below.
const std::string kOfferSdp =
    "v=0\r\no=- 0 0 IN IP4 192.168.1.20\r\ns=-\r\nc=IN IP4 192.168.1.20\r\nt=0 0\r\n"
    "m=audio 18598 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n";

// Header lines of a call placed from account 1001; tag and Call-ID come from the clock and
// the first cycle of the fixed random numbers.
const std::string kFirstTag = "KYR_1700000000.78563412";
const std::string kOwnFrom = "From: \"1001\"<sip:1001@192.168.1.20:5060>;tag=" + kFirstTag + "\r\n";
const std::string kCallId = "Call-ID: 17000033332222.17000000001111\r\n";
// Our Via for the transaction the composer last started: the branch is random by design,
// and its form is checked apart.
std::string OwnVia(const SipComposer& composer) {
    EXPECT_TRUE(std::regex_match(composer.LastBranch, std::regex("z9hG4bK[0-9a-z]{16}")));
    return "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=" + composer.LastBranch + ";rport\r\n";
}
const std::string kContact = "Contact: <sip:1001@192.168.1.20:5060>\r\n";
const std::string kSdpTail =
    "Content-Type: application/sdp\r\nContent-Length: 139\r\n\r\n" + kOfferSdp;

// The three Via lines of IncomingInvite as they must be echoed.
const std::string kInviteVias =
    "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK1\r\n"
    "Via: SIP/2.0/UDP 10.0.0.8:5070;branch=z9hG4bK2\r\n"
    "Via: SIP/2.0/UDP 10.0.0.7;received=10.0.0.7;rport=5060\r\n";
const std::string kCallerFrom = "From: \"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n";

class SipComposerTest : public ::testing::Test {
protected:
    SipComposerTest() {
        settings.Account = "1001";
        settings.AuthUser = "1001";
        settings.Password = "secret";
        settings.ProxyHost = "sip.voip.test";
        settings.ProxyUri = "sip:sip.voip.test";
        settings.ProxyPort = 5060;
        settings.LocalAddress = "192.168.1.20";
        settings.LocalPort = 5060;
        settings.RegisterInterval = 150;
        settings.LocalRtpAddress = "192.168.1.20";
        settings.LocalRtpPort = 18598;
    }

    std::string Compose(bool isRequest, int kind, const CSIPSDPMessage* current = nullptr) {
        std::string out;
        const int length = composer.ComposeMessage(isRequest, kind, current, out);
        EXPECT_EQ(static_cast<size_t>(length), out.size());
        return out;
    }

    std::string Dial(const std::string& number, int kind = MessageKind::Invite) {
        composer.DialledNumber = number;
        composer.RequestUri = number + "@" + settings.ProxyHost;
        return Compose(true, kind);
    }

    void LearnChallenge() {
        composer.Digest.AuthRealm = "kyr.test";
        composer.Digest.AuthNonce = "abc123nonce";
    }

    // A received INVITE as the parser leaves it, with three Via lines.
    static CSIPSDPMessage IncomingInvite() {
        CSIPSDPMessage invite;
        invite.Code = 1000;
        invite.FromValue = "\"3456\" <sip:3456@sip.voip.test>;tag=caller-1";
        invite.ToValue = "<sip:1001@192.168.1.20>";
        invite.CallID = "abc-call@10.0.0.1";
        invite.CSeqText = "102 INVITE";
        invite.ViaList =
            "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK1#**#"
            "Via: SIP/2.0/UDP 10.0.0.8:5070;branch=z9hG4bK2#**#"
            "Via: SIP/2.0/UDP 10.0.0.7;received=10.0.0.7;rport=5060#**#";
        return invite;
    }

    testing_support::FakeClock clock{kNow};
    // NewTag draws four numbers and NewCallId three, so one INVITE uses exactly the cycle.
    testing_support::FixedRandom random{12, 34, 56, 78, 1111, 2222, 3333};
    CallSettings settings;
    SipComposer composer{settings};
};

TEST_F(SipComposerTest, InviteInAllThreeForms) {
    EXPECT_EQ(kOfferSdp.size(), 139u);
    // The digest's uri is the Request-URI: response = MD5(HA1 ":" nonce ":"
    // MD5("INVITE:sip:4321@sip.voip.test")), computed with md5sum.
    const std::string digest =
        "Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:4321@sip.voip.test\",response=\"0f8174fb7f3ba9f4fef596f1cbbb3753\"\r\n";
    // Once a realm is learnt it replaces the proxy name in To, and nowhere else.
    const struct {
        int kind;
        std::string to;
        std::string authorization;
    } forms[] = {
        {MessageKind::Invite, "sip.voip.test", ""},
        {MessageKind::InviteWithAuthorization, "kyr.test", "Proxy-Authorization: " + digest},
        {MessageKind::InviteWithUserAuthorization, "kyr.test", "Authorization: " + digest},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(form.kind);
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
                           kContact + "Max-Forwards: 70\r\n" + form.authorization + kSdpTail);
    }
}

TEST_F(SipComposerTest, CancelCarriesTheInviteSequenceNumber) {
    composer.SeqCounter = 41;
    Dial("4321");
    const std::string inviteBranch = composer.LastBranch;
    {
        const std::string composed = Compose(true, MessageKind::Cancel);
        EXPECT_EQ(composed, "CANCEL sip:4321@sip.voip.test SIP/2.0\r\n" + kOwnFrom +
                                "To: <sip:4321@sip.voip.test>\r\n" + kCallId +
                                "CSeq: 41 CANCEL\r\n" + OwnVia(composer) +
                                "Content-Length: 0\r\n\r\n");
    }
    EXPECT_EQ(composer.LastBranch, inviteBranch);
}

TEST_F(SipComposerTest, OutgoingCallAckInfoAndByeFollowTheRecord) {
    composer.SeqCounter = 41;
    Dial("4321");
    const std::string head = kOwnFrom + "To: <sip:4321@sip.voip.test>";
    composer.PendingToTag = "callee-9";  // as a 180 leaves it
    CSIPSDPMessage ok;
    ok.Code = 2200;
    ok.ViaList = "Via: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5#**#";
    const std::string answeredVia = "Via: SIP/2.0/UDP 192.168.1.20:5060;received=203.0.113.5\r\n";
    const std::string tagged = head + ";tag=callee-9\r\n" + kCallId;
    // The ACK of a refusal is the INVITE's transaction: the response's Vias come back.
    const std::string ackTail = kContact + "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(Compose(true, MessageKind::Ack, &ok), "ACK sip:4321@sip.voip.test SIP/2.0\r\n" +
                                                        tagged + "CSeq: 41 ACK\r\n" + answeredVia +
                                                        ackTail);
    // The ACK of a 2xx, INFO and BYE are transactions of their own, each with a new branch.
    std::vector<std::string> branches{composer.InviteBranch};
    {
        const std::string composed = Compose(true, MessageKind::AckToOk);
        EXPECT_EQ(composed, "ACK sip:4321@sip.voip.test SIP/2.0\r\n" + tagged + "CSeq: 41 ACK\r\n" +
                                OwnVia(composer) + ackTail);
    }
    branches.push_back(composer.LastBranch);
    composer.PendingToTag.clear();  // as the 200 handling does after the ACK

    // "#" is the last INFO kind.
    const std::string info = Compose(true, MessageKind::FirstInfo + 11);
    EXPECT_EQ(info, "INFO sip:4321@sip.voip.test SIP/2.0\r\n" + tagged + "CSeq: 42 INFO\r\n" +
                        OwnVia(composer) +
                        "Content-Type: application/dtmf-relay\r\nContent-Length: 27\r\n\r\n"
                        "Signal= 11\r\nDuration= 250\r\n");
    branches.push_back(composer.LastBranch);
    {
        const std::string composed = Compose(true, MessageKind::ByeFromCaller);
        EXPECT_EQ(composed, "BYE sip:4321@sip.voip.test SIP/2.0\r\n" + tagged + "CSeq: 43 BYE\r\n" +
                                OwnVia(composer) + "Content-Length: 0\r\n\r\n");
    }
    branches.push_back(composer.LastBranch);
    EXPECT_EQ(std::set<std::string>(branches.begin(), branches.end()).size(), branches.size());

    // A proxy that record-routes: the dialog's requests go to the callee's Contact along the
    // route set, the 2xx's Record-Route reversed.
    ok.RecordRoutes = {"<sip:10.0.0.2;lr>", "<sip:10.0.0.1;lr>"};
    ok.ContactURI = "sip:4321@10.0.0.5:5062";
    composer.Dialog.TakeFromResponse(ok);
    const std::string routed = Compose(true, MessageKind::ByeFromCaller);
    EXPECT_EQ(
        routed,
        "BYE sip:4321@10.0.0.5:5062 SIP/2.0\r\n" + tagged + "CSeq: 44 BYE\r\n" + OwnVia(composer) +
            "Route: <sip:10.0.0.1;lr>\r\nRoute: <sip:10.0.0.2;lr>\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(SipComposerTest, IncomingCallResponsesEchoTheInvite) {
    const CSIPSDPMessage invite = IncomingInvite();
    const std::string rest = "Call-ID: abc-call@10.0.0.1\r\nCSeq: 102 INVITE\r\n" + kInviteVias;
    const std::string untagged = kCallerFrom + "To: <sip:1001@192.168.1.20>\r\n" + rest;
    EXPECT_EQ(Compose(false, MessageKind::Trying, &invite),
              "SIP/2.0 100 Trying\r\n" + untagged + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(Compose(false, MessageKind::UnsupportedMediaType),
              "SIP/2.0 415 Unsupported Media Type\r\n" + untagged + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(Compose(false, MessageKind::BusyHere),
              "SIP/2.0 486 Busy Here\r\n" + untagged + "Content-Length: 0\r\n\r\n");

    composer.PendingToTag = composer.NewTag();
    ASSERT_EQ(composer.PendingToTag, kFirstTag);
    const std::string phoneTo = "To: <sip:1001@192.168.1.20>;tag=" + kFirstTag + "\r\n";
    EXPECT_EQ(
        Compose(false, MessageKind::Ringing),
        "SIP/2.0 180 Ringing\r\n" + kCallerFrom + phoneTo + rest + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(Compose(false, MessageKind::OkWithAnswer),
              "SIP/2.0 200 OK\r\n" + kCallerFrom + phoneTo + rest + kContact + kSdpTail);

    // The caller's BYE: its own CSeq, with From and To of the record exchanged or as stored.
    CSIPSDPMessage bye;
    bye.Code = 1002;
    bye.CSeqText = "103 BYE";
    bye.ViaList = "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bKbye#**#";
    const std::string byeRest =
        "Call-ID: abc-call@10.0.0.1\r\nCSeq: 103 BYE\r\n"
        "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bKbye\r\n" +
        kContact + "Content-Length: 0\r\n\r\n";
    EXPECT_EQ(Compose(false, MessageKind::OkExchanged, &bye),
              "SIP/2.0 200 OK\r\nFrom: <sip:1001@192.168.1.20>;tag=" + kFirstTag +
                  "\r\nTo: \"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n" + byeRest);
    EXPECT_EQ(Compose(false, MessageKind::OkAsStored, &bye),
              "SIP/2.0 200 OK\r\n" + kCallerFrom + phoneTo + byeRest);

    // The phone hangs up: its BYE goes to the caller's Contact, with the phone's tag in From.
    composer.SeqCounter = 7;
    composer.RequestUri = "3456@10.0.0.9:5060";
    const std::string calleeBye = Compose(true, MessageKind::ByeFromCallee);
    EXPECT_EQ(
        calleeBye,
        "BYE sip:3456@10.0.0.9:5060 SIP/2.0\r\nFrom: <sip:1001@192.168.1.20>;tag=" + kFirstTag +
            "\r\n"
            "To: \"3456\" <sip:3456@sip.voip.test>;tag=caller-1\r\n"
            "Call-ID: abc-call@10.0.0.1\r\nCSeq: 7 BYE\r\n" +
            OwnVia(composer) + "Content-Length: 0\r\n\r\n");
}

TEST_F(SipComposerTest, BusyToSecondInviteCopiesItsHeadersAndLeavesTheCallAlone) {
    Dial("4321");
    composer.PendingToTag = "callee-9";
    const std::string recordBefore = composer.FromHeader + composer.ToHeader +
                                     composer.DialogCallId + composer.CSeqValue + composer.ViaValue;

    CSIPSDPMessage second;
    second.Code = 1000;
    second.FromValue = "<sip:7777@sip.voip.test>;tag=x7";
    second.ToValue = "<sip:1001@sip.voip.test>";
    second.CallID = "second@10.0.0.1";
    second.CSeqText = "5 INVITE";
    second.ViaList = "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKs#**#";
    EXPECT_EQ(Compose(false, MessageKind::BusyHereOtherInvite, &second),
              "SIP/2.0 486 Busy Here\r\nFrom: <sip:7777@sip.voip.test>;tag=x7\r\n"
              "To: <sip:1001@sip.voip.test>\r\nCall-ID: second@10.0.0.1\r\nCSeq: 5 INVITE\r\n"
              "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKs\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(composer.FromHeader + composer.ToHeader + composer.DialogCallId + composer.CSeqValue +
                  composer.ViaValue,
              recordBefore);
    EXPECT_EQ(composer.PendingToTag, "callee-9");
    EXPECT_TRUE(composer.WithContact && composer.WithMaxForwards && composer.WithBody);
}

// A kind that needs a received message must not read through a null one.
TEST_F(SipComposerTest, KindsThatNeedAReceivedMessageOrDoNotExistYieldNothing) {
    std::string out = "stale";
    EXPECT_EQ(composer.ComposeMessage(true, MessageKind::Ack, nullptr, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(composer.ComposeMessage(false, MessageKind::Trying, nullptr, out), 0);
    EXPECT_EQ(composer.ComposeMessage(false, MessageKind::BusyHereOtherInvite, nullptr, out), 0);
    EXPECT_EQ(composer.ComposeMessage(true, 22, nullptr, out), 0);
}

// Every REGISTER of one registration keeps its Call-ID and tag and counts its CSeq up; each is
// a transaction of its own. Digests computed with md5sum: HA1 = MD5("1001:kyr.test:secret"),
// HA2 = MD5("REGISTER:sip:sip.voip.test"); with qop, response = MD5(HA1 ":abc123nonce:"
// "00000001:0123456789abcdef:auth:" HA2).
TEST_F(SipComposerTest, RegistersOfOneBindingInEveryForm) {
    const std::string noQop =
        "Authorization: Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:sip.voip.test\",response=\"42ee5aee6456556e8f5da808c268e658\"\r\n";
    const std::string withQop =
        "Authorization: Digest username=\"1001\",realm=\"kyr.test\",nonce=\"abc123nonce\","
        "uri=\"sip:sip.voip.test\",response=\"9030a9e6ec45a44e4bd2d6bfb410dff5\",qop=auth,"
        "nc=00000001,cnonce=\"0123456789abcdef\",opaque=\"op-1\"\r\n";
    const struct {
        const char* qop;  // offered by the challenge; nullptr: no challenge taken
        int minExpires;   // a 423's Min-Expires taken before, 0 for none
        std::string expires;
        std::string authorization;
    } forms[] = {
        {nullptr, 0, "150", ""},
        {"", 0, "150", noQop},
        {"auth-int, auth", 0, "150", withQop},
        {nullptr, 3600, "3600", ""},
    };
    Registration binding{settings};
    // Chosen by the first REGISTER, from the same numbers as a call's.
    binding.Tag = composer.NewTag();
    binding.CallId = composer.NewCallId();
    for (size_t i = 0; i < std::size(forms); ++i) {
        SCOPED_TRACE(i);
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
        EXPECT_EQ(out, "REGISTER sip:sip.voip.test SIP/2.0\r\n"
                       "From: <sip:1001@sip.voip.test>;tag=" +
                           kFirstTag + "\r\nTo: <sip:1001@sip.voip.test>\r\n" + kCallId +
                           "CSeq: " + std::to_string(i) + " REGISTER\r\n"
                           "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK0123456789abcdef;"
                           "rport\r\nContact: <sip:1001@192.168.1.20:5060>;expires=" +
                           form.expires + "\r\n" + form.authorization + "Content-Length: 0\r\n\r\n");
    }
}

TEST_F(SipComposerTest, SequenceStartsAtZeroAndSkipsZeroAfterWrapping) {
    EXPECT_EQ(composer.NextSequence(), 0);
    composer.SeqCounter = 65534;
    EXPECT_EQ(composer.NextSequence(), 65534);
    EXPECT_EQ(composer.NextSequence(), 1);
}

TEST(SipComposerIdentifiers, DialogsBegunInTheSameSecondNeverShareTagOrCallId) {
    testing_support::FakeClock clock(kNow);
    CallSettings settings;
    SipComposer composer(settings);
    std::set<std::string> tags;
    std::set<std::string> callIds;
    for (int i = 0; i < 50; ++i) {
        const std::string tag = composer.NewTag();
        EXPECT_EQ(tag.rfind("KYR_1700000000.", 0), 0u) << tag;
        tags.insert(tag);
        callIds.insert(composer.NewCallId());
    }
    EXPECT_EQ(tags.size(), 50u);
    EXPECT_EQ(callIds.size(), 50u);

    // Even a random source that repeats itself gives a fresh tag.
    testing_support::FixedRandom random{5, 5, 5, 5, 6, 6, 6, 6};
    EXPECT_EQ(composer.NewTag(), "KYR_1700000000.5555");
    EXPECT_EQ(composer.NewTag(), "KYR_1700000000.6666");
}

}  // namespace
