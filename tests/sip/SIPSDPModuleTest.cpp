#include "sip/SIPSDPModule.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "sip/SIPSDPMessageQueue.h"

namespace {

std::unique_ptr<CSIPSDPMessage> Parse(const std::string& datagram) {
    return SIPSDPModule::ParseMessage(datagram.data(), datagram.size());
}

// A datagram from lines, each ended by CR LF.
std::string Lines(const std::vector<std::string>& lines) {
    std::string datagram;
    for (const std::string& line : lines) {
        datagram += line + "\r\n";
    }
    return datagram;
}

// A response with the usual headers and the given extra lines before the blank line.
std::string Response(const std::string& statusLine, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> lines = {
        statusLine,
        "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1;rport=5060",
        "From: <sip:1001@op.voip.test>;tag=KYR_1804289383",
        "To: <sip:1001@op.voip.test>;tag=as6b8b4567",
        "Call-ID: 846930886@192.168.1.20",
        "CSeq: 102 REGISTER",
    };
    lines.insert(lines.end(), extra.begin(), extra.end());
    lines.push_back("Content-Length: 0");
    lines.push_back("");
    return Lines(lines);
}

std::vector<std::string> SplitVia(const std::string& viaList) {
    std::vector<std::string> parts;
    const std::string separator = CSIPSDPMessage::kViaSeparator;
    size_t start = 0;
    for (size_t at = viaList.find(separator); at != std::string::npos;
         at = viaList.find(separator, start)) {
        parts.push_back(viaList.substr(start, at - start));
        start = at + separator.size();
    }
    EXPECT_EQ(start, viaList.size()) << "ViaList must end with the separator";
    return parts;
}

const std::string kInviteWithSdp = Lines({
    "INVITE sip:1001@192.168.1.20:5060 SIP/2.0",
    "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=z9hG4bK2b3c.1",
    "Max-Forwards: 69",
    "From: \"3456\" <sip:3456@op.voip.test>;tag=as58f4a2c1",
    "To: <sip:1001@op.voip.test>",
    "Contact: <sip:3456@203.0.113.5:5060>",
    "Call-ID: 5f1e2d3c4b5a@203.0.113.5",
    "CSeq: 102 INVITE",
    "Remote-Party-ID: \"Front desk\" <sip:7890@op.voip.test>;party=calling",
    "Content-Type: application/sdp",
    "Content-Length: 182",
    "",
    "v=0",
    "o=root 1821 1821 IN IP4 203.0.113.5",
    "s=session",
    "c=IN IP4 203.0.113.7",
    "t=0 0",
    "m=audio 18598 RTP/AVP 18 4 101",
    "a=rtpmap:18 G729/8000",
    "a=fmtp:18 annexb=no",
});

TEST(SIPSDPModuleTest, FreshMessageHasInitialValues) {
    CSIPSDPMessage message;
    message.Code = 2200;
    message.CallID = "x";
    message.MediaPort = 5;
    message.Reset();
    EXPECT_EQ(message.Code, 0);
    EXPECT_EQ(message.CSeqNumber, 0);
    EXPECT_EQ(message.MaxForwards, -1);
    EXPECT_EQ(message.ContentLength, -1);
    EXPECT_EQ(message.MediaPort, -1);
    EXPECT_TRUE(message.CallID.empty());
}

TEST(SIPSDPModuleTest, TablesHoldTheVocabularyInOrder) {
    EXPECT_EQ(SIPSDPModule::SdpPrefixes().front(), "v=");
    EXPECT_EQ(SIPSDPModule::SdpPrefixes().back(), "a=");
    EXPECT_EQ(SIPSDPModule::Methods()[5], "OPTIONS");
    EXPECT_EQ(SIPSDPModule::Methods()[12], "UPDATE");
    EXPECT_EQ(SIPSDPModule::HeaderNames()[16], "Via");
    EXPECT_EQ(SIPSDPModule::HeaderNames()[17], "Accept");
    EXPECT_EQ(SIPSDPModule::HeaderNames()[60], "Content-Length");
    EXPECT_EQ(SIPSDPModule::HeaderNames()[65], "InfiNETBilling");
    EXPECT_EQ(SIPSDPModule::StatusLines()[0], "100 Trying");
    EXPECT_EQ(SIPSDPModule::StatusLines()[56], "606 Not Acceptable");
    EXPECT_EQ(SIPSDPModule::ReasonPhrase(486), "Busy Here");
    EXPECT_EQ(SIPSDPModule::ReasonPhrase(302), "Moved temporarily");
    EXPECT_EQ(SIPSDPModule::ReasonPhrase(481), "Dialog/Transaction Does Not Exist");
    EXPECT_EQ(SIPSDPModule::StatusLine(415), "415 Unsupported Media Type");
    EXPECT_EQ(SIPSDPModule::ReasonPhrase(412), "");
    EXPECT_EQ(SIPSDPModule::MethodIndex("CANCEL"), 4);
    EXPECT_EQ(SIPSDPModule::MethodIndex("PUBLISH"), -1);
    EXPECT_EQ(SIPSDPModule::MethodName(10), "INFO");
    EXPECT_EQ(SIPSDPModule::MethodName(13), "");

    // Every slot filled, statuses ascending with a phrase after "NNN ".
    for (const auto& table : {std::vector<std::string_view>(SIPSDPModule::SdpPrefixes().begin(),
                                                            SIPSDPModule::SdpPrefixes().end()),
                              std::vector<std::string_view>(SIPSDPModule::Methods().begin(),
                                                            SIPSDPModule::Methods().end()),
                              std::vector<std::string_view>(SIPSDPModule::HeaderNames().begin(),
                                                            SIPSDPModule::HeaderNames().end())}) {
        for (const std::string_view entry : table) {
            EXPECT_FALSE(entry.empty());
        }
    }
    int previous = 0;
    for (const std::string_view line : SIPSDPModule::StatusLines()) {
        ASSERT_GT(line.size(), 4u);
        EXPECT_EQ(line[3], ' ');
        const int status = std::stoi(std::string(line.substr(0, 3)));
        EXPECT_GT(status, previous);
        previous = status;
    }
}

TEST(SIPSDPModuleTest, StatusLinesGiveResponseCodes) {
    auto ok = Parse(Response("SIP/2.0 200 OK"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->Code, 2200);
    EXPECT_EQ(ok->Code / 1000, 2);
    EXPECT_EQ(ok->StartLine, "SIP/2.0 200 OK");

    auto challenge = Parse(Response("SIP/2.0 401 Unauthorized"));
    ASSERT_NE(challenge, nullptr);
    EXPECT_EQ(challenge->Code, 2401);

    // The received reason phrase is never read.
    auto busy = Parse(Response("SIP/2.0 486 Occupied right now"));
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->Code, 2486);
}

TEST(SIPSDPModuleTest, UnknownOrShortStatusDropsTheDatagram) {
    EXPECT_EQ(Parse(Response("SIP/2.0 412 Conditional Request Failed")), nullptr);
    EXPECT_EQ(Parse(Response("SIP/2.0 494 Security Agreement Required")), nullptr);
    EXPECT_EQ(Parse(Response("SIP/2.0 580 Precondition Failure")), nullptr);
    EXPECT_EQ(Parse(Response("SIP/2.0 200")), nullptr);     // exactly 11 characters
    EXPECT_EQ(Parse(Response("SIP/2.0 2x0 OK")), nullptr);  // not a number
    EXPECT_NE(Parse(Response("SIP/2.0 200 ")), nullptr);    // 12 characters
}

TEST(SIPSDPModuleTest, RequestLinesGiveMethodCodes) {
    auto invite = Parse(kInviteWithSdp);
    ASSERT_NE(invite, nullptr);
    EXPECT_EQ(invite->Code, 1000);
    EXPECT_EQ(invite->Code / 1000, 1);
    EXPECT_EQ(invite->StartLine, "INVITE sip:1001@192.168.1.20:5060 SIP/2.0");

    auto bye = Parse(Lines({"BYE sip:1001@192.168.1.20:5060 SIP/2.0", "CSeq: 103 BYE", ""}));
    ASSERT_NE(bye, nullptr);
    EXPECT_EQ(bye->Code, 1002);

    auto options = Parse(Lines({"OPTIONS sip:1001@192.168.1.20 SIP/2.0", "CSeq: 1 OPTIONS"}));
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->Code, 1005);

