#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/DynamicLibrary.h"
#include "platform/HostAddresses.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::UdpSocket;
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

// The transport's socket, shared with the proxy's through address reuse, is the sip tests'
// part; its loop ends as soon as a wait is woken.
TEST(UdpSocketTest, AWaitEndsWhenWoken) {
    UdpSocket socket;
    ASSERT_TRUE(socket.Bind(0));
    EXPECT_EQ(socket.WaitReadable(10), UdpSocket::WaitResult::Timeout);
    std::thread waker([&] { socket.Wake(); });
    EXPECT_EQ(socket.WaitReadable(10'000), UdpSocket::WaitResult::Woken);
    waker.join();
}

// A dotted text comes back as it went in, in the network's byte order both ways; reading
// dotted texts alone, as the transport does for its proxy, is the sip tests' part.
TEST(HostAddressesTest, ResolvesDottedTextsAndListsLoopbackLast) {
    EXPECT_EQ(platform::ResolveFirstIpv4("127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(platform::ResolveFirstIpv4("") + platform::ResolveFirstIpv4("no-such-host.invalid"),
              "");
    const auto addresses = platform::LocalIpv4Addresses(5);
    ASSERT_FALSE(addresses.empty());
    EXPECT_LE(addresses.size(), 5u);
    EXPECT_TRUE(std::is_partitioned(addresses.begin(), addresses.end(), [](const auto& a) {
        return a.rfind("127.", 0) != 0;
    })) << "a non-loopback address after loopback";
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
