#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/TThread.h"
#include "tests/support/TestSupport.h"

namespace {

class CountingThread final : public TThread {
public:
    ~CountingThread() override { TerminateAndWait(); }
    std::atomic<int> passes{0};

protected:
    void Execute() override {
        while (!Terminated()) {
            ++passes;
            SleepUnlessTerminated(10'000);
        }
    }
};

TEST(TThreadTest, StaysSuspendedUntilResumedAndEndsPromptlyOnTerminate) {
    CountingThread thread;
    platform::SleepMs(20);
    EXPECT_EQ(thread.passes.load(), 0);
    EXPECT_FALSE(thread.Started());

    thread.Resume();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return thread.passes.load() == 1; }));

    const auto before = std::chrono::steady_clock::now();
    thread.Terminate();
    thread.WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_TRUE(thread.Finished());
    thread.WaitFor();  // a second wait returns at once
}

TEST(TThreadTest, ANeverStartedThreadCanBeDestroyed) {
    CountingThread thread;
    thread.Terminate();
    thread.WaitFor();
    EXPECT_FALSE(thread.Finished());
}

// Rests until nudged, as the call manager does between calls; then takes a plain sleep
// that a nudge must not shorten (the gaps between DTMF digits are such sleeps).
class RestingThread final : public TThread {
public:
    ~RestingThread() override { TerminateAndWait(); }
    std::atomic<int> wakes{0};
    std::atomic<int64_t> plainSleepMs{-1};

protected:
    void Execute() override {
        while (wakes < 2 && SleepUntilNudged(60'000)) {
            ++wakes;
        }
        const auto start = std::chrono::steady_clock::now();
        SleepUnlessTerminated(200);
        plainSleepMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        SleepUntilNudged(60'000);
    }
};

TEST(TThreadTest, NudgeEndsARestButNotAPlainSleepAndIsNeverLost) {
    RestingThread thread;
    thread.Nudge();  // before the thread rests at all: its first rest ends at once
    thread.Resume();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return thread.wakes.load() == 1; }));
    thread.Nudge();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return thread.wakes.load() == 2; }));
    thread.Nudge();  // lands in the plain sleep, or just before it
    ASSERT_TRUE(testing_support::WaitUntil([&] { return thread.plainSleepMs.load() >= 0; }));
    EXPECT_GE(thread.plainSleepMs.load(), 200);
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
}

}  // namespace