    EXPECT_EQ(Parse(Lines({"PUBLISH sip:1001@op.voip.test SIP/2.0", "CSeq: 1 PUBLISH", ""})),
              nullptr);
    // Case-sensitive.
    EXPECT_EQ(Parse(Lines({"invite sip:1001@op.voip.test SIP/2.0", "CSeq: 1 INVITE", ""})),
              nullptr);
}

TEST(SIPSDPModuleTest, DialogHeadersOfAnInvite) {
    auto m = Parse(kInviteWithSdp);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->CallID, "5f1e2d3c4b5a@203.0.113.5");
    EXPECT_EQ(m->FromValue, "\"3456\" <sip:3456@op.voip.test>;tag=as58f4a2c1");
    EXPECT_EQ(m->FromTag, "as58f4a2c1");
    EXPECT_EQ(m->ToValue, "<sip:1001@op.voip.test>");
    EXPECT_EQ(m->ToTag, "");
    EXPECT_EQ(m->ContactValue, "<sip:3456@203.0.113.5:5060>");
    EXPECT_EQ(m->ContactURI, "sip:3456@203.0.113.5:5060");
    EXPECT_EQ(m->CSeqText, "102 INVITE");
    EXPECT_EQ(m->CSeqNumber, 102);
    EXPECT_EQ(m->MaxForwards, 69);
    EXPECT_EQ(m->ContentLength, 182);
    EXPECT_EQ(m->CallerNumber, "7890");
    EXPECT_EQ(m->ViaList, "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=z9hG4bK2b3c.1#**#");
}

