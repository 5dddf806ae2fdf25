#include "call/CallManagerThread.h"

#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "call/HandsetRinger.h"
#include "platform/Audio.h"
#include "platform/AudioVirtual.h"
#include "tests/call/CallTestDoubles.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::FirstLine;
using call_testing::HeaderValue;
using call_testing::RecordingMessageList;
using call_testing::UdpPeer;

// A call or a registration starts only from Idle; busy states return only to Idle.
TEST(CallManagerState, EveryTransitionOfTheTable) {
    using M = CallManagerThread;
    for (const int from : {M::Idle, M::Incoming, M::Outgoing, M::Registering}) {
        for (const int to : {M::Idle, M::Incoming, M::Outgoing, M::Registering}) {
            CallManagerThread manager(false);
            ASSERT_EQ(manager.ChangeState(false, from), from != M::Idle);
            const bool allowed = (from == M::Idle) != (to == M::Idle);
            EXPECT_EQ(manager.ChangeState(false, to), allowed) << from << " -> " << to;
            EXPECT_TRUE(manager.ChangeState(true, allowed ? to : from)) << from << " -> " << to;
        }
    }
}

class CallManagerTest : public ::testing::Test {
protected:
    CallManagerTest() {
        manager.SetMessageList(&list);
        manager.SetAccount("1001", "secret");
        manager.SetProxy("127.0.0.1", proxy.Port());
        manager.SetLocalAddress("192.168.1.20");
        manager.SetLocalPort(0);
        manager.SetRtpPort(18598);
    }

    std::vector<std::string> Drain(int windowMs = 100) { return proxy.ReceiveAll(windowMs); }

    testing_support::FakeClock clock{1'700'000'000};
    UdpPeer proxy;
    RecordingMessageList list;
    struct : HandsetRinger {
        void RingHandset() override { ++rings; }
        int rings = 0;  // touched only by the thread that runs the cycles
    } ringer;
    CallManagerThread manager{false};
};

TEST_F(CallManagerTest, ShowLineWrapsIntoRowsOfThirtyAndKeepsTheLastFourInView) {
    manager.ShowLine("Trying...");
    manager.ShowLine("0123456789012345678901234567890123456789");
    manager.ShowLine(std::string(29, 'x'));
    EXPECT_EQ(list.Rows(), (std::vector<std::string>{">Trying...", ">01234567890123456789012345678",
                                                     " 90123456789", ">" + std::string(29, 'x')}));
    EXPECT_EQ(list.ShowLastRowsCalls(), (std::vector<int>{4, 4, 4}));
}

TEST_F(CallManagerTest, DoubleStarSplitsTheDialledTextExceptAtTheStart) {
    ASSERT_TRUE(manager.DoDial("12345**678"));
    EXPECT_EQ(FirstLine(manager.SendBuffer) + HeaderValue(manager.SendBuffer, "To: "),
              "INVITE sip:12345@127.0.0.1 SIP/2.0<sip:12345@127.0.0.1>");
    EXPECT_EQ(list.Rows(), (std::vector<std::string>{">Calling to : 12345**678"}));
    EXPECT_TRUE(manager.DtmfPending && manager.DtmfDigits == "678");
    EXPECT_FALSE(manager.DoDial("999"));  // a call is in progress
    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Idle));
    ASSERT_TRUE(manager.DoDial("**12"));
    EXPECT_EQ(FirstLine(manager.SendBuffer), "INVITE sip:**12@127.0.0.1 SIP/2.0");
    EXPECT_FALSE(manager.DtmfPending || !manager.DtmfDigits.empty());
    // A phone that must register first refuses to dial before it has.
    CallManagerThread unregistered(true);
    unregistered.SetMessageList(&list);
    EXPECT_FALSE(unregistered.DoDial("4321"));
    EXPECT_TRUE(unregistered.ChangeState(true, CallManagerThread::Idle));
    EXPECT_TRUE(unregistered.SendBuffer.empty());
}

TEST_F(CallManagerTest, PostedOperationsWaitForTheLoopAndAreDroppedAfterTerminate) {
    manager.Start();
    EXPECT_FALSE(manager.Dial(""));
    ASSERT_TRUE(manager.Dial("4321"));
    EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Idle));
    manager.RunCycle();
    EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Outgoing));
    EXPECT_EQ(FirstLine(proxy.Receive().value_or("")), "INVITE sip:4321@127.0.0.1 SIP/2.0");

    manager.Terminate();
    EXPECT_FALSE(manager.HangUp());
}

