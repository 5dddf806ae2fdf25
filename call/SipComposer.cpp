#include "call/SipComposer.h"

#include <utility>

#include "platform/Clock.h"
#include "platform/Random.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr int kMaxForwards = 70;
constexpr int kSequenceWrap = 65535;
// A repeated tag or Call-ID is drawn again, a few times at most, so two dialogs begun in
// the same second never share one even if the random numbers happen to repeat.
constexpr int kRedrawAttempts = 4;
constexpr int kBranchRandomChars = 16;

void AppendLine(std::string& text, const std::string& line) {
    text += line;
    text += kCrLf;
}

std::string Quoted(const std::string& value) {
    return "\"" + value + "\"";
}

bool IsRequestKind(int kind) {
    return kind == MessageKind::Invite || kind == MessageKind::InviteWithAuthorization ||
           kind == MessageKind::InviteWithUserAuthorization || kind == MessageKind::ByeFromCaller ||
           kind == MessageKind::ByeFromCallee || kind == MessageKind::Ack ||
           kind == MessageKind::Cancel || kind == MessageKind::AckToOk ||
           (kind >= MessageKind::FirstInfo && kind <= MessageKind::LastInfo);
}

int CSeqNumberOf(const std::string& cseq) {
    int number = 0;
    for (size_t i = 0; i < cseq.size() && cseq[i] >= '0' && cseq[i] <= '9' && number < 1'000'000;
         ++i) {
        number = number * 10 + (cseq[i] - '0');
    }
    return number;
}

}  // namespace

void AppendViaLines(const std::string& viaList, std::string& text) {
    const std::string separator = CSIPSDPMessage::kViaSeparator;
    size_t start = 0;
    for (size_t end = viaList.find(separator); end != std::string::npos;
         end = viaList.find(separator, start)) {
        AppendLine(text, viaList.substr(start, end - start));
        start = end + separator.size();
    }
}

int SipComposer::ComposeMessage(bool isRequest, int kind, const CSIPSDPMessage* current,
                                std::string& out) {
    out.clear();
    if (isRequest != IsRequestKind(kind)) {
        return 0;
    }
    std::string text;
    if (!(isRequest ? StartRequest(kind, current, text) : StartResponse(kind, current, text))) {
        return 0;
    }
    if (kind == MessageKind::BusyHereOtherInvite) {
        // The INVITE being refused belongs to no dialog of ours: answer it from its own
        // headers and leave the current call's record alone.
        return ComposeReplyTo(*current, "SIP/2.0 486 Busy Here", false, out);
    }
    AppendHeaderBlock(kind, text);
    if (text.size() > kMaxDatagram) {
        return 0;
    }
    out = std::move(text);
    return static_cast<int>(out.size());
}

bool SipComposer::StartRequest(int kind, const CSIPSDPMessage* current, std::string& text) {
    switch (kind) {
        case MessageKind::Invite:
        case MessageKind::InviteWithAuthorization:
        case MessageKind::InviteWithUserAuthorization:
            StartInvite(kind);
            AppendLine(text, "INVITE sip:" + RequestUri + " SIP/2.0");
            inDialogRequest_ = false;
            return true;
        case MessageKind::ByeFromCaller:
        case MessageKind::ByeFromCallee:
            AppendLine(text, "BYE sip:" + InDialogUri() + " SIP/2.0");
            PendingToTag.clear();
            ViaValue = OwnVia();
            inDialogRequest_ = true;
            SeqNumber = NextSequence();
            CSeqValue = std::to_string(SeqNumber) + " BYE";
            if (kind == MessageKind::ByeFromCallee) {
                // The callee sends its BYE from the To side of the record; the exchange
                // stays, so the 200 to a later BYE of ours reads the same way.
                std::swap(FromHeader, ToHeader);
            }
            WithContact = WithMaxForwards = WithBody = false;
            return true;
        case MessageKind::Ack:
            if (current == nullptr) {
                return false;
            }
            AppendLine(text, "ACK sip:" + RequestUri + " SIP/2.0");
            CSeqValue = std::to_string(SeqNumber) + " ACK";
            // Same transaction as the INVITE: its branch, as the response carries it back,
            // and the To tag of the response acknowledged.
            ViaValue = current->ViaList;
            LastBranch = InviteBranch;
            if (PendingToTag.empty() && ToHeader.find(";tag=") == std::string::npos) {
                PendingToTag = current->ToTag;
            }
            WithBody = false;
            inDialogRequest_ = false;
            return true;
        case MessageKind::AckToOk:
            AppendLine(text, "ACK sip:" + InDialogUri() + " SIP/2.0");
            CSeqValue = std::to_string(SeqNumber) + " ACK";
            ViaValue = OwnVia();
            WithBody = false;
            inDialogRequest_ = true;
            return true;
        case MessageKind::Cancel:
            AppendLine(text, "CANCEL sip:" + RequestUri + " SIP/2.0");
            PendingToTag.clear();
            ViaValue = InviteVia;
            LastBranch = InviteBranch;
            inDialogRequest_ = false;
            CSeqValue = std::to_string(SeqNumber) + " CANCEL";
            WithContact = WithMaxForwards = WithBody = false;
            return true;
        default:  // INFO with one DTMF key
            AppendLine(text, "INFO sip:" + InDialogUri() + " SIP/2.0");
            ViaValue = OwnVia();
            inDialogRequest_ = true;
            Body = ComposeBody(false, kind - MessageKind::FirstInfo);
            SeqNumber = NextSequence();
            CSeqValue = std::to_string(SeqNumber) + " INFO";
            WithContact = WithMaxForwards = false;
            WithBody = true;
            return true;
    }
}