TEST(SIPSDPModuleTest, ContactUriNeedsBlankBeforeTheBracket) {
    auto m = Parse(Response("SIP/2.0 200 OK",
                            {"Contact: \"1001\" <sip:1001@192.168.1.20:5060>;expires=7200"}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ContactURI, "sip:1001@192.168.1.20:5060");
    EXPECT_EQ(m->ContactValue, "\"1001\" <sip:1001@192.168.1.20:5060>;expires=7200");

    auto reversed = Parse(Response("SIP/2.0 200 OK", {"Contact: x> <sip:1001@h"}));
    ASSERT_NE(reversed, nullptr);
    EXPECT_EQ(reversed->ContactURI, "");

    auto glued = Parse(Response("SIP/2.0 200 OK", {"Contact:<sip:1001@h>"}));
    ASSERT_NE(glued, nullptr);
    EXPECT_EQ(glued->ContactURI, "");
    EXPECT_EQ(glued->ContactValue, "sip:1001@h>");  // the character after the colon is skipped
}

TEST(SIPSDPModuleTest, TagRule) {
    auto withParameter =
        Parse(Response("SIP/2.0 200 OK", {"From: <sip:3456@op.voip.test>;tag=abc;x-info=1",
                                          "To: <sip:1001@op.voip.test>;tag=def ;x=1"}));
    ASSERT_NE(withParameter, nullptr);
    EXPECT_EQ(withParameter->FromValue, "<sip:3456@op.voip.test>;tag=abc;x-info=1");
    EXPECT_EQ(withParameter->FromTag, "abc;x-info=1");  // what follows the tag stays
    EXPECT_EQ(withParameter->ToTag, "");                // a blank follows the tag

    auto plain = Parse(Response("SIP/2.0 200 OK", {"From: <sip:3456@op.voip.test>;tag=abc"}));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->FromTag, "abc");
}

TEST(SIPSDPModuleTest, CSeqRules) {
    auto noMethod = Parse(Response("SIP/2.0 200 OK", {"CSeq: 102"}));
    ASSERT_NE(noMethod, nullptr);
    EXPECT_EQ(noMethod->CSeqNumber, -1);
    EXPECT_EQ(noMethod->CSeqText, "102");

    auto notNumber = Parse(Response("SIP/2.0 200 OK", {"CSeq: 1o2 INVITE"}));
    ASSERT_NE(notNumber, nullptr);
    EXPECT_EQ(notNumber->CSeqNumber, -1);
    EXPECT_EQ(notNumber->CSeqText, "1o2 INVITE");

    auto noBlank = Parse(Response("SIP/2.0 200 OK", {"CSeq:102 INVITE"}));
    ASSERT_NE(noBlank, nullptr);
    EXPECT_EQ(noBlank->CSeqNumber, -1);
    EXPECT_EQ(noBlank->CSeqText, "102 REGISTER");  // the rule did not match: kept

    auto huge = Parse(Response("SIP/2.0 200 OK", {"CSeq: 99999999999 INVITE"}));
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(huge->CSeqNumber, -1);
}

