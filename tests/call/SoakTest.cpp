// A long run of calls of every kind in both directions against sipp, with the call manager's
// own thread running as in the program: afterwards the phone must be idle with no more
// threads, descriptors or sockets than before, and its heap must not have grown.
// SOFTPHONE_SOAK_CALLS sets the number of calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioWavFile.h"
#include "platform/TThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAK_SANITIZER_HEAP 1
#endif
#endif
#ifdef SOAK_SANITIZER_HEAP
// g++ ships the sanitizer runtimes without their interface headers; the entry is stable.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using namespace call_testing;
using Rows = std::vector<std::string>;
using testing_support::WaitUntil;

constexpr int kDefaultCalls = 24;
constexpr int kCallsPerSipp = 16;  // the directions take turns
constexpr int kWaitMs = 10000;
// What may come and go in the heap between two idle moments without being a leak (malloc's
// per-thread caches count as in use), and over the call manager's whole life, with the
// first load of the codec library and the first threads.
constexpr long kHeapSlackBytes = 32 * 1024;
constexpr long kLifeSlackBytes = 64 * 1024;
// Every call ends with the operator's balance notice, shown after everything else of it.
const std::string kNotice = ">Balance:9.99";

// One kind of call: the number dialled (scenarios/callee.xml) or the caller's with its part
// in scenarios/callers.xml; the row waited for before acting; whether the phone answers;
// the phone's voice echoed (-1 none, 0 until the far end clears, else that many packets
// before the phone hangs up); the phone's hang-up; the rows up to the notice.
struct Kind {
    std::string number;
    int callerPart;  // 0: outgoing
    std::string waitFor;
    bool answer;
    int voice;
    bool hangUp;
    Rows rows;
};

const std::vector<Kind> kKinds = {
    {"5001", 0, "", false, 10, true,
     RowList("Calling to : 5001|Trying...|Ringing!|Called connected!|Voice Channel created!|"
             "Hanging up call!|Voice Channel closed!|Call cleared!")},
    {"5002", 0, "", false, 0, false,
     RowList("Calling to : 5002|Trying...|Ringing!|Called connected!|Voice Channel created!|"
             "Voice Channel closed!|Call cleared!")},
    {"486", 0, "", false, -1, false,
     RowList("Calling to : 486|Trying...|User Busy!|Call cleared!")},
    {"5004", 0, ">Ringing!", false, -1, true,
     RowList("Calling to : 5004|Trying...|Ringing!|Hanging up call!|Stop Ringing!|Call cleared!")},
    {"6001", 1, ">Calling from 6001", true, 10, true,
     RowList("Calling from 6001|Answering call!|Voice Channel created!|Hanging up call!|"
             "Voice Channel closed!|Call cleared!")},
    {"6002", 2, ">Calling from 6002", true, 0, false,
     RowList("Calling from 6002|Answering call!|Voice Channel created!|Voice Channel closed!|"
             "Call cleared!")},
    {"6003", 3, "", false, -1, false, RowList("Calling from 6003|Call cleared!")},
    {"6004", 4, ">Calling from 6004", false, -1, true,
     RowList("Calling from 6004|Hanging up call!|Stop Ringing!|Call cleared!")},
};
constexpr size_t kKindsPerDirection = 4;

// The window's message list for a long run: the test takes each call's rows off it, so that
// its own memory stays flat.
class SoakMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        rows_.push_back(row);
    }
    void ShowLastRows(int /*rows*/) override {}
    Rows Pending() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return Rows(rows_.begin(), rows_.end());
    }
    bool Has(const std::string& row) {
        std::lock_guard<TCriticalSection> guard(lock_);
        return std::find(rows_.begin(), rows_.end(), row) != rows_.end();
    }
    // The rows up to and including the first equal to last, taken off the list.
    Rows TakeThrough(const std::string& last) {
        std::lock_guard<TCriticalSection> guard(lock_);
        const auto end = std::find(rows_.begin(), rows_.end(), last);
        const auto through = end == rows_.end() ? end : end + 1;
        Rows taken(rows_.begin(), through);
        rows_.erase(rows_.begin(), through);
        return taken;
    }

private:
    TCriticalSection lock_;
    std::deque<std::string> rows_;
};

// What a long run of calls could leak: threads, descriptors (sockets among them), heap.
struct Figures {
    long threads = 0, descriptors = 0, sockets = 0, heap = 0;