// Stray BYE, CANCEL and ACK outside a call: handled one per cycle; the BYE and CANCEL name
// no dialog of ours and get 481, the ACK nothing.
TEST_F(CallManagerTest, OneReceivedMessagePerCycle) {
    manager.Start();
    for (const int code : {1002, 1004, 1003}) {
        auto message = std::make_unique<CSIPSDPMessage>();
        message->Code = code;
        message->CSeqText = "1 BYE";
        ASSERT_GE(manager.Queue->Enqueue(std::move(message)), 0);
    }
    for (int left = 2; left >= 0; --left) {
        manager.RunCycle();
        EXPECT_EQ(manager.Queue->Count(), left);
    }
    EXPECT_EQ(manager.CurrentMessage, nullptr);
    const std::vector<std::string> sent = Drain(50);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(
        FirstLine(sent[0]) + FirstLine(sent[1]),
        "SIP/2.0 481 Call/Transaction Does Not ExistSIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_TRUE(list.Rows().empty());
    EXPECT_EQ(list.ShowLastRowsCalls(), (std::vector<int>{4, 4, 4}));
}

// Keys go only in a connected outgoing call, each twice, 350 ms before each ("x" sends
// nothing but keeps its gap).
TEST_F(CallManagerTest, DtmfBurstSendsEachKeyTwiceOnceConnected) {
    manager.Start();
    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Incoming));
    manager.Connected = true;
    EXPECT_FALSE(manager.DoSendDtmf(20));
    ASSERT_TRUE(manager.ChangeState(false, CallManagerThread::Idle));
    manager.Connected = false;
    ASSERT_TRUE(manager.DoDial("123**4x5"));
    EXPECT_FALSE(manager.DoSendDtmf(15));  // not answered yet
    manager.RunCycle();
    EXPECT_TRUE(manager.DtmfPending);
    EXPECT_EQ(Drain(50).size(), 1u);  // the INVITE alone

    manager.Connected = true;  // as the 200 handling leaves it
    const auto start = std::chrono::steady_clock::now();
    manager.RunCycle();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * 350));
    const std::vector<std::string> sent = Drain();
    ASSERT_EQ(sent.size(), 4u);
    for (const int i : {0, 2}) {
        EXPECT_EQ(sent[i], sent[i + 1]);
        const std::string n = std::to_string(i / 2 + 1), key = std::to_string(i / 2 + 4);
        EXPECT_EQ(HeaderValue(sent[i], "CSeq: ") + sent[i].substr(sent[i].find("\r\n\r\n")),
                  n + " INFO\r\n\r\nSignal= " + key + "\r\nDuration= 250\r\n");
        EXPECT_TRUE(list.HasRow(">Press Button : " + key));
    }
    EXPECT_FALSE(manager.DtmfPending || !manager.DtmfDigits.empty());
}

TEST_F(CallManagerTest, HandsetRingsEveryTwoHundredCyclesWhileRinging) {
    manager.SetHandsetRinger(&ringer);
    for (int i = 0; i < 206; ++i) {
        manager.HandsetRinging = i >= 5;
        manager.RunCycle();
        EXPECT_EQ(ringer.rings, i < 5 ? 0 : i < 205 ? 1 : 2) << i;
    }
}

bool CodecLibraryMapped() {
    const auto found = [](dl_phdr_info* info, size_t, void*) -> int {
        return info->dlpi_name != nullptr &&
               std::string(info->dlpi_name).ends_with(CallManagerThread::kCodecLibraryName);
    };
    return dl_iterate_phdr(found, nullptr) != 0;
}

// Every settings change builds a new call manager: each must let go of the codec it loaded,
// or the library is never unloaded however often the phone restarts.
TEST(CallManagerLifetime, ReleasesTheCodecLibraryItLoaded) {
    {
        CallManagerThread first(false);
        CallManagerThread second(false);
        ASSERT_NE(first.CodecLibrary, nullptr);
        ASSERT_NE(second.CodecLibrary, nullptr);
        EXPECT_TRUE(CodecLibraryMapped());
    }
    EXPECT_FALSE(CodecLibraryMapped());
}

TEST(OffersPayload, IsATextualTestOfThePayloadList) {
    for (const auto& [list, offers] : {std::pair{"18 4 101", true},
                                       {"0 18", true},
                                       {"18", true},
                                       {"118 0", true},
                                       {"181", false},
                                       {"18a", false},
                                       {"", false}}) {
        EXPECT_EQ(CallManagerThread::OffersPayload(18, list), offers) << list;
    }
}

// Received messages put straight into the queue, one cycle each, over the virtual audio
// back end (the ring device of an incoming call opens the speaker).
class CallManagerHandlerTest : public CallManagerTest {
protected:
    CallManagerHandlerTest() {
        platform::SetAudioBackEnd(&audio);
        manager.SetLocalAddress("127.0.0.1");
        manager.Start();
    }
    ~CallManagerHandlerTest() override {
        manager.ReleaseAll();  // no media object may outlive the back end
        platform::SetAudioBackEnd(nullptr);
    }