bool SipComposer::StartResponse(int kind, const CSIPSDPMessage* current, std::string& text) {
    switch (kind) {
        case MessageKind::Trying:
            if (current == nullptr) {
                return false;
            }
            AppendLine(text, "SIP/2.0 100 Trying");
            PendingToTag.clear();
            FromHeader = current->FromValue;
            ToHeader = current->ToValue;
            DialogCallId = current->CallID;
            CSeqValue = current->CSeqText;
            ViaValue = current->ViaList;
            RecordRouteLines.clear();
            for (const std::string& route : current->RecordRoutes) {
                RecordRouteLines += "Record-Route: " + route + kCrLf;
            }
            WithContact = WithMaxForwards = WithBody = false;
            return true;
        case MessageKind::Ringing:
            AppendLine(text, "SIP/2.0 180 Ringing");
            return true;
        case MessageKind::OkWithAnswer:
            AppendLine(text, "SIP/2.0 200 OK");
            PendingToTag.clear();
            Body = ComposeBody(true, kG729PayloadType);
            ContactValue = LocalContact();
            WithContact = WithBody = true;
            return true;
        case MessageKind::OkExchanged:
        case MessageKind::OkAsStored:
            if (current == nullptr) {
                return false;
            }
            AppendLine(text, "SIP/2.0 200 OK");
            PendingToTag.clear();
            CSeqValue = current->CSeqText;
            // The 200 answers the BYE or CANCEL, so it carries that request's Vias.
            responseVias_ = current->ViaList;
            WithBody = false;
            return true;
        case MessageKind::UnsupportedMediaType:
            AppendLine(text, "SIP/2.0 415 Unsupported Media Type");
            WithContact = WithBody = false;
            return true;
        case MessageKind::BusyHere:
            AppendLine(text, "SIP/2.0 486 Busy Here");
            PendingToTag.clear();
            WithContact = WithBody = false;
            return true;
        case MessageKind::RequestTerminated:
            AppendLine(text, "SIP/2.0 487 Request Terminated");
            PendingToTag.clear();
            CSeqValue = std::to_string(CSeqNumberOf(CSeqValue)) + " INVITE";
            WithContact = WithBody = false;
            return true;
        case MessageKind::BusyHereOtherInvite:
            if (current == nullptr) {
                return false;
            }
            AppendLine(text, "SIP/2.0 486 Busy Here");
            return true;
        default:
            return false;
    }
}

void SipComposer::StartInvite(int kind) {
    PendingToTag.clear();
    ContactValue = LocalContact();
    LocalTag = NewTag();
    FromHeader = Quoted(settings_.AuthUser) + ContactValue + ";tag=" + LocalTag;
    // Once the proxy has named its realm in a challenge, the callee is addressed in it.
    const std::string& domain = Digest.AuthRealm.empty() ? settings_.ProxyHost : Digest.AuthRealm;
    ToHeader = "<sip:" + DialledNumber + "@" + domain + ">";
    DialogCallId = NewCallId();
    SeqNumber = NextSequence();
    CSeqValue = std::to_string(SeqNumber) + " INVITE";
    ViaValue = OwnVia();
    InviteVia = ViaValue;
    InviteBranch = LastBranch;
    Dialog.Clear();
    MaxForwardsValue = kMaxForwards;
    Body = ComposeBody(true, kG729PayloadType);
    if (kind != MessageKind::Invite) {
        ComputeDigest("INVITE", "sip:" + RequestUri);
        ResponseText = Digest.ResponseHex;
    }
    WithContact = WithMaxForwards = WithBody = true;
}