    static long Entries(const char* folder, long* sockets) {
        namespace fs = std::filesystem;
        long entries = 0;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            ++entries;
            std::error_code linkError;
            if (sockets != nullptr &&
                fs::read_symlink(it->path(), linkError).native().rfind("socket:", 0) == 0) {
                ++*sockets;
            }
        }
        return entries;
    }
    static Figures Measure() {
        Figures f;
        f.threads = Entries("/proc/self/task", nullptr);
        f.descriptors = Entries("/proc/self/fd", &f.sockets);
#ifdef SOAK_SANITIZER_HEAP
        f.heap = static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
        f.heap = static_cast<long>(mallinfo2().uordblks);  // last, once the walks gave it back
#endif
        return f;
    }
    // Once whatever was ending has ended (joined threads may take a moment to leave).
    static Figures Settled(const Figures& expected) {
        WaitUntil([&] { return Measure().SameHandles(expected); }, 3000, 20);
        return Measure();
    }
    bool SameHandles(const Figures& o) const {
        return threads == o.threads && descriptors == o.descriptors && sockets == o.sockets;
    }
    std::string Text() const {
        return "threads " + std::to_string(threads) + ", descriptors " +
               std::to_string(descriptors) + " (sockets " + std::to_string(sockets) +
               "), heap in use " + std::to_string(heap) + " bytes";
    }
};

int SoakCallCount() {
    const char* text = std::getenv("SOFTPHONE_SOAK_CALLS");
    char* end = nullptr;
    const long calls = text != nullptr ? std::strtol(text, &end, 10) : 0;
    return end == text || end == nullptr || *end != '\0'
               ? kDefaultCalls
               : static_cast<int>(std::clamp<long>(calls, 2 * kKindsPerDirection, 100000));
}

// Runs of calls of one direction each (indices into kKinds): first every kind once in each
// direction, then the directions in turn, at most kCallsPerSipp calls a run, every kind in
// turn but shuffled each time, so that every kind follows every other in a long run.
std::vector<std::vector<size_t>> PlanCalls(int total) {
    std::mt19937 random(20240611);  // fixed: a failing run can be repeated call for call
    const auto run = [&](bool outgoing, size_t count) {
        std::vector<size_t> kinds, calls;
        for (size_t i = 0; i < kKindsPerDirection; ++i) {
            kinds.push_back(outgoing ? i : i + kKindsPerDirection);
        }
        while (calls.size() < count) {
            std::shuffle(kinds.begin(), kinds.end(), random);
            calls.insert(
                calls.end(), kinds.begin(),
                kinds.begin() + static_cast<long>(std::min(kinds.size(), count - calls.size())));
        }
        return calls;
    };
    std::vector<std::vector<size_t>> runs = {run(true, kKindsPerDirection),
                                             run(false, kKindsPerDirection)};
    for (int left = total - 2 * static_cast<int>(kKindsPerDirection); left > 0;
         left -= 2 * kCallsPerSipp) {
        const int pair = std::min(left, 2 * kCallsPerSipp);
        runs.push_back(run(true, static_cast<size_t>(pair + 1) / 2));
        if (pair / 2 > 0) {
            runs.push_back(run(false, static_cast<size_t>(pair / 2)));
        }
    }
    return runs;
}

// Drives the resumed call manager through one call after another as the window would, the
// test's socket playing the far end's RTP: it echoes the phone's voice (real G.729 from a
// 440 Hz tone), so the phone's receive thread decodes it too.
class SoakDriver {
public:
    SoakDriver(const CallPorts& ports, CallManagerThread& manager, SoakMessageList& rows)
        : ports_(ports), manager_(manager), rows_(rows), farEnd_(ports.peerRtp) {}

    void Run(const std::vector<size_t>& calls) {
        const bool outgoing = kKinds[calls[0]].callerPart == 0;
        Rows lines;
        for (const size_t kind : calls) {
            lines.push_back(kKinds[kind].number + ";" + std::to_string(kKinds[kind].callerPart) +
                            ";" + kKinds[kind].number + ";18 101;9.99;");
        }
        std::vector<std::string> args =
            outgoing ? CalleeArgs(ports_, true)
                     : CallersArgs(ports_, "127.0.0.1:" + std::to_string(ports_.phoneSip), lines);
        // a long run outlasts the usual global limit
        args.insert(args.end(),
                    {"-r", "50", "-timeout", std::to_string(30 + 10 * calls.size()) + "s"});
        SippPeer sipp(outgoing ? "callee" : "callers", ports_, static_cast<int>(calls.size()),
                      args);
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        for (const size_t kind : calls) {
            SCOPED_TRACE("call " + std::to_string(callsDone + 1) + " (" + kKinds[kind].number +
                         ")");
            RunCall(kKinds[kind]);
            ASSERT_FALSE(testing::Test::HasFatalFailure()) << sipp.Log();
            ++callsDone;
        }
        ASSERT_EQ(sipp.WaitForExit(kWaitMs), 0) << sipp.Log();
        // Whatever was still on its way (a copy of a doubled message) has been handled.
        ASSERT_TRUE(WaitUntil([&] { return manager_.ChangeState(true, CallManagerThread::Idle); },
                              kWaitMs));
    }

