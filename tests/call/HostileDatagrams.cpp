#include "tests/call/HostileDatagrams.h"

#include <algorithm>

namespace wire_testing {

namespace {

const std::string kCrLf = "\r\n";

const std::string kSdpWithoutG729 =
    "v=0\r\n"
    "o=- 1 1 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "c=IN IP4 127.0.0.1\r\n"
    "t=0 0\r\n"
    "m=audio 40000 RTP/AVP 0 8 101\r\n"
    "a=rtpmap:0 PCMU/8000\r\n";

const std::string kSdpWithG729 =
    "v=0\r\n"
    "o=- 1 1 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "c=IN IP4 127.0.0.1\r\n"
    "t=0 0\r\n"
    "m=audio 40000 RTP/AVP 18 101\r\n"
    "a=rtpmap:18 G729/8000\r\n"
    "a=fmtp:18 annexb=no\r\n";

std::vector<std::string> DialogHeaders(const std::string& cseq) {
    return {"Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKwire;received=127.0.0.1;rport=5060",
            "Max-Forwards: 70",
            "From: \"Caller\" <sip:3456@127.0.0.1>;tag=w1",
            "To: <sip:1001@127.0.0.1>;tag=w2",
            "Call-ID: wire-hostile@127.0.0.1",
            "CSeq: " + cseq,
            "Contact: <sip:3456@127.0.0.1:5060>"};
}

std::vector<std::string> With(std::vector<std::string> lines,
                              const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

std::string Request(const std::string& method, const std::vector<std::string>& extra = {},
                    const std::string& body = {}) {
    std::vector<std::string> lines = {method + " sip:1001@127.0.0.1 SIP/2.0"};
    lines = With(lines, DialogHeaders("7 " + method));
    return SipMessage(With(lines, extra), body);
}

std::string Response(const std::string& status, const std::string& method,
                     const std::vector<std::string>& extra = {}, const std::string& body = {}) {
    std::vector<std::string> lines = {"SIP/2.0 " + status};
    lines = With(lines, DialogHeaders("1 " + method));
    return SipMessage(With(lines, extra), body);
}

// Whole lines that break the rules of one header or SDP line each.
const std::vector<std::string>& HostileLines() {
    static const std::vector<std::string> lines = {
        "Content-Length: 99999999999999999999",
        "Content-Length: -1",
        "Content-Length: -2147483648",
        "Content-Length: 2147483647",
        "Content-Length: 4294967296",
        "Content-Length: 65507",
        "Content-Length:  abc",
        "Content-Length:",
        "Content-Length: ",
        "Content-Length:5",
        "CSeq: -1 INVITE",
        "CSeq: 99999999999999999999 INVITE",
        "CSeq: INVITE",
        "CSeq:  7 INVITE",
        "CSeq: 7",
        "CSeq: ",
        "CSeq:",
        "Max-Forwards: -1",
        "Max-Forwards: 99999999999",
        "Max-Forwards: x",
        "Max-Forwards: ",
        "Call-ID:",
        "Call-ID",
        "From:",
        "From: tag=",
        "From: <sip:@>;tag= x",
        "From: sip:",
        "To:",
        "To: ;tag=",
        "Contact: <",
        "Contact: > <",
        "Contact: <>",
        "Contact:",
        "Via:",
        "Via: Received",
        "Via: SIP/2.0/UDP x;Received",
        "Via: SIP/2.0/UDP x;received=;rport",
        "Via: rport",
        "Via: SIP/2.0/UDP 127.0.0.1;Received=1.2.3.4;rport=",
        "WWW-Authenticate: Digest realm=",
        "WWW-Authenticate: Digest realm=\"",
        "WWW-Authenticate: Digest realm=\"\", nonce=\"\", ",
        "WWW-Authenticate: Digest nonce=\"x\", realm=\"y\"",
        "WWW-Authenticate: Digest realm=\"r\", nonce=",
        "Proxy-Authenticate: Digest realm=\", , \", nonce=\", \"",
        "Proxy-Authenticate: ,",
        "Remote-Party-ID: <sip:@>",
        "Remote-Party-ID: >@<sip:",
        "Remote-Party-ID: <sip:",
        "Remote-Party-ID: <sip:1@",
        "InfiNETBilling: -funds:",
        "InfiNETBilling: xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx-funds:",
        "InfiNETBilling: xxxxxxxxxxxxxxxxxxxx-funds:1 2 3 4 5 6 7 8 ",
        "InfiNETBilling: account-funds:  ;",
        "InfiNETBilling",
        "c=IN IP4 ",
        "c=IN IP4",
        "c=IN IP4 999.999.999.999",
        "c=IN IP6 ::1",
        "c=IN IP4 127.0.0.1 extra",
        "c=",
        "m=audio -1 RTP/AVP 18",
        "m=audio 99999999999 RTP/AVP 18",
        "m=audio 70000 RTP/AVP 18",
        "m=audio 65536 RTP/AVP 18",
        "m=audio RTP/AVP 18",
        "m=RTP/AVP audio 5",
        "m=audio",
        "m=audio 5 RTP/AVP",
        "m=audio 5 RTP/AVP ",
        "m=audio\t\t\x01 RTP",
        "m=audio 0 RTP/AVP 18",
        "m=video 5000 RTP/AVP 18",
        "m=audio 40000 RTP/AVP 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18",
        "m=",
        "\r",
        "\n",
        std::string("Subject: \0\0\0", 12),
        ":",
        " ",
        "\t",
    };
    return lines;
}

// First lines that are not a recognised request or status.
const std::vector<std::string>& HostileStartLines() {
    static const std::vector<std::string> lines = {
        "SIP/2.0 999 Weird",
        "SIP/2.0 -20 OK",
        "SIP/2.0 2000 OK",
        "SIP/2.0 20",
        "SIP/2.0 200",
        "SIP/2.0 000 Zero",
        "SIP/2.0 412 Conditional Request Failed",
        "SIP/2.0 +20 OK",
        std::string("SIP/2.0 2\0\0 OK", 14),
        "SIP/2.0 99999999999999",
        "SIP/2.0",
        "SIP/2.0 ",
        "SIP/1.0 200 OK",
        "sip/2.0 200 OK",
        "PUBLISH sip:1001@127.0.0.1 SIP/2.0",
        "invite sip:1001@127.0.0.1 SIP/2.0",
        " INVITE sip:1001@127.0.0.1 SIP/2.0",
        "INVIT",
        "SIP/2.0 200 OK" + std::string(400, ' '),
        "INVITE" + std::string(500, 'A'),
    };
    return lines;
}

// Header names of the parser's vocabulary and a few it does not know, for random lines.
const std::vector<std::string>& HeaderNames() {
    static const std::vector<std::string> names = {"Call-ID: ",
                                                   "Contact: ",
                                                   "CSeq: ",
                                                   "From: ",
                                                   "To: ",
                                                   "Via: ",
                                                   "Max-Forwards: ",
                                                   "WWW-Authenticate: ",
                                                   "Proxy-Authenticate: ",
                                                   "Content-Length: ",
                                                   "Remote-Party-ID: ",
                                                   "InfiNETBilling: ",
                                                   "Accept-Contact: ",
                                                   "X-Unknown: ",
                                                   "c=",
                                                   "m=",
                                                   "v=",
                                                   "a=",
                                                   "",
                                                   "v: "};
    return names;
}

}  // namespace

std::string SipMessage(const std::vector<std::string>& headerLines, const std::string& body) {
    std::string text;
    for (const std::string& line : headerLines) {
        text += line + kCrLf;
    }
    text += "Content-Length: " + std::to_string(body.size()) + kCrLf;
    text += kCrLf;
    text += body;
    return text;
}

const std::vector<std::string>& SipTemplates() {
    static const std::vector<std::string> templates = {
        Request("INVITE",
                {"Remote-Party-ID: <sip:3456@127.0.0.1>;party=calling",
                 "Content-Type: application/sdp"},
                kSdpWithoutG729),
        Request("BYE"),
        Request("CANCEL"),
        Request("ACK"),
        Request("OPTIONS", {"InfiNETBilling: account-1001-funds:12.50 300;"}),
        Request("INFO", {"Content-Type: application/dtmf-relay"}, "Signal= 5\r\nDuration= 250\r\n"),
        Request("NOTIFY", {"Event: message-summary"}),
        Response("100 Trying", "INVITE"),
        Response("180 Ringing", "INVITE"),
        Response("183 Session Progress", "INVITE", {"Content-Type: application/sdp"}, kSdpWithG729),
        Response("200 OK", "INVITE", {"Content-Type: application/sdp"}, kSdpWithG729),
        Response("200 OK", "REGISTER", {"Expires: 7200"}),
        Response("401 Unauthorized", "REGISTER",
                 {"WWW-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"abc123\", "
                  "algorithm=MD5"}),
        Response("407 Proxy Authentication Required", "INVITE",
                 {"Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"def456\", "
                  "algorithm=MD5"}),
        Response("486 Busy Here", "INVITE"),
        Response("487 Request Terminated", "INVITE"),
    };
    return templates;
}

std::string RtpPacket(uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                      const std::string& payload) {
    std::string packet(12, '\0');
    packet[0] = static_cast<char>(0x80);
    packet[1] = static_cast<char>(payloadType & 0x7F);
    packet[2] = static_cast<char>(sequence >> 8);
    packet[3] = static_cast<char>(sequence);
    for (int i = 0; i < 4; ++i) {
        packet[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
        packet[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
    }
    return packet + payload;
}

HostileDatagrams::HostileDatagrams(uint32_t seed) : random_(seed) {}

size_t HostileDatagrams::Below(size_t bound) {
    return bound == 0 ? 0 : std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
}

bool HostileDatagrams::Chance(int percent) {
    return static_cast<int>(Below(100)) < percent;
}

std::string HostileDatagrams::Bytes(size_t count) {
    std::string bytes(count, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(Below(256));
    }
    return bytes;
}

std::string HostileDatagrams::Printable(size_t count) {
    std::string text(count, ' ');
    for (char& c : text) {
        c = static_cast<char>(' ' + Below(95));
    }
    return text;
}

const std::string& HostileDatagrams::Pick(const std::vector<std::string>& choices) {
    return choices[Below(choices.size())];
}

const std::string& HostileDatagrams::AnyTemplate() {
    return Pick(SipTemplates());
}

std::string HostileDatagrams::NextSip() {
    const size_t roll = Below(100);
    if (roll < 30) {
        return Truncated();
    }
    if (roll < 60) {
        return Mutated();
    }
    if (roll < 75) {
        return Malformed();
    }
    if (roll < 90) {
        return Random();
    }
    return Oversized();
}

// A valid message cut short: anywhere, inside the start line, at a CR, between CR and LF,
// right after a header name, at the empty line, inside the body.
std::string HostileDatagrams::Truncated() {
    const std::string& message = AnyTemplate();
    std::vector<size_t> cuts;
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\r' || c == '\n' || c == ':' || c == ' ' || c == '=') {
            cuts.push_back(i);
            cuts.push_back(i + 1);
        }
    }
    const size_t blank = message.find("\r\n\r\n");
    switch (Below(4)) {
        case 0:
            kind_ = "truncated anywhere";
            return message.substr(0, Below(message.size()));
        case 1:
            kind_ = "truncated at a separator";
            return message.substr(0, cuts[Below(cuts.size())]);
        case 2:
            kind_ = "truncated near the empty line";
            return message.substr(0, blank + Below(5));
        default:
            kind_ = "truncated within the first bytes";
            return message.substr(0, 9 + Below(8));
    }
}

// Valid messages swollen up to the largest datagram: one giant line, many Via lines, or a
// body far beyond the announced length. The SIP thread takes 2048 bytes at most.
std::string HostileDatagrams::Oversized() {
    static const size_t kSizes[] = {300, 1000, 1999, 2047, 2048, 2049, 9000, kLargestDatagram};
    const size_t size = kSizes[Below(std::size(kSizes))];
    std::string message = AnyTemplate();
    const size_t afterStart = message.find(kCrLf) + 2;
    switch (Below(3)) {
        case 0: {
            kind_ = "oversized: one giant line";
            const size_t fill = size > message.size() + 11 ? size - message.size() - 11 : 1;
            message.insert(afterStart, "Subject: " + Printable(fill) + kCrLf);
            break;
        }
        case 1: {
            kind_ = "oversized: many Via lines";
            const std::string via =
                "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + Printable(8) + kCrLf;
            std::string vias;
            while (message.size() + vias.size() + via.size() <= size) {
                vias += via;
            }
            message.insert(afterStart, vias);
            break;
        }
        default:
            kind_ = "oversized: body beyond its length";
            message += Bytes(size > message.size() ? size - message.size() : 0);
            break;
    }
    message.resize(std::min(size, kLargestDatagram), 'x');
    return message;
}

// Noise: random bytes of any length, random bytes behind a valid start line, printable
// garbage broken into lines, or lines made of header names and random values.
std::string HostileDatagrams::Random() {
    switch (Below(4)) {
        case 0:
            kind_ = "random bytes";
            return Bytes(Chance(30) ? Below(16) : Below(2049));
        case 1: {
            kind_ = "random bytes behind a start line";
            const std::string& message = AnyTemplate();
            return message.substr(0, message.find(kCrLf) + 2) + Bytes(Below(600));
        }
        case 2: {
            kind_ = "printable lines";
            std::string text;
            const size_t lines = 1 + Below(30);
            for (size_t i = 0; i < lines; ++i) {
                text += Printable(Below(120)) + kCrLf;
            }
            return text;
        }
        default: {
            kind_ = "random header lines";
            const std::string& message = AnyTemplate();
            std::string text = message.substr(0, message.find(kCrLf) + 2);
            const size_t lines = 1 + Below(25);
            for (size_t i = 0; i < lines; ++i) {
                text +=
                    Pick(HeaderNames()) + (Chance(50) ? Printable(Below(80)) : Bytes(Below(40)));
                if (Chance(90)) {
                    text += kCrLf;
                }
            }
            return text;
        }
    }
}

// Structure broken on purpose: bad start lines, no CR LF at all, NULs, a second empty line,
// a header section that never ends, a body without its headers.
std::string HostileDatagrams::Malformed() {
    std::string message = AnyTemplate();
    const size_t firstEnd = message.find(kCrLf);
    switch (Below(6)) {
        case 0:
            kind_ = "malformed: start line";
            return Pick(HostileStartLines()) + message.substr(firstEnd);
        case 1: {
            kind_ = "malformed: LF only";
            std::string lf;
            for (const char c : message) {
                if (c != '\r') {
                    lf += c;
                }
            }
            return lf;
        }
        case 2: {
            kind_ = "malformed: NULs";
            const size_t count = 1 + Below(20);
            for (size_t i = 0; i < count; ++i) {
                message[Below(message.size())] = '\0';
            }
            return message;
        }
        case 3:
            kind_ = "malformed: second empty line";
            message.insert(message.find("\r\n\r\n") + 2, Chance(50) ? "\r\n\r\n" : "\r\n");
            return message;
        case 4:
            kind_ = "malformed: CR only";
            std::replace(message.begin(), message.end(), '\n', '\r');
            return message;
        default:
            kind_ = "malformed: empty line first";
            return "\r\n" + message;
    }
}

std::string HostileDatagrams::Mutated() {
    std::string message = AnyTemplate();
    kind_ = "mutated:";
    const size_t count = 1 + Below(4);
    for (size_t i = 0; i < count; ++i) {
        Mutate(message);
    }
    return message;
}

void HostileDatagrams::Mutate(std::string& message) {
    if (message.empty()) {
        message = AnyTemplate();
    }
    switch (Below(7)) {
        case 0:
            kind_ += " byte";
            message[Below(message.size())] = static_cast<char>(Below(256));
            break;
        case 1:
        case 2:
            ReplaceLine(message);
            break;
        case 3:
            InsertLongLine(message);
            break;
        case 4: {
            kind_ += " lost line";
            const size_t start = message.find(kCrLf, Below(message.size()));
            if (start != std::string::npos) {
                const size_t end = message.find(kCrLf, start + 2);
                message.erase(start, end == std::string::npos ? std::string::npos : end - start);
            }
            break;
        }
        case 5: {
            kind_ += " lone CR or LF";
            const size_t at = message.find(kCrLf, Below(message.size()));
            if (at != std::string::npos) {
                message.erase(at + (Chance(50) ? 0 : 1), 1);
            }
            break;
        }
        default: {
            kind_ += " repeated line";
            const size_t start = message.find(kCrLf, Below(message.size()));
            if (start != std::string::npos) {
                const size_t end = message.find(kCrLf, start + 2);
                if (end != std::string::npos) {
                    message.insert(start, message.substr(start, end - start));
                }
            }
            break;
        }
    }
}

// A header or SDP line swapped for one that breaks its rule: absurd numbers, missing
// values, unbalanced brackets and quotes, bad c= and m= lines.
void HostileDatagrams::ReplaceLine(std::string& message) {
    kind_ += " hostile line";
    const std::string& line = Pick(HostileLines());
    const size_t prefix = std::min(line.find_first_of(":="), line.size());
    const std::string name = line.substr(0, prefix);
    size_t start = name.empty() ? std::string::npos : message.find(kCrLf + name);
    if (start == std::string::npos) {
        // Not there: put it among the headers, or into the body.
        start = message.find(kCrLf, Below(message.size()));
        if (start == std::string::npos) {
            message += kCrLf + line;
            return;
        }
        message.insert(start, kCrLf + line);
        return;
    }
    const size_t end = message.find(kCrLf, start + 2);
    message.replace(start + 2, end == std::string::npos ? std::string::npos : end - start - 2,
                    line);
}

// Lines around and beyond the parser's bound on a line.
void HostileDatagrams::InsertLongLine(std::string& message) {
    kind_ += " long line";
    static const std::vector<std::string> names = {"Via: SIP/2.0/UDP ",
                                                   "Call-ID: ",
                                                   "From: <sip:",
                                                   "To: <sip:",
                                                   "Contact: <sip:",
                                                   "CSeq: ",
                                                   "Subject: ",
                                                   "c=IN IP4 ",
                                                   "m=audio ",
                                                   "InfiNETBilling: a-funds:",
                                                   "Remote-Party-ID: <sip:"};
    const size_t length = 280 + Below(1200);
    std::string line = Pick(names) + (Chance(50) ? Printable(length) : std::string(length, '9'));
    if (Chance(30)) {
        line += "@x>";
    }
    const size_t at = message.find(kCrLf, Below(message.size()));
    if (at == std::string::npos) {
        message += kCrLf + line;
    } else {
        message.insert(at, kCrLf + line);
    }
}

std::string HostileDatagrams::NextRtp(uint32_t farEndSsrc, uint16_t nextSequence) {
    const size_t roll = Below(100);
    if (roll < 15) {
        return ShortRtp();
    }
    if (roll < 45) {
        return BadStructureRtp(farEndSsrc, nextSequence);
    }
    if (roll < 52) {
        return OversizedRtp();
    }
    if (roll < 77) {
        return ForeignSourceRtp();
    }
    if (roll < 90) {
        return LateRtp(farEndSsrc, nextSequence);
    }
    return JumpRtp(farEndSsrc, nextSequence);
}

std::string HostileDatagrams::ShortRtp() {
    kind_ = "rtp: shorter than the fixed header";
    std::string bytes = Bytes(Below(12));
    if (!bytes.empty() && Chance(50)) {
        bytes[0] = static_cast<char>(0x80);
    }
    return bytes;
}

// The far end's SSRC and next number, but a header that cannot be read: another version,
// CSRCs or a header extension running past the end, padding longer than the packet.
std::string HostileDatagrams::BadStructureRtp(uint32_t ssrc, uint16_t sequence) {
    std::string packet = RtpPacket(18, sequence, sequence * 160u, ssrc, Bytes(40));
    switch (Below(4)) {
        case 0: {
            kind_ = "rtp: version not 2";
            static const uint8_t kVersions[] = {0x00, 0x40, 0xC0};
            packet[0] = static_cast<char>(kVersions[Below(3)] | (packet[0] & 0x3F));
            break;
        }
        case 1: {
            kind_ = "rtp: CSRC list past the end";
            // Room for at most 14 CSRC words: 15 announced, and the datagram cut before them.
            const size_t cc = 1 + Below(15);
            packet[0] = static_cast<char>(0x80 | cc);
            const size_t needed = 12 + 4 * cc;
            packet.resize(std::min(packet.size(), 12 + Below(needed - 12)));
            if (cc == 15 && Chance(50)) {
                packet = RtpPacket(18, sequence, sequence * 160u, ssrc, Bytes(40));
                packet[0] = static_cast<char>(0x8F);  // 72 bytes of header, 52 on the wire
            }
            break;
        }
        case 2: {
            kind_ = "rtp: header extension past the end";
            packet[0] = static_cast<char>(0x90);
            const uint16_t words = static_cast<uint16_t>(11 + Below(65525));
            packet[14] = static_cast<char>(words >> 8);
            packet[15] = static_cast<char>(words);
            if (Chance(30)) {
                packet.resize(12 + Below(4));  // not even the extension's own header
            }
            break;
        }
        default:
            kind_ = "rtp: padding longer than the packet";
            packet[0] = static_cast<char>(0xA0);
            packet.back() = static_cast<char>(41 + Below(215));
            break;
    }
    return packet;
}

std::string HostileDatagrams::OversizedRtp() {
    kind_ = "rtp: oversized";
    static const size_t kSizes[] = {117, 200, 999, 1000, 1001, 1500, 9000, kLargestDatagram};
    const size_t size = kSizes[Below(std::size(kSizes))];
    std::string packet = RtpPacket(18, static_cast<uint16_t>(Below(65536)), 0,
                                   static_cast<uint32_t>(Below(0xFFFFFFFFu)), "");
    return packet + Bytes(size - packet.size());
}

// Other sources: random noise, other payload types, and a stream of ever new SSRCs.
std::string HostileDatagrams::ForeignSourceRtp() {
    const uint16_t sequence = static_cast<uint16_t>(Below(65536));
    switch (Below(4)) {
        case 0:
            kind_ = "rtp: random bytes";
            return Bytes(12 + Below(105));
        case 1: {
            kind_ = "rtp: other payload type, unknown SSRC";
            static const uint8_t kTypes[] = {0, 8, 13, 101, 127};
            return RtpPacket(kTypes[Below(std::size(kTypes))], sequence, 0,
                             0xFEED0000u | static_cast<uint32_t>(Below(0x10000)), Bytes(Below(60)));
        }
        default:
            kind_ = "rtp: another new SSRC";
            return RtpPacket(18, sequence, 0, ++nextForeignSsrc_, Bytes(20));
    }
}

// The far end's SSRC with a number already played or slightly behind: a duplicate or a
// late packet, never played again.
std::string HostileDatagrams::LateRtp(uint32_t ssrc, uint16_t sequence) {
    kind_ = "rtp: late or duplicate";
    const uint16_t late = static_cast<uint16_t>(sequence - 1 - Below(90));
    return RtpPacket(18, late, late * 160u, ssrc, Bytes(40));
}

// The far end's SSRC with a number far ahead: refused by the sequence validation.
std::string HostileDatagrams::JumpRtp(uint32_t ssrc, uint16_t sequence) {
    kind_ = "rtp: sequence jump";
    uint16_t jump = sequence;
    do {
        jump = static_cast<uint16_t>(sequence + 3200 + Below(62000));
    } while (jump == static_cast<uint16_t>(lastJump_ + 1) || jump == lastJump_);
    lastJump_ = jump;
    return RtpPacket(18, jump, jump * 160u, ssrc, Bytes(40));
}

}  // namespace wire_testing
