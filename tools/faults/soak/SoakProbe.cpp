// A long run of calls of every kind both ways against sipp, the call manager's thread running as
// in the program: the phone is left idle with no more threads, descriptors, sockets or heap than
// before. SOFTPHONE_SOAK_CALLS sets the number; scripts/soak.sh runs it. The call tests check
// each kind in detail, and that one call of each leaves nothing behind.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <random>
#include <thread>

#include "tests/support/CallSippSupport.h"
#include "tests/support/LeakCheck.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using testing_support::MeasureResources;
using testing_support::ResourceFigures;
using testing_support::WaitUntil;

constexpr int kWaitMs = 10000;

// A kind of call: the number dialled (scenarios/callee.xml) or calling (part > 0 of
// scenarios/callers.xml); voice echoed (-1 none, 0 until the far end clears, else packets
// before the phone hangs up); whether the phone answers and hangs up, both once it rings.
struct Kind {
    std::string number;
    int callerPart, voice;
    bool answer, hangUp;
};
const Kind kKinds[] = {{"5001", 0, 10, false, true},  {"5002", 0, 0, false, false},
                       {"486", 0, -1, false, false},  {"5004", 0, -1, false, true},
                       {"6001", 1, 10, true, true},   {"6002", 2, 0, true, false},
                       {"6003", 3, -1, false, false}, {"6004", 4, -1, false, true}};

// The window's message list, its rows gone once taken: its memory stays flat in a long run.
class SoakMessageList final : public MessageListView {
    TCriticalSection lock_;
    std::deque<std::string> rows_;

public:
    void AppendRow(const std::string& row) override {
        WithLock(lock_, [&] { rows_.push_back(row); });
    }
    void ShowLastRows(int /*rows*/) override {}
    // Whether row was shown within timeoutMs; if so it goes, with every row before it.
    bool Take(const std::string& row, int timeoutMs = kWaitMs) {
        return WaitUntil(
            [&] {
                std::lock_guard<TCriticalSection> hold(lock_);
                const auto found = std::find(rows_.begin(), rows_.end(), row);
                const bool there = found != rows_.end();
                rows_.erase(rows_.begin(), there ? found + 1 : rows_.begin());
                return there;
            },
            timeoutMs);
    }
};

TEST(CallSoak, CallsOfEveryKindLeaveNoThreadDescriptorOrMemoryBehind) {
    const char* text = std::getenv("SOFTPHONE_SOAK_CALLS");
    const size_t total = std::clamp<long>(text != nullptr ? std::atol(text) : 24, 8, 100000);
    const CallPorts ports = PickCallPorts();
    UdpPeer farEnd{ports.peerRtp};
    SoakMessageList rows;
    std::thread([] {}).join();  // sanitizers start a helper thread with the first thread
    MeasureResources();         // the walks cost more the first time
    const ResourceFigures withoutPhone = MeasureResources();
    ResourceFigures idleBefore, idleAfter;
    size_t done = 0;
    {
        TestPhone phone(ports);
        CallManagerThread& manager = *phone.manager;
        manager.SetMessageList(&rows);
        manager.Resume();
        // One call as the window drives it, the far end echoing the phone's voice (decoded by
        // its receive thread too); the balance notice is shown last in every call.
        const auto call = [&](const Kind& kind) {
            farEnd.ReceiveAll();
            const bool incoming = kind.callerPart != 0;
            ASSERT_TRUE(incoming || manager.Dial(kind.number));
            const bool rings =
                incoming ? kind.answer || kind.hangUp : kind.hangUp && kind.voice < 0;
            ASSERT_TRUE(!rings ||
                        rows.Take(incoming ? ">Calling from " + kind.number : ">Ringing!"));
            ASSERT_TRUE(!kind.answer || manager.Answer());
            if (kind.voice >= 0) {
                ASSERT_TRUE(rows.Take(">Voice Channel created!"));
                // Echoes the phone's RTP until enough came or the far end's hang-up cleared it.
                int received = 0;
                WaitUntil(
                    [&] {
                        for (; auto packet = farEnd.Receive(0); ++received) {
                            farEnd.Reply(*packet);
                        }
                        return kind.voice > 0 ? received >= kind.voice
                                              : rows.Take(">Call cleared!", 0);
                    },
                    kWaitMs, 2);
                ASSERT_GE(received, std::max(kind.voice, 1));
            }
            ASSERT_TRUE(!kind.hangUp || manager.HangUp());
            ASSERT_TRUE(rows.Take(">Balance:9.99"));
        };
        // Runs of one direction against one sipp each, in turn: every kind once each way to
        // warm up, then runs of 8, reshuffled every four calls so that every kind follows
        // every other; the fixed seed lets a failing run be repeated call for call.
        std::mt19937 random(20240611);
        std::array<size_t, 4> order = {0, 1, 2, 3};
        for (size_t run = 0; done < total; ++run) {
            std::vector<Kind> kinds;
            std::vector<std::string> lines;
            for (size_t i = 0; i < std::min<size_t>(total - done, run < 2 ? 4 : 8); ++i) {
                if (i % 4 == 0) {
                    std::shuffle(order.begin(), order.end(), random);
                }
                const Kind& k = kinds.emplace_back(kKinds[order[i % 4] + run % 2 * 4]);
                lines.push_back(k.number + ";" + std::to_string(k.callerPart) + ";" + k.number +
                                ";18 101;9.99;");
            }
            std::vector<std::string> args =
                run % 2 == 0
                    ? CalleeArgs(ports, true)
                    : CallersArgs(ports, "127.0.0.1:" + std::to_string(ports.phoneSip), lines);
            // a long run outlasts the usual global limit
            args.insert(args.end(),
                        {"-r", "50", "-timeout", std::to_string(30 + 10 * kinds.size()) + "s"});
            SippPeer sipp(run % 2 == 0 ? "callee" : "callers", ports,
                          static_cast<int>(kinds.size()), args);
            ASSERT_TRUE(sipp.Listening()) << sipp.Log();
            for (const Kind& kind : kinds) {
                SCOPED_TRACE("call " + std::to_string(++done) + " (" + kind.number + ")");
                call(kind);
                ASSERT_FALSE(HasFatalFailure()) << sipp.Log();
            }
            ASSERT_EQ(sipp.WaitForExit(kWaitMs), 0) << sipp.Log();
            // Whatever was still on its way (a copy of a doubled message) has been handled.
            ASSERT_TRUE(WaitUntil([&] { return phone.InState(CallManagerThread::Idle); }, kWaitMs));
            idleBefore = run == 1 ? MeasureResources() : idleBefore;
        }
        idleAfter = MeasureResources(&idleBefore);
    }
    const ResourceFigures gone = MeasureResources(&withoutPhone);
    // Heap that comes and goes without a leak: malloc's per-thread caches between two idle
    // moments; over the manager's life also the codec library's first load, the first threads.
    for (const auto& [before, after, slack] :
         {std::tuple(idleBefore, idleAfter, 32 * 1024L), {withoutPhone, gone, 64 * 1024L}}) {
        EXPECT_EQ(after.handles, before.handles);
        EXPECT_LE(after.heap - before.heap, slack);
        std::printf("[ soak     ] %zu calls; heap in use %ld bytes, then %ld\n", done, before.heap,
                    after.heap);
    }
}

}  // namespace