    int callsDone = 0;
    long voicePackets = 0;

private:
    void RunCall(const Kind& kind) {
        while (farEnd_.Receive(0)) {
        }
        if (kind.callerPart == 0) {
            ASSERT_TRUE(manager_.Dial(kind.number));
        }
        if (!kind.waitFor.empty()) {
            ASSERT_TRUE(WaitForRow(kind.waitFor));
        }
        if (kind.answer) {
            ASSERT_TRUE(manager_.Answer());
        }
        if (kind.voice >= 0) {
            ASSERT_TRUE(WaitForRow(">Voice Channel created!"));
            ASSERT_GE(ExchangeVoice(kind.voice), std::max(kind.voice, 1));
        }
        if (kind.hangUp) {
            ASSERT_TRUE(manager_.HangUp());
        }
        ASSERT_TRUE(WaitForRow(kNotice));
        Rows expected = kind.rows;
        expected.push_back(kNotice);
        EXPECT_EQ(rows_.TakeThrough(kNotice), expected);
        if (kind.callerPart == 0) {
            // Nothing else can start a call meanwhile: the phone must be idle right now.
            EXPECT_TRUE(manager_.ChangeState(true, CallManagerThread::Idle));
        }
    }

    bool WaitForRow(const std::string& row) {
        const bool found = WaitUntil([&] { return rows_.Has(row); }, kWaitMs);
        std::string text;
        for (const std::string& shown : rows_.Pending()) {
            text += "  " + shown + "\n";
        }
        EXPECT_TRUE(found) << "no row " << row << "; rows of the call:\n" << text;
        return found;
    }

    // Echoes the phone's RTP until packets came (when more than 0) or the far end's hang-up
    // cleared the call; returns how many came. Every one must be G.729.
    int ExchangeVoice(int packets) {
        int received = 0;
        WaitUntil(
            [&] {
                while (auto packet = farEnd_.Receive(0)) {
                    EXPECT_TRUE(IsG729(*packet));
                    farEnd_.Reply(*packet);
                    ++received;
                }
                return packets > 0 ? received >= packets : rows_.Has(">Call cleared!");
            },
            kWaitMs, 2);
        voicePackets += received;
        return received;
    }

    const CallPorts ports_;
    CallManagerThread& manager_;
    SoakMessageList& rows_;
    UdpPeer farEnd_;
};

class IdleThread final : public TThread {
protected:
    void Execute() override {}
};

void Print(const char* when, const Figures& figures) {
    std::printf("[ soak     ] %-34s %s\n", when, figures.Text().c_str());
}

TEST(CallSoak, CallsOfEveryKindLeaveNoThreadDescriptorOrMemoryBehind) {
    const int total = SoakCallCount();
    const std::vector<std::vector<size_t>> plan = PlanCalls(total);
    const CallPorts ports = PickCallPorts();
    SoakMessageList rows;
    const std::string tone = testing_support::BinaryPath("soak_tone.wav");
    std::vector<int16_t> samples(8000);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * i / 8000.0));
    }
    platform::WriteWavFile(tone, samples);
    // Sanitizer runtimes start a helper thread along with the process's first thread, and
    // the walks have first-time costs: both before the first figures.
    IdleThread helper;
    helper.Resume();
    helper.TerminateAndWait();
    Figures::Measure();
    const Figures withoutPhone = Figures::Measure();
    Print("before the call manager:", withoutPhone);
    Figures idleBefore, idleAfter;
    int callsDone = 0;
    {
        TestPhone phone(ports);
        phone.audio.SetInputDevices({platform::VirtualAudioDevice("Virtual Microphone", tone)});
        phone.manager->SetMessageList(&rows);
        phone.manager->Resume();
        SoakDriver driver(ports, *phone.manager, rows);
        for (size_t i = 0; i < plan.size(); ++i) {
            if (i == 2) {
                idleBefore = Figures::Measure();
                Print("idle after the warm-up calls:", idleBefore);
            }
            driver.Run(plan[i]);
            ASSERT_FALSE(HasFatalFailure()) << "after " << driver.callsDone << " calls";
        }
        if (plan.size() == 2) {
            idleBefore = Figures::Measure();
        }
        idleAfter = Figures::Settled(idleBefore);
        Print("idle after the last call:", idleAfter);
        std::printf("[ soak     ] %d calls, %ld voice packets echoed\n", driver.callsDone,
                    driver.voicePackets);
        callsDone = driver.callsDone;
    }
    const Figures gone = Figures::Settled(withoutPhone);
    Print("after the call manager is gone:", gone);

    EXPECT_EQ(callsDone, total);
    EXPECT_TRUE(idleAfter.SameHandles(idleBefore))
        << "before: " << idleBefore.Text() << "\nafter: " << idleAfter.Text();
    EXPECT_TRUE(gone.SameHandles(withoutPhone))
        << "before: " << withoutPhone.Text() << "\nafter: " << gone.Text();
    EXPECT_LE(idleAfter.heap - idleBefore.heap, kHeapSlackBytes);
    EXPECT_LE(gone.heap - withoutPhone.heap, kLifeSlackBytes);
}

}  // namespace
