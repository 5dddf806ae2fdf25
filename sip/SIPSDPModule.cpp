#include "sip/SIPSDPModule.h"

#include <algorithm>
#include <limits>

#include "sip/SIPSDPMessageQueue.h"

namespace {

constexpr std::array<std::string_view, SIPSDPModule::kSdpPrefixCount> kSdpPrefixes = {
    "v=", "o=", "s=", "c=", "t=", "m=", "a="};

constexpr std::array<std::string_view, SIPSDPModule::kMethodCount> kMethods = {
    "INVITE",    "REGISTER", "BYE",     "ACK",  "CANCEL", "OPTIONS", "REFER",
    "SUBSCRIBE", "NOTIFY",   "MESSAGE", "INFO", "PRACK",  "UPDATE"};

// General headers, request headers, response headers, entity headers and our two extension
// headers. The order matters: the first prefix that matches a line wins.
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
constexpr std::string_view kBlanksAndControls =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
    "\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20";

// The text rules below are written with 1-based positions of first occurrences (0 when
// absent), as the peers' quirks were worked out that way; these two helpers keep them exact.
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

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A decimal number, leading and trailing blanks allowed (peers pad Content-Length); -1 for
// anything else, including a value beyond 32 bits.
int32_t ReadNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return -1;
    }
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<int32_t>::max()) {
            return -1;
        }
    }
    return static_cast<int32_t>(value);
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanksAndControls);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanksAndControls);
    return text.substr(first, last - first + 1);
}

