#include "sip/SIPSDPMessageQueue.h"

#include <mutex>

int CSIPSDPMessageQueue::Enqueue(std::unique_ptr<CSIPSDPMessage> message) {
    std::lock_guard<TCriticalSection> guard(lock_);
    if (count_ == kCapacity) {
        return -1;
    }
    tail_ = count_ == 0 ? head_ : (tail_ + 1) % kCapacity;
    slots_[tail_] = std::move(message);
    consumed_[tail_] = false;
    ++count_;
    return tail_;
}

int CSIPSDPMessageQueue::PeekHead() {
    std::lock_guard<TCriticalSection> guard(lock_);
    if (count_ < 1 || consumed_[head_]) {
        return -1;
    }
    return head_;
}

int CSIPSDPMessageQueue::RemoveHead() {
    std::lock_guard<TCriticalSection> guard(lock_);
    if (count_ < 1) {
        return -1;
    }
    slots_[head_].reset();
    consumed_[head_] = true;
    --count_;
    head_ = (head_ + 1) % kCapacity;
    return head_;
}

CSIPSDPMessage* CSIPSDPMessageQueue::MessageAt(int slot) {
    if (slot < 0 || slot >= kCapacity) {
        return nullptr;
    }
    return slots_[slot].get();
}

int CSIPSDPMessageQueue::Count() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return count_;
}