TEST(SIPSDPModuleTest, DigestChallenge) {
    auto m =
        Parse(Response("SIP/2.0 401 Unauthorized",
                       {"WWW-Authenticate: Digest realm=\"op.voip.test\", nonce=\"YT4rZ/2m+1kQ\", "
                        "algorithm=MD5"}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Realm, "op.voip.test");
    EXPECT_EQ(m->Nonce, "YT4rZ/2m+1kQ");

    auto lastNonce =
        Parse(Response("SIP/2.0 407 Proxy Authentication Required",
                       {"Proxy-Authenticate: Digest realm=\"op.voip.test\", nonce=\"5c9d1e\""}));
    ASSERT_NE(lastNonce, nullptr);
    EXPECT_EQ(lastNonce->Code, 2407);
    EXPECT_EQ(lastNonce->Realm, "op.voip.test");
    EXPECT_EQ(lastNonce->Nonce, "");

    auto lastRealm = Parse(Response(
        "SIP/2.0 401 Unauthorized",
        {"WWW-Authenticate: Digest nonce=\"5c9d1e\", algorithm=MD5, realm=\"op.voip.test\""}));
    ASSERT_NE(lastRealm, nullptr);
    EXPECT_EQ(lastRealm->Realm, "");
    EXPECT_EQ(lastRealm->Nonce, "5c9d1e");

    auto single = Parse(
        Response("SIP/2.0 401 Unauthorized", {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", "
                                              "algorithm=MD5"}));
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single->Realm, "r");
    EXPECT_EQ(single->Nonce, "n");

    auto noRealm = Parse(Response("SIP/2.0 401 Unauthorized",
                                  {"WWW-Authenticate: Digest nonce=\"5c9d1e\", opaque=\"x\""}));
    ASSERT_NE(noRealm, nullptr);
    EXPECT_EQ(noRealm->Realm, "");
    EXPECT_EQ(noRealm->Nonce, "5c9d1e");

    // A later challenge line overwrites both.
    auto twice = Parse(Response("SIP/2.0 401 Unauthorized",
                                {"WWW-Authenticate: Digest realm=\"a\", nonce=\"1\", algorithm=MD5",
                                 "WWW-Authenticate: Digest realm=\"b\", nonce=\"2\""}));
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice->Realm, "b");
    EXPECT_EQ(twice->Nonce, "");
}

TEST(SIPSDPModuleTest, ViaLinesAccumulateAndSplitBack) {
    const std::string first = "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=z9hG4bK2b3c.1";
    const std::string second = "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-1;rport=5060";
    auto m = Parse(Lines({"BYE sip:1001@192.168.1.20 SIP/2.0", first, second,
                          "v: SIP/2.0/UDP 10.0.0.1:5060", "CSeq: 3 BYE", ""}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ViaList, first + "#**#" + second + "#**#");
    EXPECT_EQ(SplitVia(m->ViaList), (std::vector<std::string>{first, second}));
    // Only a 401 fills the address fields.
    EXPECT_EQ(m->ViaRport, "");
    EXPECT_EQ(m->ViaReceived, "");
}

TEST(SIPSDPModuleTest, ViaReceivedAndRportOnlyFor401) {
    const std::string via =
        "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-1;Received=198.51.100.9;rport=40312";
    auto challenge = Parse(Lines({"SIP/2.0 401 Unauthorized", via,
                                  "Via: SIP/2.0/UDP 10.1.1.1;Received=10.9.9.9;rport=1",
                                  "CSeq: 1 REGISTER", "Content-Length: 0", ""}));
    ASSERT_NE(challenge, nullptr);
    EXPECT_EQ(challenge->ViaReceived, "198.51.100.9");
    EXPECT_EQ(challenge->ViaRport, "40312");  // the first Via wins

    auto ok = Parse(Lines({"SIP/2.0 200 OK", via, "CSeq: 1 REGISTER", ""}));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->ViaReceived, "");
    EXPECT_EQ(ok->ViaRport, "");

    auto lowerCase = Parse(Lines(
        {"SIP/2.0 401 Unauthorized",
         "Via: SIP/2.0/UDP 192.168.1.20:5060;rport=40312;received=198.51.100.9;branch=z9hG4bK-1",
         "CSeq: 1 REGISTER", ""}));
    ASSERT_NE(lowerCase, nullptr);
    EXPECT_EQ(lowerCase->ViaReceived, "");
    EXPECT_EQ(lowerCase->ViaRport, "40312;received=198.51.100.9;branch=z9hG4bK-1");

    auto receivedLast = Parse(Lines({"SIP/2.0 401 Unauthorized",
                                     "Via: SIP/2.0/UDP 192.168.1.20:5060;Received=198.51.100.9",
                                     "CSeq: 1 REGISTER", ""}));
    ASSERT_NE(receivedLast, nullptr);
    EXPECT_EQ(receivedLast->ViaReceived, "");  // no ";" follows
}