void SipComposer::AppendHeaderBlock(int kind, std::string& text) {
    if (!PendingToTag.empty()) {
        // The tag joins the record once; later compositions read it from ToHeader.
        ToHeader += ";tag=" + PendingToTag;
        PendingToTag.clear();
    }
    if (kind == MessageKind::OkExchanged) {
        AppendLine(text, "From: " + ToHeader);
        AppendLine(text, "To: " + FromHeader);
    } else {
        AppendLine(text, "From: " + FromHeader);
        AppendLine(text, "To: " + ToHeader);
    }
    AppendLine(text, "Call-ID: " + DialogCallId);
    AppendLine(text, "CSeq: " + CSeqValue);
    if (!responseVias_.empty()) {
        AppendViaLines(responseVias_, text);
        responseVias_.clear();
    } else if (ViaValue.find(CSIPSDPMessage::kViaSeparator) != std::string::npos) {
        AppendViaLines(ViaValue, text);
    } else {
        AppendLine(text, "Via: " + ViaValue);
    }
    if (inDialogRequest_) {
        text += Dialog.RouteLines();
        inDialogRequest_ = false;
    }
    if (kind == MessageKind::Ringing || kind == MessageKind::OkWithAnswer) {
        text += RecordRouteLines;
    }
    if (WithContact) {
        AppendLine(text, "Contact: " + ContactValue);
    }
    if (WithMaxForwards) {
        AppendLine(text, "Max-Forwards: " + std::to_string(MaxForwardsValue));
    }
    if (kind == MessageKind::InviteWithAuthorization) {
        AppendLine(text, "Proxy-Authorization: " + AuthorizationValue("sip:" + RequestUri));
    } else if (kind == MessageKind::InviteWithUserAuthorization) {
        // A proxy that challenges as a user agent server (401) wants the same digest under
        // the user agent's header name.
        AppendLine(text, "Authorization: " + AuthorizationValue("sip:" + RequestUri));
    }
    if (WithBody) {
        const bool dtmf = kind >= MessageKind::FirstInfo && kind <= MessageKind::LastInfo;
        AppendLine(text,
                   std::string("Content-Type: ") + (dtmf ? kDtmfContentType : "application/sdp"));
        AppendLine(text, "Content-Length: " + std::to_string(Body.size()));
        AppendLine(text, "");
        text += Body;
    } else {
        AppendLine(text, "Content-Length: 0");
        AppendLine(text, "");
    }
}

int SipComposer::ComposeRegister(Registration& binding, const std::string& authorizationHeader,
                                 std::string& out) {
    out.clear();
    std::string text;
    AppendLine(text, "REGISTER " + settings_.ProxyUri + " SIP/2.0");
    // One Call-ID and tag for the whole registration: a registrar sees its binding refreshed.
    if (binding.CallId.empty()) {
        binding.Tag = NewTag();
        binding.CallId = NewCallId();
    }
    LocalTag = binding.Tag;
    // The address of record is the account at the proxy: a registrar binds the Contact to it.
    const std::string addressOfRecord =
        "<sip:" + settings_.Account + "@" + settings_.ProxyHost + ">";
    AppendLine(text, "From: " + addressOfRecord + ";tag=" + LocalTag);
    AppendLine(text, "To: " + addressOfRecord);
    DialogCallId = binding.CallId;
    AppendLine(text, "Call-ID: " + DialogCallId);
    SeqNumber = NextSequence();
    AppendLine(text, "CSeq: " + std::to_string(SeqNumber) + " REGISTER");
    // Each REGISTER, the authorised one too, is a transaction of its own with its own branch.
    LastBranch = NewBranch();
    ViaValue = "SIP/2.0/UDP " + settings_.LocalAddress + ":" + std::to_string(settings_.LocalPort) +
               ";branch=" + LastBranch + ";rport";
    AppendLine(text, "Via: " + ViaValue);
    AppendLine(text, "Contact: " + LocalContact() +
                         ";expires=" + std::to_string(binding.RequestedExpires()));
    if (!authorizationHeader.empty()) {
        ComputeDigest("REGISTER", settings_.ProxyUri);
        ResponseText = Digest.ResponseHex;
        AppendLine(text, authorizationHeader + ": " + AuthorizationValue(settings_.ProxyUri));
    }
    AppendLine(text, "Content-Length: 0");
    // A registrar waits for the empty line that closes the header block of a datagram.
    AppendLine(text, "");
    out = std::move(text);
    return static_cast<int>(out.size());
}

