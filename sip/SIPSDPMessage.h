#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One Contact value of a message: the URI and its expires parameter (-1 when absent).
struct SipContact {
    std::string Uri;  // without the angle brackets, parameters of the URI included
    int32_t Expires = -1;
};

// The fields the parser takes from one SIP datagram. Created by the parser, owned by the
// queue once queued, read-only for the call manager, destroyed when removed from the queue.
class CSIPSDPMessage {
public:
    // Separator written after every Via line kept in ViaList.
    static constexpr const char* kViaSeparator = "#**#";
    // Lists filled from the network keep at most this many entries.
    static constexpr size_t kMaxListEntries = 16;

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

    // What transactions, dialogs and registration need beyond the fields above.
    std::string RequestUri;    // the request line's URI; empty in a response
    std::string CSeqMethod;    // the method of the CSeq header
    std::string TopVia;        // the first Via value (sent-by and parameters)
    std::string TopViaBranch;  // its branch parameter; empty when it has none
    std::vector<std::string> RecordRoutes;  // every Record-Route value in order, "<uri;lr>"
    std::vector<SipContact> Contacts;       // every Contact value in order
    int32_t Expires = -1;                   // Expires header
    int32_t MinExpires = -1;                // Min-Expires header of a 423
    std::string Opaque;     // opaque parameter of the digest challenge
    std::string Qop;        // qop options of the challenge as written ("auth,auth-int")
    std::string Algorithm;  // algorithm parameter of the challenge
    // Direction attribute of the audio stream (media level over session level):
    // "sendrecv", "sendonly", "recvonly", "inactive", or empty when the SDP names none.
    std::string MediaDirection;
};
