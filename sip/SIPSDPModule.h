#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "sip/SIPSDPMessage.h"

class CSIPSDPMessageQueue;

// The SIP/SDP parser: cuts one datagram into lines, recognises the start line and picks the
// fields the call manager needs, then hands the message to its queue. Header names are read
// in any case and in compact form, folded header lines are joined. Bad datagrams are dropped
// without a trace.
class SIPSDPModule {
public:
    // Longest line, a folded header joined: room for long Via and Record-Route lines and
    // digest challenges. A datagram with a longer line is dropped rather than cut, so no cut
    // value is ever copied into what the phone sends.
    static constexpr size_t kMaxLineLength = 1000;
    // The largest UDP payload; anything longer is no datagram of ours.
    static constexpr size_t kMaxDatagram = 65507;

    static constexpr int kSdpPrefixCount = 7;
    static constexpr int kMethodCount = 13;
    static constexpr int kHeaderCount = 66;
    static constexpr int kStatusCount = 57;

    // Indexes of the entries whose lines carry fields.
    enum HeaderIndex {
        kCallIdHeader = 2,
        kContactHeader = 3,
        kCSeqHeader = 4,
        kFromHeader = 7,
        kRecordRouteHeader = 9,
        kToHeader = 14,
        kViaHeader = 16,
        kMaxForwardsHeader = 34,
        kMinExpiresHeader = 48,
        kProxyAuthenticateHeader = 50,
        kWwwAuthenticateHeader = 54,
        kContentLengthHeader = 60,
        kExpiresHeader = 62,
        kRemotePartyIdHeader = 64,
        kBillingHeader = 65,
    };

    // Message codes: 1000 + method index for requests, 2000 + status for responses.
    static constexpr int kRequestBase = 1000;
    static constexpr int kResponseBase = 2000;

    explicit SIPSDPModule(CSIPSDPMessageQueue* queue);

    // Parses one datagram (not terminated) and queues the message, or drops it.
    void Parse(const char* data, size_t length);

    // Parses one datagram into a message without queueing it; nullptr when it is dropped.
    static std::unique_ptr<CSIPSDPMessage> ParseMessage(const char* data, size_t length);

    // The vocabulary, in table order.
    static const std::array<std::string_view, kSdpPrefixCount>& SdpPrefixes();
    static const std::array<std::string_view, kMethodCount>& Methods();
    static const std::array<std::string_view, kHeaderCount>& HeaderNames();
    // "100 Trying" ... "606 Not Acceptable": status digits, blank, the reason phrase we send.
    static const std::array<std::string_view, kStatusCount>& StatusLines();

    // The method's table index, -1 when it is not a known method.
    static int MethodIndex(std::string_view method);
    // The method name of a table index, empty outside the table.
    static std::string_view MethodName(int index);
    // The status line text ("486 Busy Here"), empty for a status outside the table.
    static std::string_view StatusLine(int status);
    // The reason phrase of a known status ("Busy Here"), empty for any other.
    static std::string_view ReasonPhrase(int status);

private:
    CSIPSDPMessageQueue* queue_;
};
