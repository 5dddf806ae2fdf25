// A long run of calls of every kind in both directions against sipp, with the call manager's
// own thread running as in the program: afterwards the phone must be idle with no more
// threads, descriptors or sockets than before, and its heap must not have grown.
// SOFTPHONE_SOAK_CALLS sets the number of calls. What each kind of call shows and sends is
// checked call by call in CallSippTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioWavFile.h"
#include "platform/TThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

// g++ ships the sanitizer runtimes without their interface headers; the entry is stable.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZER_HEAP 1
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using namespace call_testing;
using testing_support::WaitUntil;

constexpr int kWaitMs = 10000;
constexpr size_t kKindsPerDirection = 4, kCallsPerSipp = 8;
// What may come and go in the heap between two idle moments without being a leak (malloc's
// per-thread caches count as in use), and over the call manager's whole life, with the
// first load of the codec library and the first threads.
constexpr long kHeapSlackBytes = 32 * 1024, kLifeSlackBytes = 64 * 1024;
// Every call ends with the operator's balance notice, shown after everything else of it.
const std::string kNotice = ">Balance:9.99";

// One kind of call: the number dialled (scenarios/callee.xml) or, with its part in
// scenarios/callers.xml, the caller's (part 0: outgoing); the phone's voice echoed (-1 none,
// 0 until the far end clears, else that many packets before the phone hangs up); whether the
// phone answers and whether it hangs up, both once it rings.
struct Kind {
    std::string number;
    int callerPart, voice;
    bool answer, hangUp;
};
const Kind kKinds[] = {{"5001", 0, 10, false, true},  {"5002", 0, 0, false, false},
                       {"486", 0, -1, false, false},  {"5004", 0, -1, false, true},
                       {"6001", 1, 10, true, true},   {"6002", 2, 0, true, false},
                       {"6003", 3, -1, false, false}, {"6004", 4, -1, false, true}};

// The window's message list for a long run: each call's rows are taken off it, so that its
// own memory stays flat.
class SoakMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override {
        WithLock(lock_, [&] { rows_.push_back(row); });
    }
    void ShowLastRows(int /*rows*/) override {}
    bool Has(const std::string& row) {
        return WithLock(lock_, [&] { return std::count(rows_.begin(), rows_.end(), row) > 0; });
    }
    void DropThrough(const std::string& last) {
        WithLock(lock_, [&] {
            rows_.erase(rows_.begin(), std::find(rows_.begin(), rows_.end(), last) + 1);
        });
    }

private:
    TCriticalSection lock_;
    std::deque<std::string> rows_;
};

// What a long run of calls could leak: threads, descriptors (sockets among them), heap.
struct Figures {
    std::array<long, 3> handles{};  // threads, descriptors, sockets among them
    long heap = 0;

    static Figures Measure() {
        Figures f;
        for (const char* folder : {"/proc/self/task", "/proc/self/fd"}) {
            std::error_code error;
            for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                std::error_code linkError;
                ++f.handles[folder[11] == 'f'];
                f.handles[2] += std::filesystem::read_symlink(it->path(), linkError)
                                    .native()
                                    .rfind("socket:", 0) == 0;
            }
        }
#ifdef SOAK_SANITIZER_HEAP
        f.heap = static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
        f.heap = static_cast<long>(mallinfo2().uordblks);  // last, once the walks gave it back
#endif
        return f;
    }
    // Once whatever was ending has ended (joined threads may take a moment to leave).
    static Figures Settled(const Figures& expected) {
        WaitUntil([&] { return Measure().handles == expected.handles; }, 3000, 20);
        return Measure();
    }
};

int SoakCallCount() {
    const char* text = std::getenv("SOFTPHONE_SOAK_CALLS");
    const long calls = text != nullptr ? std::atol(text) : 24;
    return static_cast<int>(std::clamp<long>(calls, 2 * kKindsPerDirection, 100000));
}

// Runs of calls of one direction each (indices into kKinds), the directions in turn: first
// every kind once in each, then at most kCallsPerSipp calls a run, every kind in turn but
// shuffled each time, so that every kind follows every other in a long run.
std::vector<std::vector<size_t>> PlanCalls(size_t total) {
    std::mt19937 random(20240611);  // fixed: a failing run can be repeated call for call
    std::vector<std::vector<size_t>> runs;
    for (size_t left = total, n = 0; left > 0; ++n) {
        const size_t count = std::min(left, n < 2 ? kKindsPerDirection : kCallsPerSipp);
        std::vector<size_t> calls;
        while (calls.size() < count) {
            std::vector<size_t> kinds = {0, 1, 2, 3};
            std::shuffle(kinds.begin(), kinds.end(), random);
            for (size_t k = 0; k < kinds.size() && calls.size() < count; ++k) {
                calls.push_back(kinds[k] + n % 2 * kKindsPerDirection);
            }
        }
        runs.push_back(calls);
        left -= count;
    }
    return runs;
}