    void Deliver(std::unique_ptr<CSIPSDPMessage> message) {
        ASSERT_GE(manager.Queue->Enqueue(std::move(message)), 0);
        manager.RunCycle();
    }
    // A request from the caller, as the parser leaves it: the dialog's first INVITE (CSeq 7),
    // or an ACK or re-INVITE within it; media from 127.0.0.1:mediaPort, or 10.0.0.9:40000.
    static std::unique_ptr<CSIPSDPMessage> Request(const std::string& call = "call-1",
                                                   const std::string& cseq = "7 INVITE",
                                                   uint16_t mediaPort = 0) {
        auto m = std::make_unique<CSIPSDPMessage>();
        const std::string method = cseq.substr(cseq.find(' ') + 1);
        m->Code = method == "ACK" ? 1003 : 1000;
        m->StartLine = method + " sip:1001@127.0.0.1 SIP/2.0";
        m->FromValue = "\"x\" <sip:3456@10.0.0.9>;tag=abc";
        m->ToValue = "<sip:1001@127.0.0.1>";
        if (cseq != "7 INVITE") {
            m->ToValue += ";tag=callee";
            m->ToTag = "callee";
        }
        m->CallID = call;
        m->CSeqText = cseq;
        m->ViaList = "Via: SIP/2.0/UDP 10.0.0.9:5060;branch=z9hG4bK" + call + cseq + "#**#";
        m->ContactURI = "sip:3456@10.0.0.9:5060";
        m->MediaAddress = mediaPort != 0 ? "127.0.0.1" : "10.0.0.9";
        m->MediaPort = mediaPort != 0 ? mediaPort : 40000;
        m->MediaPayloads = "0 18";
        return m;
    }

    platform::VirtualAudioBackEnd audio;
};

TEST_F(CallManagerHandlerTest, HangUpOfARingingCallSendsTwoIdenticalBusyHere) {
    manager.SelectAudioDevices(true, 2);  // a USB handset is attached
    Deliver(Request());
    EXPECT_TRUE(list.HasRow(">Calling from 3456"));
    ASSERT_NE(manager.RingDevice, nullptr);
    EXPECT_TRUE(manager.HandsetRinging);
    EXPECT_EQ(manager.Composer.RequestUri, "3456@10.0.0.9:5060");
    Drain(50);
    manager.DoHangUp();
    const std::vector<std::string> sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_EQ(FirstLine(sent[0]) + HeaderValue(sent[0], "CSeq: "), "SIP/2.0 486 Busy Here7 INVITE");
    EXPECT_EQ(manager.RingDevice, nullptr);
    EXPECT_FALSE(manager.HandsetRinging);
    EXPECT_EQ(list.Rows().back(), ">Call cleared!");
    EXPECT_TRUE(manager.ChangeState(true, CallManagerThread::Idle));
}

// A far end that falls silent in a connected call: told after 10 s, hung up with a BYE after
// 60 s; one that put the call on hold is left alone.
TEST_F(CallManagerHandlerTest, SilentFarEndIsToldAndThenHungUpUnlessItHolds) {
    const struct {
        const char* holdDirection;  // a re-INVITE first with this a= line; nullptr: none
        bool hungUp;                // told after 10 s, hung up after 60 s
    } cases[] = {{nullptr, true}, {"inactive", false}, {"sendrecv", true}};
    UdpPeer farEnd;
    int callNumber = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.holdDirection != nullptr ? c.holdDirection : "silent");
        const size_t firstRow = list.Rows().size();
        const auto told = [&] {
            const std::vector<std::string> rows = list.Rows();
            return std::count(rows.begin() + firstRow, rows.end(), ">No voice from the far end!");
        };
        const std::string call = "silent-" + std::to_string(++callNumber);
        clock.SetTickCount(1000);
        Deliver(Request(call, "7 INVITE", farEnd.Port()));
        manager.DoAnswer();
        ASSERT_TRUE(manager.Connected);
        // The caller's ACK: the phone stops resending its 200 (which it would otherwise give
        // up on with a BYE of its own).
        Deliver(Request(call, "7 ACK"));
        if (c.holdDirection != nullptr) {
            auto reinvite = Request(call, "8 INVITE", farEnd.Port());
            reinvite->MediaDirection = c.holdDirection;
            Deliver(std::move(reinvite));
            Deliver(Request(call, "8 ACK"));
        }
        Drain(50);
        for (const uint32_t ms : {9990, 10000, 60000}) {
            clock.SetTickCount(1000 + ms);
            manager.RunCycle();
            EXPECT_EQ(told(), c.hungUp && ms >= 10000 ? 1 : 0) << ms;
        }
        const std::vector<std::string> sent = Drain();
        EXPECT_EQ(std::any_of(sent.begin(), sent.end(),
                              [](const std::string& m) { return m.starts_with("BYE "); }),
                  c.hungUp);
        EXPECT_EQ(manager.ChangeState(true, CallManagerThread::Idle), c.hungUp);
        if (c.hungUp) {
            EXPECT_EQ(list.Rows().back(), ">Call cleared!");
        } else {
            manager.DoHangUp();
        }
        farEnd.ReceiveAll(0);
    }
}

}  // namespace
