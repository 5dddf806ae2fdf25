#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"

// Every datagram the proxy (or anyone spoofing it) may send goes through Parse. The bytes
// are copied into a buffer of exactly their size so any read past the datagram is caught.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> datagram(size);
    if (size > 0) {
        std::memcpy(datagram.data(), data, size);
    }
    CSIPSDPMessageQueue queue;
    SIPSDPModule parser(&queue);
    parser.Parse(datagram.data(), datagram.size());
    const int head = queue.PeekHead();
    if (head >= 0) {
        const CSIPSDPMessage* message = queue.MessageAt(head);
        // The call manager dispatches on the code's class: it must be 1 or 2. Lists are
        // bounded whatever the datagram holds.
        if (message == nullptr || (message->Code / 1000 != 1 && message->Code / 1000 != 2) ||
            message->StartLine.size() > SIPSDPModule::kMaxLineLength ||
            message->RecordRoutes.size() > CSIPSDPMessage::kMaxListEntries ||
            message->Contacts.size() > CSIPSDPMessage::kMaxListEntries) {
            __builtin_trap();
        }
        queue.RemoveHead();
    }
    return 0;
}
