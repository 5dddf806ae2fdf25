#pragma once

#include <cstddef>
#include <string>

#include "call/CallSettings.h"
#include "call/DigestAuth.h"
#include "call/Registration.h"
#include "call/SipDialog.h"
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
constexpr int AckToOk = 34;    // the ACK of a 2xx: a transaction of its own, sent in the dialog
constexpr int FirstInfo = 10;  // INFO carrying DTMF signal kind - 10: digits, 10 "*", 11 "#"
constexpr int LastInfo = 21;
constexpr int Trying = 100;
constexpr int Ringing = 180;
constexpr int OkWithAnswer = 2000;
constexpr int OkExchanged = 200;  // to a received BYE or CANCEL, From and To exchanged
constexpr int OkAsStored = 2001;  // to a received BYE or CANCEL, From and To as stored
constexpr int UnsupportedMediaType = 415;
constexpr int BusyHere = 486;
constexpr int RequestTerminated = 487;     // to the INVITE of a call the caller cancelled
constexpr int BusyHereOtherInvite = 4861;  // to an INVITE outside the current call
}  // namespace MessageKind

// The dialog record of the one current call and the composer of every SIP message the
// phone sends. The record holds the header values of the call, and each composition reads
// and updates it; the transactions keep what was sent for the retransmissions.
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
    // A REGISTER of the binding. With a header name ("Authorization" for a 401,
    // "Proxy-Authorization" for a 407) it answers the challenge Digest holds.
    int ComposeRegister(Registration& binding, const std::string& authorizationHeader,
                        std::string& out);
    // A response to request made from the request's own headers (From, To, Call-ID, CSeq and
    // every Via), leaving the call's record alone; withAnswer adds Contact and the SDP answer.
    int ComposeReplyTo(const CSIPSDPMessage& request, const std::string& statusLine,
                       bool withAnswer, std::string& out);
    // SDP offer or answer for payload type n (sdp), or the DTMF body for signal n.
    std::string ComposeBody(bool sdp, int n) const;

    std::string NewTag();
    std::string NewCallId();
    // A Via branch parameter, "z9hG4bK" and random letters and digits, new at every call.
    std::string NewBranch();
    // 0 first; after 65535 comes 1.
    int NextSequence();

    // Digest over REGISTER or INVITE to uri (the request's Request-URI) for the account;
    // fills Digest's hex fields.
    void ComputeDigest(const std::string& method, const std::string& uri);
    // The phone's Contact URI, without the angle brackets.
    std::string ContactUri() const;

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
    std::string ViaValue;          // one Via value, or received Via lines each followed by "#**#"
    std::string InviteVia;         // the Via of the last INVITE sent, which CANCEL repeats
    std::string InviteBranch;      // its branch
    std::string LastBranch;        // the branch of the last request composed
    std::string RecordRouteLines;  // the received INVITE's Record-Route lines, for its answers
    SipDialog Dialog;
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
    // Our own Via with a new branch, which LastBranch then names.
    std::string OwnVia();
    // The Request-URI of a request inside the dialog, without "sip:".
    const std::string& InDialogUri() const;
    std::string AuthorizationValue(const std::string& uri) const;

    const CallSettings& settings_;
    std::string lastTag_;
    std::string responseVias_;  // a response's Via lines when they are not the record's
    bool inDialogRequest_ = false;
    std::string lastCallId_;
};

// Writes every Via line of a received list (each ended by "#**#") as one line; text after
// the last separator is not a complete line and is left out.
void AppendViaLines(const std::string& viaList, std::string& text);
