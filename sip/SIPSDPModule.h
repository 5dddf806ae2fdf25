#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "sip/SIPSDPMessage.h"

class CSIPSDPMessageQueue;

// The SIP/SDP parser: cuts one datagram into lines, recognises the start line and picks the
// fields the call manager needs, then hands the message to its queue. Bad datagrams are
// dropped without a trace.
class SIPSDPModule {
public:
    // Longest line kept: the line buffer holds 299 characters and a terminator.
    static constexpr size_t kMaxLineLength = 299;

    explicit SIPSDPModule(CSIPSDPMessageQueue* queue);

    // Parses one datagram (not terminated) and queues the message, or drops it.
    void Parse(const char* data, size_t length);

    // Parses one datagram into a message without queueing it; nullptr when it is dropped.
    static std::unique_ptr<CSIPSDPMessage> ParseMessage(const char* data, size_t length);

private:
    CSIPSDPMessageQueue* queue_;
};
