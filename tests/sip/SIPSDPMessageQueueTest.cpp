#include "sip/SIPSDPMessageQueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::unique_ptr<CSIPSDPMessage> Message(const std::string& callId) {
    auto message = std::make_unique<CSIPSDPMessage>();
    message->Code = 2200;
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

TEST(SIPSDPMessageQueueTest, EmptyQueue) {
    CSIPSDPMessageQueue queue;
    EXPECT_EQ(queue.PeekHead(), -1);
    EXPECT_EQ(queue.RemoveHead(), -1);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(queue.MessageAt(0), nullptr);
    EXPECT_EQ(queue.MessageAt(-1), nullptr);
    EXPECT_EQ(queue.MessageAt(5), nullptr);
}

TEST(SIPSDPMessageQueueTest, SixthMessageIsRefusedAndOrderIsKept) {
    CSIPSDPMessageQueue queue;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(queue.Enqueue(Message(Numbered(i))), i);
    }
    EXPECT_EQ(queue.Enqueue(Message("m5")), -1);
    EXPECT_EQ(queue.Count(), 5);
    for (int i = 0; i < 5; ++i) {
        const int head = queue.PeekHead();
        ASSERT_EQ(head, i);
        ASSERT_NE(queue.MessageAt(head), nullptr);
        EXPECT_EQ(queue.MessageAt(head)->CallID, Numbered(i));
        EXPECT_EQ(queue.RemoveHead(), (i + 1) % 5);
        EXPECT_EQ(queue.MessageAt(head), nullptr);  // destroyed with its removal
    }
    EXPECT_EQ(queue.PeekHead(), -1);
}

TEST(SIPSDPMessageQueueTest, WrapsAroundToSlotZero) {
    CSIPSDPMessageQueue queue;
    for (int i = 0; i < 5; ++i) {
        queue.Enqueue(Message("first round"));
    }
    for (int i = 0; i < 5; ++i) {
        queue.RemoveHead();
    }
    EXPECT_EQ(queue.PeekHead(), -1);
    EXPECT_EQ(queue.Enqueue(Message("next")), 0);
    EXPECT_EQ(queue.PeekHead(), 0);
    EXPECT_EQ(queue.MessageAt(0)->CallID, "next");

    // Interleaved use keeps walking the ring.
    EXPECT_EQ(queue.Enqueue(Message("a")), 1);
    EXPECT_EQ(queue.RemoveHead(), 1);
    EXPECT_EQ(queue.Enqueue(Message("b")), 2);
    EXPECT_EQ(queue.RemoveHead(), 2);
    EXPECT_EQ(queue.MessageAt(queue.PeekHead())->CallID, "b");
}

TEST(SIPSDPMessageQueueTest, QueuedMessagesGoWithTheQueue) {
    // The leak checker of the sanitizer build fails this test if they are not freed.
    auto queue = std::make_unique<CSIPSDPMessageQueue>();
    queue->Enqueue(Message("left behind 1"));
    queue->Enqueue(Message("left behind 2"));
    queue->Enqueue(Message("left behind 3"));
    queue->RemoveHead();
    queue.reset();
    SUCCEED();
}

}  // namespace