TEST(SIPSDPModuleTest, MaxForwardsAndContentLengthNumbers) {
    auto padded = Parse(Response("SIP/2.0 200 OK", {"Max-Forwards:   70"}));
    ASSERT_NE(padded, nullptr);
    EXPECT_EQ(padded->MaxForwards, 70);

    auto noBlank = Parse(Response("SIP/2.0 200 OK", {"Max-Forwards:70"}));
    ASSERT_NE(noBlank, nullptr);
    EXPECT_EQ(noBlank->MaxForwards, -1);  // "Max-Forwards: " must open the line

    auto bad = Parse(Response("SIP/2.0 200 OK", {"Max-Forwards: seventy"}));
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->MaxForwards, -1);

    auto empty = Parse(Response("SIP/2.0 200 OK", {"Max-Forwards: "}));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->MaxForwards, -1);

    // sipp pads the length: the text from character 17 is "    0".
    auto sippLength =
        Parse(Lines({"SIP/2.0 200 OK", "CSeq: 1 REGISTER", "Content-Length:     0", ""}));
    ASSERT_NE(sippLength, nullptr);
    EXPECT_EQ(sippLength->ContentLength, 0);

    auto glued = Parse(Lines({"SIP/2.0 200 OK", "Content-Length:0", ""}));
    ASSERT_NE(glued, nullptr);
    EXPECT_EQ(glued->ContentLength, -1);

    auto notNumber = Parse(Lines({"SIP/2.0 200 OK", "Content-Length: 12a", ""}));
    ASSERT_NE(notNumber, nullptr);
    EXPECT_EQ(notNumber->ContentLength, -1);
}

TEST(SIPSDPModuleTest, SdpOfAnInvite) {
    auto m = Parse(kInviteWithSdp);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->MediaAddress, "203.0.113.7");
    EXPECT_EQ(m->MediaPort, 18598);
    EXPECT_EQ(m->MediaPayloads, "18 4 101");
}

std::string WithMediaLine(const std::string& mediaLine, const std::string& length = "140") {
    return Lines({"SIP/2.0 200 OK", "CSeq: 102 INVITE", "Content-Type: application/sdp",
                  "Content-Length: " + length, "", "v=0", "c=IN IP4 198.51.100.20", mediaLine});
}

TEST(SIPSDPModuleTest, MediaLineRules) {
    auto port = [](const std::string& line) {
        auto m = Parse(WithMediaLine(line));
        return m == nullptr ? -2 : m->MediaPort;
    };
    EXPECT_EQ(port("m=audio 18598 RTP/AVP 18 4 101"), 18598);
    EXPECT_EQ(port("m=audio 65535 RTP/AVP 18"), 65535);
    EXPECT_EQ(port("m=audio 0 RTP/AVP 18"), 0);
    EXPECT_EQ(port("m=audio 65536 RTP/AVP 18"), -1);
    EXPECT_EQ(port("m=audio 99999 RTP/AVP 18"), -1);
    EXPECT_EQ(port("m=audio 123456 RTP/AVP 18"), -1);  // six characters
    EXPECT_EQ(port("m=audio  RTP/AVP 18"), -1);
    EXPECT_EQ(port("m=audio 18a98 RTP/AVP 18"), -1);
    EXPECT_EQ(port("m=audio 18598\t RTP/AVP 18"), 18598);
    EXPECT_EQ(port("m=audio 18598 TCP/AVP 18"), -1);  // no "RTP" after "audio"
    EXPECT_EQ(port("m=RTP/AVP audio 18598"), -1);

    auto m = Parse(WithMediaLine("m=audio 18598 RTP/AVP 18 4 101"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->MediaPayloads, "18 4 101");

    // A later m= line overwrites both.
    auto video = Parse(Lines({"SIP/2.0 200 OK", "Content-Length: 200", "",
                              "m=audio 18598 RTP/AVP 18", "m=video 5000 RTP/AVP 34"}));
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->MediaPort, -1);
    EXPECT_EQ(video->MediaPayloads, "34");
}

