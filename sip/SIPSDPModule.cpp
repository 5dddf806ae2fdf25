#include "sip/SIPSDPModule.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "sip/SIPSDPMessageQueue.h"
#include "sip/SdpReader.h"
#include "sip/SipText.h"

namespace {

constexpr std::array<std::string_view, SIPSDPModule::kSdpPrefixCount> kSdpPrefixes = {
    "v=", "o=", "s=", "c=", "t=", "m=", "a="};

constexpr std::array<std::string_view, SIPSDPModule::kMethodCount> kMethods = {
    "INVITE",    "REGISTER", "BYE",     "ACK",  "CANCEL", "OPTIONS", "REFER",
    "SUBSCRIBE", "NOTIFY",   "MESSAGE", "INFO", "PRACK",  "UPDATE"};

// General headers, request headers, response headers, entity headers and our two extension
// headers.
constexpr std::array<std::string_view, SIPSDPModule::kHeaderCount> kHeaderNames = {
    // general
    "Alert-Info", "Allow-Events", "Call-ID", "Contact", "CSeq", "Date", "Encryption", "From",
    "Organization", "Record-Route", "Retry-After", "Subject", "Supported", "Timestamp", "To",
    "User-Agent", "Via",
    // request
    "Accept", "Accept-Contact", "Accept-Encoding", "Accept-Language", "Authorization", "Call-Info",
    "Event", "Hide", "In-Reply-To", "Join", "Priority", "Privacy", "Proxy-Authorization",
    "Proxy-Require", "P-OSP-Auth-Token", "P-Asserted-Identity", "P-Preferred-Identity",
    "Max-Forwards", "Reason", "Refer-To", "Replaces", "Reject-Contact", "Request-Disposition",
    "Require", "Response-Key", "Route", "RAck", "Session-Expires", "Subscription-State",
    // response
    "Authentication-Info", "Error-Info", "Min-Expires", "Min-SE", "Proxy-Authenticate", "Server",
    "Unsupported", "Warning", "WWW-Authenticate", "RSeq",
    // entity
    "Allow", "Content-Encoding", "Content-Disposition", "Content-Language", "Content-Length",
    "Content-Type", "Expires", "MIME-Version",
    // extension
    "Remote-Party-ID", "InfiNETBilling"};

constexpr std::array<std::string_view, SIPSDPModule::kStatusCount> kStatusLines = {
    "100 Trying",
    "180 Ringing",
    "181 Call Is Being Forwarded",
    "182 Call Queued",
    "183 Session Progress",
    "200 OK",
    "202 Accepted",
    "300 Multiple Choices",
    "301 Moved Permanently",
    "302 Moved temporarily",
    "305 Use Proxy",
    "380 Alternative Service",
    "400 Bad Request",
    "401 Unauthorized",
    "402 Payment Required",
    "403 Forbidden",
    "404 Not Found",
    "405 Method Not Allowed",
    "406 Not Acceptable",
    "407 Proxy Authentication Required",
    "408 Request Timeout",
    "409 Conflict",
    "410 Gone",
    "411 Length Required",
    "413 Request Entity Too Large",
    "414 Request-URI Too Large",
    "415 Unsupported Media Type",
    "416 Unsupported URI Scheme",
    "420 Bad Extension",
    "421 Extension Required",
    "422 Session Timer Interval Too Small",
    "423 Interval Too Brief",
    "428 Use Authentication Token",
    "429 Provide Referror Identity",
    "480 Temporarily Unavailable",
    "481 Dialog/Transaction Does Not Exist",
    "482 Loop Detected",
    "483 Too Many Hops",
    "484 Address Incomplete",
    "485 Ambiguous",
    "486 Busy Here",
    "487 Request Terminated",
    "488 Not Acceptable Here",
    "489 Bad Event",
    "491 Request Pending",
    "493 Request Undecipherable",
    "500 Server Internal Error",
    "501 Not Implemented",
    "502 Bad Gateway",
    "503 Service Unavailable",
    "504 Gateway Timeout",
    "505 Version Not Supported",
    "513 Message Too Large",
    "600 Busy Everywhere",
    "603 Decline",
    "604 Does Not Exist Anywhere",
    "606 Not Acceptable"};

constexpr std::string_view kStatusPrefix = "SIP/2.0";

// The one-letter header names and the entries they stand for.
struct CompactForm {
    char letter;
    int index;
};
constexpr std::array<CompactForm, 9> kCompactForms = {{
    {'i', SIPSDPModule::kCallIdHeader},
    {'f', SIPSDPModule::kFromHeader},
    {'t', SIPSDPModule::kToHeader},
    {'v', SIPSDPModule::kViaHeader},
    {'m', SIPSDPModule::kContactHeader},
    {'l', SIPSDPModule::kContentLengthHeader},
    {'c', 61},  // Content-Type
    {'k', 12},  // Supported
    {'s', 11},  // Subject
}};

// The legacy rules below (Via received, caller number, funds) are written with 1-based
// positions of first occurrences (0 when absent), as the operator's quirks were worked out
// that way; these helpers keep them exact.
size_t Pos(std::string_view what, std::string_view line) {
    const size_t found = line.find(what);
    return found == std::string_view::npos ? 0 : found + 1;
}

// From the 1-based index to the end; empty when the index lies beyond the line.
std::string_view From(std::string_view line, size_t index) {
    if (index < 1) {
        index = 1;
    }
    return index > line.size() ? std::string_view() : line.substr(index - 1);
}

// count characters from the 1-based index, cut at the end of the line.
std::string_view Copy(std::string_view line, size_t index, size_t count) {
    return From(line, index).substr(0, count);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The header table's index of a name in any case, compact forms included; -1 when unknown.
int HeaderIndex(std::string_view name) {
    if (name.size() == 1) {
        const char letter = static_cast<char>(name[0] | 0x20);
        for (const CompactForm& form : kCompactForms) {
            if (form.letter == letter) {
                return form.index;
            }
        }
        return -1;
    }
    for (size_t i = 0; i < kHeaderNames.size(); ++i) {
        if (sip_text::EqualsNoCase(kHeaderNames[i], name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// One datagram being cut into lines; fills one message.
class DatagramParser {
public:
    DatagramParser(const char* data, size_t length) : data_(data), length_(length) {}

    std::unique_ptr<CSIPSDPMessage> Run();

private:
    enum class Outcome { Continue, Drop };

    size_t FindLineEnd() const;
    Outcome HandleEmptyLine();
    Outcome HandleLine(std::string_view line);
    Outcome GatherHeader(std::string_view line);
    void FlushHeader();
    bool ClassifyFirstLine(std::string_view line);
    bool ClassifyStatusLine(std::string_view line);
    bool ClassifyRequestLine(std::string_view line);
    void HandleHeaderLine(std::string_view line);

    void ReadContact(std::string_view value);
    void ReadCSeq(std::string_view value);
    void ReadVia(std::string_view line, std::string_view value);
    void ReadViaAddress(std::string_view line);
    void ReadRecordRoute(std::string_view value);
    void ReadChallenge(std::string_view value);
    void ReadContentLength(std::string_view value);
    void ReadRemotePartyId(std::string_view value);
    void ReadBilling(std::string_view line);

    const char* data_;
    size_t length_;
    size_t position_ = 0;
    bool firstLine_ = true;
    bool blankLineSeen_ = false;
    bool bodyAnnounced_ = false;
    // The header line being gathered from its folded continuation lines.
    std::string header_;
    bool headerPending_ = false;
    // The first MD5 challenge is the one answered; a challenge for another algorithm only
    // stands until one follows.
    bool md5ChallengeTaken_ = false;
    SdpReader sdp_;
    std::unique_ptr<CSIPSDPMessage> message_ = std::make_unique<CSIPSDPMessage>();
};

std::unique_ptr<CSIPSDPMessage> DatagramParser::Run() {
    if (data_ == nullptr || length_ > SIPSDPModule::kMaxDatagram) {
        return nullptr;
    }
    while (position_ < length_) {
        const size_t lineEnd = FindLineEnd();
        const size_t lineLength = lineEnd - position_;
        if (lineLength > SIPSDPModule::kMaxLineLength) {
            return nullptr;
        }
        Outcome outcome;
        if (lineLength == 0) {
            outcome = HandleEmptyLine();
        } else {
            // A NUL ends the text as it would in a C string. A lone CR or LF ends it too: the
            // phone copies From, To, Via and Call-ID into its answers, and a line break kept
            // inside one of them would smuggle a header of the sender's choosing into what
            // the phone sends.
            const std::string_view raw(data_ + position_, lineLength);
            outcome = HandleLine(raw.substr(0, raw.find_first_of(std::string_view("\0\r\n", 3))));
        }
        if (outcome == Outcome::Drop) {
            return nullptr;
        }
        // Past the line and its CR LF; an unfinished last line simply ends the datagram.
        position_ = std::min(lineEnd + 2, length_);
        if (position_ + 1 >= length_) {
            break;
        }
    }
    FlushHeader();
    // Blank lines alone are no message: without a recognised start line there is nothing
    // the call manager could dispatch on.
    if (firstLine_) {
        return nullptr;
    }
    sdp_.Finish(*message_);
    return std::move(message_);
}

// Index of the CR of the next CR LF, or the datagram's end when the last line is unfinished.
size_t DatagramParser::FindLineEnd() const {
    for (size_t i = position_; i + 1 < length_; ++i) {
        if (data_[i] == '\r' && data_[i + 1] == '\n') {
            return i;
        }
    }
    return length_;
}

DatagramParser::Outcome DatagramParser::HandleEmptyLine() {
    FlushHeader();
    if (blankLineSeen_) {
        return Outcome::Drop;
    }
    blankLineSeen_ = true;
    return Outcome::Continue;
}

DatagramParser::Outcome DatagramParser::HandleLine(std::string_view line) {
    if (firstLine_) {
        firstLine_ = false;
        return ClassifyFirstLine(line) ? Outcome::Continue : Outcome::Drop;
    }
    if (blankLineSeen_ && bodyAnnounced_) {
        sdp_.ReadLine(line);
        return Outcome::Continue;
    }
    return GatherHeader(line);
}

// A line that starts with a blank continues the header before it.
DatagramParser::Outcome DatagramParser::GatherHeader(std::string_view line) {
    if (!line.empty() && IsBlank(line.front())) {
        if (headerPending_) {
            header_ += ' ';
            header_ += sip_text::TrimBlanks(line);
        }
        return header_.size() > SIPSDPModule::kMaxLineLength ? Outcome::Drop : Outcome::Continue;
    }
    FlushHeader();
    header_.assign(line);
    headerPending_ = true;
    return Outcome::Continue;
}

void DatagramParser::FlushHeader() {
    if (headerPending_) {
        headerPending_ = false;
        HandleHeaderLine(header_);
    }
}

bool DatagramParser::ClassifyFirstLine(std::string_view line) {
    if (!(line.substr(0, kStatusPrefix.size()) == kStatusPrefix ? ClassifyStatusLine(line)
                                                                : ClassifyRequestLine(line))) {
        return false;
    }
    message_->StartLine = std::string(line);
    return true;
}

// "SIP/2.0 NNN reason": any status from 100 to 699.
bool DatagramParser::ClassifyStatusLine(std::string_view line) {
    if (line.size() <= 11 || line[11] != ' ') {
        return false;
    }
    const int32_t status = sip_text::ReadNumber(line.substr(8, 3));
    if (status < 100 || status > 699) {
        return false;
    }
    message_->Code = SIPSDPModule::kResponseBase + status;
    return true;
}

// "METHOD uri SIP/2.0" with a method of the table.
bool DatagramParser::ClassifyRequestLine(std::string_view line) {
    const size_t blank = line.find(' ');
    const int method = SIPSDPModule::MethodIndex(line.substr(0, blank));
    if (method < 0) {
        return false;
    }
    message_->Code = SIPSDPModule::kRequestBase + method;
    if (blank != std::string_view::npos) {
        const std::string_view rest = line.substr(blank + 1);
        message_->RequestUri = std::string(rest.substr(0, rest.find(' ')));
    }
    return true;
}

void DatagramParser::HandleHeaderLine(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    const std::string_view value = sip_text::TrimBlanks(line.substr(colon + 1));
    CSIPSDPMessage& m = *message_;
    switch (HeaderIndex(sip_text::TrimBlanks(line.substr(0, colon)))) {
        case SIPSDPModule::kCallIdHeader:
            m.CallID = std::string(value);
            break;
        case SIPSDPModule::kContactHeader:
            ReadContact(value);
            break;
        case SIPSDPModule::kCSeqHeader:
            ReadCSeq(value);
            break;
        case SIPSDPModule::kFromHeader:
            m.FromValue = std::string(value);
            m.FromTag = sip_text::TagOf(value);
            break;
        case SIPSDPModule::kToHeader:
            m.ToValue = std::string(value);
            m.ToTag = sip_text::TagOf(value);
            break;
        case SIPSDPModule::kViaHeader:
            ReadVia(line, value);
            break;
        case SIPSDPModule::kRecordRouteHeader:
            ReadRecordRoute(value);
            break;
        case SIPSDPModule::kMaxForwardsHeader:
            m.MaxForwards = sip_text::ReadNumber(value);
            break;
        case SIPSDPModule::kProxyAuthenticateHeader:
        case SIPSDPModule::kWwwAuthenticateHeader:
            ReadChallenge(value);
            break;
        case SIPSDPModule::kContentLengthHeader:
            ReadContentLength(value);
            break;
        case SIPSDPModule::kExpiresHeader:
            m.Expires = sip_text::ReadNumber(value);
            break;
        case SIPSDPModule::kMinExpiresHeader:
            m.MinExpires = sip_text::ReadNumber(value);
            break;
        case SIPSDPModule::kRemotePartyIdHeader:
            ReadRemotePartyId(value);
            break;
        case SIPSDPModule::kBillingHeader:
            ReadBilling(line);
            break;
        default:
            break;  // known or not, nothing we need
    }
}

// ContactValue and ContactURI come from the first Contact header; Contacts gathers them all.
void DatagramParser::ReadContact(std::string_view value) {
    CSIPSDPMessage& m = *message_;
    const bool first = m.Contacts.empty();
    const size_t room = CSIPSDPMessage::kMaxListEntries - m.Contacts.size();
    for (const std::string_view entry : sip_text::SplitList(value, room)) {
        m.Contacts.push_back(sip_text::ContactOf(entry));
    }
    if (first && !m.Contacts.empty()) {
        m.ContactValue = std::string(value);
        m.ContactURI = m.Contacts.front().Uri;
    }
}

// "102 INVITE": a number without a method counts as no number.
void DatagramParser::ReadCSeq(std::string_view value) {
    CSIPSDPMessage& m = *message_;
    m.CSeqText = std::string(value);
    m.CSeqNumber = -1;
    m.CSeqMethod.clear();
    const size_t blank = value.find_first_of(" \t");
    if (blank != std::string_view::npos) {
        m.CSeqNumber = sip_text::ReadNumber(value.substr(0, blank));
        m.CSeqMethod = std::string(sip_text::TrimBlanks(value.substr(blank + 1)));
    }
}

void DatagramParser::ReadVia(std::string_view line, std::string_view value) {
    CSIPSDPMessage& m = *message_;
    if (m.TopVia.empty()) {
        const std::vector<std::string_view> entries = sip_text::SplitList(value, 1);
        if (!entries.empty()) {
            m.TopVia = std::string(entries.front());
            const size_t semicolon = m.TopVia.find(';');
            if (semicolon != std::string::npos) {
                m.TopViaBranch =
                    sip_text::Parameter(std::string_view(m.TopVia).substr(semicolon + 1), "branch")
                        .value_or("");
            }
        }
    }
    // Only a 401 needs the address the registrar saw us at; the REGISTER answering it
    // carries it.
    if (m.Code == SIPSDPModule::kResponseBase + 401) {
        ReadViaAddress(line);
    }
    m.ViaList.append(line);
    m.ViaList.append(CSIPSDPMessage::kViaSeparator);
}

void DatagramParser::ReadViaAddress(std::string_view line) {
    CSIPSDPMessage& m = *message_;
    const size_t received = Pos("Received", line);
    if (m.ViaReceived.empty() && received > 0) {
        const std::string_view rest = From(line, received + 9);
        const size_t semicolon = Pos(";", rest);
        m.ViaReceived = semicolon > 0 ? std::string(Copy(rest, 1, semicolon - 1)) : "";
    }
    const size_t rport = Pos("rport", line);
    if (m.ViaRport.empty() && rport > 0) {
        m.ViaRport = std::string(From(line, rport + 6));
    }
}

void DatagramParser::ReadRecordRoute(std::string_view value) {
    CSIPSDPMessage& m = *message_;
    const size_t room = CSIPSDPMessage::kMaxListEntries - m.RecordRoutes.size();
    for (const std::string_view entry : sip_text::SplitList(value, room)) {
        m.RecordRoutes.emplace_back(entry);
    }
}

void DatagramParser::ReadChallenge(std::string_view value) {
    std::optional<sip_text::Challenge> challenge =
        sip_text::ChallengeOf(value, CSIPSDPMessage::kMaxListEntries);
    if (!challenge || md5ChallengeTaken_) {
        return;
    }
    md5ChallengeTaken_ =
        challenge->algorithm.empty() || sip_text::EqualsNoCase(challenge->algorithm, "MD5");
    CSIPSDPMessage& m = *message_;
    m.Realm = std::move(challenge->realm);
    m.Nonce = std::move(challenge->nonce);
    m.Opaque = std::move(challenge->opaque);
    m.Qop = std::move(challenge->qop);
    m.Algorithm = std::move(challenge->algorithm);
}

void DatagramParser::ReadContentLength(std::string_view value) {
    message_->ContentLength = sip_text::ReadNumber(value);
    if (message_->ContentLength > 0) {
        bodyAnnounced_ = true;
    }
}

// The user part of the first "<sip:...@...>".
void DatagramParser::ReadRemotePartyId(std::string_view value) {
    const size_t sip = Pos("<sip:", value);
    const size_t at = Pos("@", value);
    const size_t close = Pos(">", value);
    message_->CallerNumber = sip > 0 && at > sip && close > at
                                 ? std::string(Copy(value, sip + 5, at - sip - 5))
                                 : std::string();
}

void DatagramParser::ReadBilling(std::string_view line) {
    const size_t funds = Pos("-funds:", line);
    if (line.size() > 32 && funds > 0) {
        const size_t start = funds + 7;
        // The operator ends the value with one closing character that is not part of it.
        message_->Funds =
            start < line.size() ? std::string(Copy(line, start, line.size() - start)) : "";
    } else {
        message_->Funds.clear();
    }
}

}  // namespace

SIPSDPModule::SIPSDPModule(CSIPSDPMessageQueue* queue) : queue_(queue) {}

void SIPSDPModule::Parse(const char* data, size_t length) {
    std::unique_ptr<CSIPSDPMessage> message = ParseMessage(data, length);
    if (message != nullptr && queue_ != nullptr) {
        // A full queue refuses the message, which then goes with the datagram.
        queue_->Enqueue(std::move(message));
    }
}

std::unique_ptr<CSIPSDPMessage> SIPSDPModule::ParseMessage(const char* data, size_t length) {
    return DatagramParser(data, length).Run();
}

const std::array<std::string_view, SIPSDPModule::kSdpPrefixCount>& SIPSDPModule::SdpPrefixes() {
    return kSdpPrefixes;
}

const std::array<std::string_view, SIPSDPModule::kMethodCount>& SIPSDPModule::Methods() {
    return kMethods;
}

const std::array<std::string_view, SIPSDPModule::kHeaderCount>& SIPSDPModule::HeaderNames() {
    return kHeaderNames;
}

const std::array<std::string_view, SIPSDPModule::kStatusCount>& SIPSDPModule::StatusLines() {
    return kStatusLines;
}

int SIPSDPModule::MethodIndex(std::string_view method) {
    for (size_t i = 0; i < kMethods.size(); ++i) {
        if (kMethods[i] == method) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string_view SIPSDPModule::MethodName(int index) {
    return index >= 0 && index < kMethodCount ? kMethods[static_cast<size_t>(index)]
                                              : std::string_view();
}

std::string_view SIPSDPModule::StatusLine(int status) {
    for (const std::string_view line : kStatusLines) {
        if (sip_text::ReadNumber(line.substr(0, 3)) == status) {
            return line;
        }
    }
    return {};
}

std::string_view SIPSDPModule::ReasonPhrase(int status) {
    const std::string_view line = StatusLine(status);
    return line.empty() ? line : line.substr(4);
}