int SipComposer::ComposeReplyTo(const CSIPSDPMessage& request, const std::string& statusLine,
                                bool withAnswer, std::string& out) {
    out.clear();
    std::string text;
    AppendLine(text, statusLine);
    AppendLine(text, "From: " + request.FromValue);
    AppendLine(text, "To: " + request.ToValue);
    AppendLine(text, "Call-ID: " + request.CallID);
    AppendLine(text, "CSeq: " + request.CSeqText);
    AppendViaLines(request.ViaList, text);
    if (withAnswer) {
        const std::string body = ComposeBody(true, kG729PayloadType);
        AppendLine(text, "Contact: " + LocalContact());
        AppendLine(text, "Content-Type: application/sdp");
        AppendLine(text, "Content-Length: " + std::to_string(body.size()));
        AppendLine(text, "");
        text += body;
    } else {
        AppendLine(text, "Content-Length: 0");
        AppendLine(text, "");
    }
    if (text.size() > kMaxDatagram) {
        return 0;
    }
    out = std::move(text);
    return static_cast<int>(out.size());
}

std::string SipComposer::ComposeBody(bool sdp, int n) const {
    std::string body;
    if (!sdp) {
        AppendLine(body, "Signal= " + std::to_string(n));
        AppendLine(body, "Duration= 250");
        return body;
    }
    AppendLine(body, "v=0");
    AppendLine(body, "o=- 0 0 IN IP4 " + settings_.LocalAddress);
    AppendLine(body, "s=-");
    AppendLine(body, "c=IN IP4 " + settings_.LocalRtpAddress);
    AppendLine(body, "t=0 0");
    AppendLine(body, "m=audio " + std::to_string(settings_.LocalRtpPort) + " RTP/AVP " +
                         std::to_string(n));
    if (n == kG729PayloadType) {
        AppendLine(body, "a=rtpmap:18 G729/8000");
        AppendLine(body, "a=fmtp:18 annexb=no");
    }
    return body;
}

std::string SipComposer::NewTag() {
    std::string tag;
    for (int attempt = 0; attempt < kRedrawAttempts && (tag.empty() || tag == lastTag_);
         ++attempt) {
        const int r1 = platform::NextRandom() % 100;
        const int r2 = platform::NextRandom() % 100;
        const int r3 = platform::NextRandom() % 100;
        const int r4 = platform::NextRandom() % 100;
        tag = "KYR_" + std::to_string(platform::SecondsSince1970()) + "." + std::to_string(r4) +
              std::to_string(r3) + std::to_string(r2) + std::to_string(r1);
    }
    lastTag_ = tag;
    return tag;
}

std::string SipComposer::NewCallId() {
    std::string callId;
    for (int attempt = 0; attempt < kRedrawAttempts && (callId.empty() || callId == lastCallId_);
         ++attempt) {
        const int r1 = platform::NextRandom() % 10000;
        const int r2 = platform::NextRandom() % 10000;
        const int r3 = platform::NextRandom() % 10000;
        const int64_t seconds = platform::SecondsSince1970();
        callId = std::to_string(seconds + r3) + std::to_string(r2) + "." + std::to_string(seconds) +
                 std::to_string(r1);
    }
    lastCallId_ = callId;
    return callId;
}

std::string SipComposer::NewBranch() {
    static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string branch = "z9hG4bK";
    for (int i = 0; i < kBranchRandomChars; ++i) {
        branch += kAlphabet[platform::NextRandom() % (sizeof(kAlphabet) - 1)];
    }
    return branch;
}

int SipComposer::NextSequence() {
    if (SeqCounter >= kSequenceWrap) {
        SeqCounter = 1;
    }
    return SeqCounter++;
}

void SipComposer::ComputeDigest(const std::string& method, const std::string& uri) {
    Digest.ComputeDigest(method, settings_.AuthUser, settings_.Password, uri);
}

std::string SipComposer::ContactUri() const {
    const std::string contact = LocalContact();
    return contact.substr(1, contact.size() - 2);
}

std::string SipComposer::LocalContact() const {
    return "<sip:" + settings_.Account + "@" + settings_.LocalAddress + ":" +
           std::to_string(settings_.LocalPort) + ">";
}

std::string SipComposer::OwnVia() {
    LastBranch = NewBranch();
    return "SIP/2.0/UDP " + settings_.LocalAddress + ":" + std::to_string(settings_.ProxyPort) +
           ";branch=" + LastBranch + ";rport";
}

const std::string& SipComposer::InDialogUri() const {
    return Dialog.HasRoutes() ? Dialog.RemoteTarget() : RequestUri;
}

std::string SipComposer::AuthorizationValue(const std::string& uri) const {
    return "Digest username=" + Quoted(settings_.AuthUser) + ",realm=" + Quoted(Digest.AuthRealm) +
           ",nonce=" + Quoted(Digest.AuthNonce) + ",uri=" + Quoted(uri) +
           ",response=" + Quoted(ResponseText) + Digest.ExtraParameters();
}