TEST(SIPSDPModuleTest, ConnectionLineRules) {
    auto address = [](const std::string& line) {
        auto m = Parse(Lines({"SIP/2.0 200 OK", "Content-Length: 100", "", line}));
        return m == nullptr ? std::string("dropped") : m->MediaAddress;
    };
    EXPECT_EQ(address("c=IN IP4 198.51.100.20"), "198.51.100.20");
    EXPECT_EQ(address("c=IN IP4 198.51.100.20 extra"), "");
    EXPECT_EQ(address("c=IN IP6 2001:db8::1"), "");
}

TEST(SIPSDPModuleTest, ContentLengthGatesTheSdp) {
    auto noBody = Parse(WithMediaLine("m=audio 18598 RTP/AVP 18 4 101", "0"));
    ASSERT_NE(noBody, nullptr);
    EXPECT_EQ(noBody->MediaAddress, "");
    EXPECT_EQ(noBody->MediaPort, -1);
    EXPECT_EQ(noBody->MediaPayloads, "");

    // Without a length the lines after the blank line are header lines.
    auto noLength = Parse(Lines({"SIP/2.0 200 OK", "CSeq: 102 INVITE", "", "c=IN IP4 198.51.100.20",
                                 "Call-ID: after-the-blank"}));
    ASSERT_NE(noLength, nullptr);
    EXPECT_EQ(noLength->MediaAddress, "");
    EXPECT_EQ(noLength->CallID, "after-the-blank");
}

TEST(SIPSDPModuleTest, PrefixMatchingAndCompactForms) {
    auto m = Parse(Lines({"SIP/2.0 200 OK", "i: compact-call-id", "f: <sip:3456@h>;tag=1",
                          "Accept-Contact: *;audio", "Call-ID: real-one", "l: 500", ""}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->CallID, "real-one");
    EXPECT_EQ(m->FromValue, "");
    EXPECT_EQ(m->ContentLength, -1);
    EXPECT_EQ(m->ViaList, "");
}

TEST(SIPSDPModuleTest, CallerNumberAndFunds) {
    auto bad = Parse(Response("SIP/2.0 200 OK", {"Remote-Party-ID: <sip:7890.op.voip.test>"}));
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->CallerNumber, "");

    auto options = Parse(Lines({
        "OPTIONS sip:1001@192.168.1.20:5060 SIP/2.0",
        "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=z9hG4bK7f1.0",
        "From: <sip:billing@op.voip.test>;tag=b1",
        "To: <sip:1001@op.voip.test>",
        "Call-ID: bill-77@203.0.113.5",
        "CSeq: 1 OPTIONS",
        "InfiNETBilling: account-funds:12.50 300;",
        "Content-Length: 0",
        "",
    }));
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->Code, 1005);
    EXPECT_EQ(options->Funds, "12.50 300");

    auto shortLine = Parse(Lines({"OPTIONS sip:1001@h SIP/2.0", "InfiNETBilling: a-funds:1;"}));
    ASSERT_NE(shortLine, nullptr);
    EXPECT_EQ(shortLine->Funds, "");  // 32 characters or fewer
}

TEST(SIPSDPModuleTest, EmptyLinesAndTheEndOfTheDatagram) {
    // The last header's CR LF may end the datagram.
    auto noBlank = Parse(Lines({"SIP/2.0 100 Trying", "CSeq: 5 INVITE"}));
    ASSERT_NE(noBlank, nullptr);
    EXPECT_EQ(noBlank->CSeqNumber, 5);

    // A second empty line drops the message.
    EXPECT_EQ(Parse(Lines({"SIP/2.0 200 OK", "CSeq: 5 INVITE", "", "", "CSeq: 6 INVITE"})),
              nullptr);
    // Blank lines alone are no message.
    EXPECT_EQ(Parse("\r\nX"), nullptr);
    EXPECT_EQ(Parse(""), nullptr);
    EXPECT_EQ(SIPSDPModule::ParseMessage(nullptr, 0), nullptr);
}

