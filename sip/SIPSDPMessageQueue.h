#pragma once

#include <array>
#include <memory>

#include "platform/TCriticalSection.h"
#include "sip/SIPSDPMessage.h"

// A ring of five parsed messages between the send/receive thread (producer) and the
// polling call manager (consumer). Messages still held when the queue goes are destroyed.
class CSIPSDPMessageQueue {
public:
    static constexpr int kCapacity = 5;

    // Stores the message and returns its slot, or -1 (message not taken) when five are held.
    int Enqueue(std::unique_ptr<CSIPSDPMessage> message);
    // Slot of the oldest message, or -1 when there is none.
    int PeekHead();
    // Destroys the oldest message; returns the new head slot, or -1 on an empty queue.
    int RemoveHead();
    // The message in a slot, or nullptr outside 0..4. Takes no lock: only the consumer
    // empties slots and the producer only fills free ones.
    CSIPSDPMessage* MessageAt(int slot);
    int Count();

private:
    int count_ = 0;
    int head_ = 0;
    int tail_ = 0;
    std::array<bool, kCapacity> consumed_{};
    TCriticalSection lock_;
    std::array<std::unique_ptr<CSIPSDPMessage>, kCapacity> slots_;
};
