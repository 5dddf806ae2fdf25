#pragma once

#include <cstdint>
#include <string>

// The fields the parser takes from one SIP datagram. Created by the parser, owned by the
// queue once queued, read-only for the call manager, destroyed when removed from the queue.
class CSIPSDPMessage {
public:
    // Separator written after every Via line kept in ViaList.
    static constexpr const char* kViaSeparator = "#**#";

    void Reset() { *this = CSIPSDPMessage(); }

    std::string StartLine;
    int32_t Code = 0;  // 1000 + method index for requests, 2000 + status for responses
    std::string CallID;
    std::string ContactValue;
    std::string ContactURI;
    std::string FromTag;
    std::string ToTag;
    std::string FromValue;
    std::string CSeqText;
    int32_t CSeqNumber = 0;
    std::string ToValue;
    std::string ViaList;
    int32_t MaxForwards = -1;
    int32_t ContentLength = -1;
    std::string ViaReceived;
    std::string ViaRport;
    std::string Realm;
    std::string Nonce;
    std::string MediaAddress;
    int32_t MediaPort = -1;
    std::string MediaPayloads;
    std::string CallerNumber;
    std::string Funds;
};
