#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/DynamicLibrary.h"
#include "platform/TThread.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::WaitUntil;

// Rests until nudged, as the call manager does between calls, twice; then takes a plain
// sleep that a nudge must not shorten (as between DTMF digits), and one of a minute.
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
        const auto start = Clock::now();
        SleepUnlessTerminated(200);
        plainSleepMs = (Clock::now() - start) / std::chrono::milliseconds(1);
        SleepUnlessTerminated(60'000);
    }
};

TEST(TThreadTest, NudgeEndsARestButNotAPlainSleepAndTerminateEndsBoth) {
    RestingThread never;  // never started: a wait returns, and it can be destroyed
    never.Terminate();
    never.WaitFor();
    EXPECT_FALSE(never.Finished());
    RestingThread thread;
    thread.Nudge();  // before the thread rests at all: its first rest ends at once
    EXPECT_FALSE(thread.Started());
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return thread.wakes.load() == 1; }));
    thread.Nudge();
    ASSERT_TRUE(WaitUntil([&] { return thread.wakes.load() == 2; }));
    thread.Nudge();  // lands in the plain sleep, or just before it
    ASSERT_TRUE(WaitUntil([&] { return thread.plainSleepMs.load() >= 0; }));
    EXPECT_GE(thread.plainSleepMs.load(), 200);
    thread.Terminate();  // ends the sleep of a minute, well within the test's timeout
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    thread.WaitFor();  // a second wait returns at once
}

// Found by name only, on the library path or beside the program; loading and finding
// entries in the codec library itself is the codec and media tests' part.
TEST(DynamicLibraryTest, RefusesPathsAndFindsNothingInNoLibrary) {
    EXPECT_EQ(platform::LoadLibraryByName("../escape.so"), nullptr);
    EXPECT_EQ(platform::LoadLibraryByName("/usr/lib/x86_64-linux-gnu/libc.so.6"), nullptr);
    EXPECT_EQ(platform::FindEntry(nullptr, "anything"), nullptr);
    EXPECT_NE(platform::ProgramFolder().find("/bin"), std::string::npos);
}

}  // namespace
