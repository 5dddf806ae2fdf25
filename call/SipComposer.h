#pragma once

#include <cstddef>
#include <string>

#include "call/CallSettings.h"
#include "call/DigestAuth.h"
#include "sip/SIPSDPMessage.h"

// Kinds of message the composer writes; the numbers are those the handlers pass around.
namespace MessageKind {
constexpr int Invite = 0;
constexpr int InviteWithAuthorization = 31;      // answers a 407: Proxy-Authorization
constexpr int InviteWithUserAuthorization = 33;  // answers a 401: Authorization
constexpr int ByeFromCaller = 2;
constexpr int ByeFromCallee = 32;
constexpr int Ack = 3;
constexpr int Cancel = 4;
constexpr int FirstInfo = 10;  // INFO carrying DTMF signal kind - 10: digits, 10 "*", 11 "#"
constexpr int LastInfo = 21;
constexpr int Trying = 100;
constexpr int Ringing = 180;
constexpr int OkWithAnswer = 2000;
constexpr int OkExchanged = 200;  // to a received BYE or CANCEL, From and To exchanged
constexpr int OkAsStored = 2001;  // to a received BYE or CANCEL, From and To as stored
constexpr int UnsupportedMediaType = 415;
constexpr int BusyHere = 486;
constexpr int BusyHereOtherInvite = 4861;  // to an INVITE outside the current call
}  // namespace MessageKind

// The dialog record of the one current call and the composer of every SIP message the
// phone sends. There is no transaction layer: the record holds the header values of the
// call, and each composition reads and updates it.
class SipComposer {
public:
    // The largest payload one UDP datagram over IPv4 can carry.
    static constexpr size_t kMaxDatagram = 65507;
    static constexpr const char* kDtmfContentType = "application/dtmf-relay";
    static constexpr int kG729PayloadType = 18;

    explicit SipComposer(const CallSettings& settings) : settings_(settings) {}

    // Writes one message into out (replacing its contents) and returns its length. Returns
    // 0 (out empty) for a kind that does not exist, for a kind that answers or echoes a
    // received message when current is null, and for a message longer than one datagram.
    // current is the received message being handled (a request or response).
    int ComposeMessage(bool isRequest, int kind, const CSIPSDPMessage* current, std::string& out);
    // A REGISTER; the authorised form answers the 401 in current. Length as above.
    int ComposeRegister(bool withAuthorization, const CSIPSDPMessage* current, std::string& out);
    // SDP offer or answer for payload type n (sdp), or the DTMF body for signal n.
    std::string ComposeBody(bool sdp, int n) const;

    std::string NewTag();
    std::string NewCallId();
    // A Via branch parameter, "z9hG4bK" and random letters and digits, new at every call.
    std::string NewBranch();
    // 0 first; after 65535 comes 1.
    int NextSequence();

    // Digest over REGISTER or INVITE for the account; fills Digest's hex fields.
    void ComputeDigest(const std::string& method);

    // The dialog record.
    std::string LocalTag;
    std::string PendingToTag;  // a tag waiting to be appended to ToHeader by the next composition
    std::string RequestUri;    // without "sip:"
    std::string DialledNumber;
    std::string FromHeader;
    std::string ToHeader;
    std::string DialogCallId;
    std::string CSeqValue;
    int SeqCounter = 0;
    int SeqNumber = 0;
    std::string ContactValue;
    std::string ViaValue;  // one Via value, or received Via lines each followed by "#**#"
    int MaxForwardsValue = 0;
    bool WithContact = false;
    bool WithMaxForwards = false;
    bool WithBody = false;
    std::string Body;
    std::string ResponseText;
    DigestAuth Digest;

private:
    bool StartRequest(int kind, const CSIPSDPMessage* current, std::string& text);
    bool StartResponse(int kind, const CSIPSDPMessage* current, std::string& text);
    void StartInvite(int kind);
    void AppendHeaderBlock(int kind, std::string& text);
    std::string LocalContact() const;
    std::string AuthorizationValue() const;

    const CallSettings& settings_;
    std::string lastTag_;
    std::string lastCallId_;
};

// Writes every Via line of a received list (each ended by "#**#") as one line; text after
// the last separator is not a complete line and is left out.
void AppendViaLines(const std::string& viaList, std::string& text);
