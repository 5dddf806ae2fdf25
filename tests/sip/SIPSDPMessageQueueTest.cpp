#include "sip/SIPSDPMessageQueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::unique_ptr<CSIPSDPMessage> Message(const std::string& callId) {
    auto message = std::make_unique<CSIPSDPMessage>();
    message->CallID = callId;
    return message;
}

// "m0", "m1" ...: appended rather than concatenated, as g++ 12 at -O3 takes "m" + to_string
// for an overlapping copy (a false -Wrestrict inside char_traits.h).
std::string Numbered(int i) {
    std::string name = "m";
    name += std::to_string(i);
    return name;
}

// Five slots in a ring: the sixth message is refused, order is kept across the wrap, and
// messages still queued go with the queue (the sanitizer build's leak checker sees any left).
TEST(SIPSDPMessageQueueTest, RingOfFiveKeepsOrderAcrossTheWrap) {
    CSIPSDPMessageQueue queue;
    EXPECT_EQ(queue.PeekHead(), -1);
    EXPECT_EQ(queue.RemoveHead(), -1);
    for (const int slot : {-1, 0, 5}) {
        EXPECT_EQ(queue.MessageAt(slot), nullptr);
    }
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(queue.Enqueue(Message(Numbered(i))), i);
        }
        EXPECT_EQ(queue.Enqueue(Message("m5")), -1);
        EXPECT_EQ(queue.Count(), 5);
        for (int i = 0; i < 5; ++i) {
            const int head = queue.PeekHead();
            ASSERT_EQ(head, i);
            EXPECT_EQ(queue.MessageAt(head)->CallID, Numbered(i));
            EXPECT_EQ(queue.RemoveHead(), (i + 1) % 5);
            EXPECT_EQ(queue.MessageAt(head), nullptr);  // destroyed with its removal
        }
        EXPECT_EQ(queue.PeekHead(), -1);
    }
    EXPECT_EQ(queue.Enqueue(Message("a")), 0);
    EXPECT_EQ(queue.Enqueue(Message("b")), 1);
    EXPECT_EQ(queue.RemoveHead(), 1);
    EXPECT_EQ(queue.MessageAt(queue.PeekHead())->CallID, "b");
}

}  // namespace
