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

    std::string StartLine;  // the first line as received, reason phrase included
    int32_t Code = 0;       // 1000 + method index for requests, 2000 + status for responses
    std::string CallID;
    std::string ContactValue;  // the first Contact header's value
    std::string ContactURI;    // the first Contact's URI, without <>
    std::string FromTag;       // everything after "tag=" in From, empty when it holds a blank
    std::string ToTag;         // the same rule for To
    std::string FromValue;     // the From value after the colon and its blanks
    std::string CSeqText;      // the CSeq value: number, blank, method
    int32_t CSeqNumber = 0;    // -1 when the CSeq number is no number or no method follows it
    std::string ToValue;       // the To value after the colon and its blanks
    std::string ViaList;       // every Via line as received, each followed by kViaSeparator
    int32_t MaxForwards = -1;
    int32_t ContentLength = -1;
    std::string ViaReceived;    // a 401's Via "Received" address
    std::string ViaRport;       // a 401's Via text after "rport="
    std::string Realm;          // realm parameter of the digest challenge
    std::string Nonce;          // nonce parameter of the digest challenge
    std::string MediaAddress;   // c= address of the first audio stream (media over session level)
    int32_t MediaPort = -1;     // port of the first audio m= line
    std::string MediaPayloads;  // payload types of that line as written ("18 4 101")
    std::string CallerNumber;   // user part of Remote-Party-ID
    std::string Funds;          // balance and time of the operator's billing header

    // What transactions, dialogs and registration need beyond the fields above.
    std::string RequestUri;    // the request line's URI; empty in a response
    std::string CSeqMethod;    // the method of the CSeq header
    std::string TopVia;        // the first Via value (protocol, sent-by and parameters)
    std::string TopViaBranch;  // its branch parameter; empty when it has none
    std::vector<std::string> RecordRoutes;  // every Record-Route entry in order, "<uri;lr>"
    std::vector<SipContact> Contacts;       // every Contact entry in order
    int32_t Expires = -1;                   // Expires header; -1 when absent
    int32_t MinExpires = -1;                // Min-Expires header of a 423; -1 when absent
    std::string Opaque;                     // opaque parameter of the digest challenge
    std::string Qop;        // qop options of the challenge as written ("auth,auth-int")
    std::string Algorithm;  // algorithm parameter of the challenge
    // Direction attribute of the audio stream (media level over session level):
    // "sendrecv", "sendonly", "recvonly", "inactive"; "sendrecv" when the SDP names none,
    // empty when the message has no SDP.
    std::string MediaDirection;
};