TEST(SIPSDPModuleTest, UnterminatedLastLineIsParsed) {
    auto m = Parse("SIP/2.0 200 OK\r\nCSeq: 7 BYE\r\nCall-ID: abc@h");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->CallID, "abc@h");
    EXPECT_EQ(m->CSeqNumber, 7);

    // A lone CR at the end ends the unfinished line, never read beyond.
    auto cr = Parse("SIP/2.0 200 OK\r\nCall-ID: abc@h\r");
    ASSERT_NE(cr, nullptr);
    EXPECT_EQ(cr->CallID, "abc@h");

    auto onlyStart = Parse("BYE sip:1001@h SIP/2.0");
    ASSERT_NE(onlyStart, nullptr);
    EXPECT_EQ(onlyStart->Code, 1002);
}

TEST(SIPSDPModuleTest, LongLinesAreCutTo299Characters) {
    const std::string callId(400, 'c');
    const std::string datagram =
        Lines({"SIP/2.0 200 OK", "Call-ID: " + callId, "CSeq: 9 INVITE", "Content-Length: 0", ""});
    // Exactly sized copy so a sanitizer sees any read past the datagram.
    const std::vector<char> bytes(datagram.begin(), datagram.end());
    auto m = SIPSDPModule::ParseMessage(bytes.data(), bytes.size());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->CallID, std::string(299 - 9, 'c'));
    EXPECT_EQ(m->CSeqNumber, 9);  // the rest of the long line is skipped, not taken as a line

    const std::string longVia = "Via: SIP/2.0/UDP 203.0.113.5:5060;branch=" + std::string(300, 'b');
    auto via = Parse(Lines({"SIP/2.0 200 OK", longVia, ""}));
    ASSERT_NE(via, nullptr);
    EXPECT_EQ(via->ViaList, longVia.substr(0, 299) + "#**#");

    auto longStart = Parse(Lines({"INVITE sip:" + std::string(500, '1') + "@h SIP/2.0", ""}));
    ASSERT_NE(longStart, nullptr);
    EXPECT_EQ(longStart->StartLine.size(), 299u);
}

// Fields are copied into the phone's answers, so nothing after a NUL, a lone CR or a lone LF
// may ride along in them.
TEST(SIPSDPModuleTest, NulOrLoneLineBreakEndsTheLineText) {
    const std::string datagram("SIP/2.0 200 OK\r\nCall-ID: ab\0cd\r\nCSeq: 4 BYE\r\n", 45);
    auto m = Parse(datagram);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->CallID, "ab");
    EXPECT_EQ(m->CSeqNumber, 4);

    auto injected = Parse(
        Lines({"INVITE sip:1001@kyr.voip.test SIP/2.0",
               "Via: SIP/2.0/UDP 127.0.0.2;branch=z9hG4bK1\nRecord-Route: <sip:x>",
               "From: <sip:7890@kyr.voip.test>;tag=f1\rContact: <sip:evil>",
               "To: <sip:1001@kyr.voip.test>\n\nv=0", "Call-ID: c1\n", "CSeq: 1 INVITE", ""}));
    ASSERT_NE(injected, nullptr);
    EXPECT_EQ(injected->ViaList, "Via: SIP/2.0/UDP 127.0.0.2;branch=z9hG4bK1#**#");
    EXPECT_EQ(injected->FromValue.find_first_of("\r\n"), std::string::npos) << injected->FromValue;
    EXPECT_EQ(injected->ToValue.find_first_of("\r\n"), std::string::npos) << injected->ToValue;
    EXPECT_EQ(injected->FromTag, "f1");
    EXPECT_EQ(injected->CallID, "c1");
    EXPECT_EQ(injected->CSeqNumber, 1);
}

TEST(SIPSDPModuleTest, ParseQueuesAndDropsWhenFull) {
    CSIPSDPMessageQueue queue;
    SIPSDPModule parser(&queue);
    for (int i = 1; i <= 6; ++i) {
        const std::string datagram =
            Response("SIP/2.0 200 OK", {"Call-ID: call-" + std::to_string(i)});
        parser.Parse(datagram.data(), datagram.size());
    }
    const std::string bad = Response("SIP/2.0 412 Conditional Request Failed");
    parser.Parse(bad.data(), bad.size());
    EXPECT_EQ(queue.Count(), 5);
    for (int i = 1; i <= 5; ++i) {
        const int head = queue.PeekHead();
        ASSERT_GE(head, 0);
        ASSERT_NE(queue.MessageAt(head), nullptr);
        EXPECT_EQ(queue.MessageAt(head)->CallID, "call-" + std::to_string(i));
        queue.RemoveHead();
    }
    EXPECT_EQ(queue.PeekHead(), -1);
}

}  // namespace