// First table entry that the line begins with, -1 when none does.
template <size_t N>
int MatchPrefix(const std::array<std::string_view, N>& table, std::string_view line) {
    for (size_t i = 0; i < N; ++i) {
        if (StartsWith(line, table[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Text from one character after "Name:" (the blank after the colon is skipped) to the end.
std::string HeaderValue(std::string_view line, std::string_view nameWithColon) {
    const size_t at = Pos(nameWithColon, line);
    return at == 0 ? std::string() : std::string(From(line, at + nameWithColon.size() + 1));
}

// The tag of a From or To line: everything after "tag=", unless it holds a blank.
std::string TagOf(std::string_view line) {
    const size_t at = Pos("tag=", line);
    if (at == 0) {
        return {};
    }
    const std::string_view tag = From(line, at + 4);
    return Pos(" ", tag) == 0 ? std::string(tag) : std::string();
}

// A quoted digest parameter that a ", " follows; empty when it is the line's last parameter.
std::string DigestParameter(std::string_view line, std::string_view nameWithEquals) {
    const size_t at = Pos(nameWithEquals, line);
    if (at == 0) {
        return {};
    }
    const std::string_view rest = From(line, at + nameWithEquals.size() + 1);
    const size_t comma = Pos(", ", rest);
    return comma >= 3 ? std::string(Copy(rest, 1, comma - 2)) : std::string();
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
    bool ClassifyFirstLine(std::string_view line);
    void HandleHeaderLine(std::string_view line);
    void HandleSdpLine(std::string_view line);

    void ReadContact(std::string_view line);
    void ReadCSeq(std::string_view line);
    void ReadVia(std::string_view line);
    void ReadMaxForwards(std::string_view line);
    void ReadChallenge(std::string_view line);
    void ReadContentLength(std::string_view line);
    void ReadRemotePartyId(std::string_view line);
    void ReadBilling(std::string_view line);
    void ReadMediaLine(std::string_view line);

    const char* data_;
    size_t length_;
    size_t position_ = 0;
    bool firstLine_ = true;
    bool blankLineSeen_ = false;
    bool bodyAnnounced_ = false;
    std::unique_ptr<CSIPSDPMessage> message_ = std::make_unique<CSIPSDPMessage>();
};

std::unique_ptr<CSIPSDPMessage> DatagramParser::Run() {
    if (data_ == nullptr) {
        return nullptr;
    }
    while (position_ < length_) {
        const size_t lineEnd = FindLineEnd();
        const size_t lineLength = lineEnd - position_;
        Outcome outcome;
        if (lineLength == 0) {
            outcome = HandleEmptyLine();
        } else {
            // The line buffer: at most kMaxLineLength characters, and a NUL ends the text as
            // it would in the zero-filled buffer. A lone CR or LF ends it too: the phone copies
            // From, To, Via and Call-ID into its answers, and a line break kept inside one of
            // them would smuggle a header of the sender's choosing into what the phone sends.
            const size_t kept = std::min(lineLength, SIPSDPModule::kMaxLineLength);
            const std::string_view raw(data_ + position_, kept);
            const size_t textEnd = raw.find_first_of(std::string_view("\0\r\n", 3));
            outcome = HandleLine(raw.substr(0, std::min(textEnd, kept)));
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
    // Blank lines alone are no message: without a recognised start line there is nothing
    // the call manager could dispatch on.
    return firstLine_ ? nullptr : std::move(message_);
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
        HandleSdpLine(line);
    } else {
        HandleHeaderLine(line);
    }
    return Outcome::Continue;
}

bool DatagramParser::ClassifyFirstLine(std::string_view line) {
    int code = -1;
    if (StartsWith(line, kStatusPrefix)) {
        if (line.size() <= 11) {
            return false;
        }
        const int32_t status = ReadNumber(Copy(line, 9, 3));
        if (SIPSDPModule::StatusLine(status).empty()) {
            return false;
        }
        code = SIPSDPModule::kResponseBase + status;
    } else {
        const int method = MatchPrefix(kMethods, line);
        if (method < 0) {
            return false;
        }
        code = SIPSDPModule::kRequestBase + method;
    }
    message_->StartLine = std::string(line);
    message_->Code = code;
    return true;
}

void DatagramParser::HandleHeaderLine(std::string_view line) {
    CSIPSDPMessage& m = *message_;
    switch (MatchPrefix(kHeaderNames, line)) {
        case SIPSDPModule::kCallIdHeader:
            m.CallID = HeaderValue(line, "Call-ID:");
            break;
        case SIPSDPModule::kContactHeader:
            ReadContact(line);
            break;
        case SIPSDPModule::kCSeqHeader:
            ReadCSeq(line);
            break;
        case SIPSDPModule::kFromHeader:
            m.FromValue = HeaderValue(line, "From:");
            m.FromTag = TagOf(line);
            break;
        case SIPSDPModule::kToHeader:
            m.ToValue = HeaderValue(line, "To:");
            m.ToTag = TagOf(line);
            break;
        case SIPSDPModule::kViaHeader:
            ReadVia(line);
            break;
        case SIPSDPModule::kMaxForwardsHeader:
            ReadMaxForwards(line);
            break;
        case SIPSDPModule::kProxyAuthenticateHeader:
        case SIPSDPModule::kWwwAuthenticateHeader:
            ReadChallenge(line);
            break;
        case SIPSDPModule::kContentLengthHeader:
            ReadContentLength(line);
            break;
        case SIPSDPModule::kRemotePartyIdHeader:
            ReadRemotePartyId(line);
            break;
        case SIPSDPModule::kBillingHeader:
            ReadBilling(line);
            break;
        default:
            break;  // recognised or not, nothing we need
    }
}

void DatagramParser::ReadContact(std::string_view line) {
    const size_t open = Pos(" <", line);
    const size_t close = Pos(">", line);
    message_->ContactURI =
        open > 0 && close > open ? std::string(Copy(line, open + 2, close - open - 2)) : "";
    message_->ContactValue = HeaderValue(line, "Contact:");
}

void DatagramParser::ReadCSeq(std::string_view line) {
    if (Pos("CSeq: ", line) > 0 && line.size() > 6) {
        message_->CSeqText = std::string(From(line, 7));
    }
    message_->CSeqNumber = -1;
    if (StartsWith(line, "CSeq: ")) {
        const std::string_view rest = From(line, 7);
        const size_t blank = Pos(" ", rest);
        if (blank > 1) {
            message_->CSeqNumber = ReadNumber(Copy(rest, 1, blank - 1));
        }
    }
}

void DatagramParser::ReadVia(std::string_view line) {
    CSIPSDPMessage& m = *message_;
    // Only a 401 needs the address the registrar saw us at; the REGISTER answering it
    // carries it.
    if (m.Code == SIPSDPModule::kResponseBase + 401) {
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
    m.ViaList.append(line);
    m.ViaList.append(CSIPSDPMessage::kViaSeparator);
}

void DatagramParser::ReadMaxForwards(std::string_view line) {
    const std::string_view rest = From(line, 15);
    message_->MaxForwards =
        StartsWith(line, "Max-Forwards: ") && !rest.empty() ? ReadNumber(rest) : -1;
}

void DatagramParser::ReadChallenge(std::string_view line) {
    message_->Realm = DigestParameter(line, "realm=");
    message_->Nonce = DigestParameter(line, "nonce=");
}

void DatagramParser::ReadContentLength(std::string_view line) {
    message_->ContentLength =
        Pos(": ", line) == 15 && line.size() > 16 ? ReadNumber(From(line, 17)) : -1;
    if (message_->ContentLength > 0) {
        bodyAnnounced_ = true;
    }
}

void DatagramParser::ReadRemotePartyId(std::string_view line) {
    const size_t sip = Pos("<sip:", line);
    const size_t at = Pos("@", line);
    const size_t close = Pos(">", line);
    message_->CallerNumber = sip > 0 && at > sip && close > at
                                 ? std::string(Copy(line, sip + 5, at - sip - 5))
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

void DatagramParser::HandleSdpLine(std::string_view line) {
    switch (MatchPrefix(kSdpPrefixes, line)) {
        case 3: {  // c=
            const size_t ip4 = Pos("IP4 ", line);
            const std::string_view address = ip4 > 0 ? From(line, ip4 + 4) : std::string_view();
            message_->MediaAddress = Pos(" ", address) == 0 ? std::string(address) : "";
            break;
        }
        case 5:  // m=
            ReadMediaLine(line);
            break;
        default:
            break;
    }
}

void DatagramParser::ReadMediaLine(std::string_view line) {
    const size_t audio = Pos("audio", line);
    const size_t rtp = Pos("RTP", line);
    int32_t port = -1;
    if (rtp > audio && rtp > audio + 5) {
        const std::string_view text = Trim(Copy(line, audio + 5, rtp - audio - 5));
        if (!text.empty() && text.size() <= 5) {
            const int32_t value = ReadNumber(text);
            port = value >= 0 && value <= 65535 ? value : -1;
        }
    }
    message_->MediaPort = port;
    const size_t avp = Pos("AVP ", line);
    message_->MediaPayloads = avp > 0 ? std::string(From(line, avp + 4)) : "";
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
        if (ReadNumber(line.substr(0, 3)) == status) {
            return line;
        }
    }
    return {};
}

std::string_view SIPSDPModule::ReasonPhrase(int status) {
    const std::string_view line = StatusLine(status);
    return line.empty() ? line : line.substr(4);
}
