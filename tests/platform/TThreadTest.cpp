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

}  // namespace