// Drives the resumed call manager through one call after another as the window would, the
// test's socket playing the far end's RTP: it echoes the phone's voice (real G.729 from a
// 440 Hz tone), so the phone's receive thread decodes it too.
struct SoakDriver {
    void Run(const std::vector<size_t>& calls) {
        const bool outgoing = kKinds[calls[0]].callerPart == 0;
        std::vector<std::string> lines;
        for (const size_t kind : calls) {
            lines.push_back(kKinds[kind].number + ";" + std::to_string(kKinds[kind].callerPart) +
                            ";" + kKinds[kind].number + ";18 101;9.99;");
        }
        std::vector<std::string> args =
            outgoing ? CalleeArgs(ports, true)
                     : CallersArgs(ports, "127.0.0.1:" + std::to_string(ports.phoneSip), lines);
        // a long run outlasts the usual global limit
        args.insert(args.end(),
                    {"-r", "50", "-timeout", std::to_string(30 + 10 * calls.size()) + "s"});
        SippPeer sipp(outgoing ? "callee" : "callers", ports, static_cast<int>(calls.size()), args);
        ASSERT_TRUE(sipp.Listening()) << sipp.Log();
        for (const size_t kind : calls) {
            SCOPED_TRACE("call " + std::to_string(++callsDone) + " (" + kKinds[kind].number + ")");
            RunCall(kKinds[kind]);
            ASSERT_FALSE(testing::Test::HasFatalFailure()) << sipp.Log();
        }
        ASSERT_EQ(sipp.WaitForExit(kWaitMs), 0) << sipp.Log();
        // Whatever was still on its way (a copy of a doubled message) has been handled.
        ASSERT_TRUE(
            WaitUntil([&] { return manager.ChangeState(true, CallManagerThread::Idle); }, kWaitMs));
    }

    void RunCall(const Kind& kind) {
        while (farEnd.Receive(0)) {
        }
        ASSERT_TRUE(kind.callerPart != 0 || manager.Dial(kind.number));
        const bool rings =
            kind.callerPart != 0 ? kind.answer || kind.hangUp : kind.hangUp && kind.voice < 0;
        ASSERT_TRUE(!rings || WaitForRow(kind.callerPart != 0 ? ">Calling from " + kind.number
                                                              : ">Ringing!"));
        ASSERT_TRUE(!kind.answer || manager.Answer());
        if (kind.voice >= 0) {
            ASSERT_TRUE(WaitForRow(">Voice Channel created!"));
            // Echoes the phone's RTP until enough came or the far end's hang-up cleared it.
            int received = 0;
            WaitUntil(
                [&] {
                    for (; auto packet = farEnd.Receive(0); ++received) {
                        farEnd.Reply(*packet);
                    }
                    return kind.voice > 0 ? received >= kind.voice : rows.Has(">Call cleared!");
                },
                kWaitMs, 2);
            ASSERT_GE(received, std::max(kind.voice, 1));
            voicePackets += received;
        }
        ASSERT_TRUE(!kind.hangUp || manager.HangUp());
        ASSERT_TRUE(WaitForRow(kNotice));
        rows.DropThrough(kNotice);
    }

    bool WaitForRow(const std::string& row) {
        const bool found = WaitUntil([&] { return rows.Has(row); }, kWaitMs);
        EXPECT_TRUE(found) << "no row " << row;
        return found;
    }

    const CallPorts ports;
    CallManagerThread& manager;
    SoakMessageList& rows;
    UdpPeer farEnd{ports.peerRtp};
    int callsDone = 0;
    long voicePackets = 0;
};

class IdleThread final : public TThread {
protected:
    void Execute() override {}
};

TEST(CallSoak, CallsOfEveryKindLeaveNoThreadDescriptorOrMemoryBehind) {
    const int total = SoakCallCount();
    const std::vector<std::vector<size_t>> plan = PlanCalls(static_cast<size_t>(total));
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
    Figures idleBefore, idleAfter;
    {
        TestPhone phone(ports);
        phone.audio.SetInputDevices({platform::VirtualAudioDevice("Virtual Microphone", tone)});
        phone.manager->SetMessageList(&rows);
        phone.manager->Resume();
        SoakDriver driver{ports, *phone.manager, rows};
        for (size_t i = 0; i < plan.size(); ++i) {
            idleBefore = i == 2 ? Figures::Measure() : idleBefore;  // after the warm-up calls
            driver.Run(plan[i]);
            ASSERT_FALSE(HasFatalFailure()) << "after " << driver.callsDone << " calls";
        }
        idleBefore = plan.size() == 2 ? Figures::Measure() : idleBefore;
        idleAfter = Figures::Settled(idleBefore);
        EXPECT_EQ(driver.callsDone, total);
        std::printf("[ soak     ] %d calls, %ld voice packets echoed\n", driver.callsDone,
                    driver.voicePackets);
    }
    const Figures gone = Figures::Settled(withoutPhone);
    for (const auto& [before, after] : {std::pair(idleBefore, idleAfter), {withoutPhone, gone}}) {
        EXPECT_EQ(after.handles, before.handles);
        std::printf("[ soak     ] heap in use %ld bytes, then %ld\n", before.heap, after.heap);
    }
    EXPECT_LE(idleAfter.heap - idleBefore.heap, kHeapSlackBytes);
    EXPECT_LE(gone.heap - withoutPhone.heap, kLifeSlackBytes);
}

}  // namespace
