#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "handset/HandsetRegisters.h"
#include "handset/TjIpSys.h"
#include "platform/DynamicLibrary.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "tests/support/TestSupport.h"
#include "tools/handset-sim/TjIpSysSim.h"

// The handset binding, its keys and its registers against the simulated library, which the
// test program links in: the binding's load by name finds it already loaded.
namespace {

// Stands in for the window's queued delivery: remembers each key and the thread it came on.
class RecordingSink final : public HandsetKeySink {
public:
    void DeliverKey(int keyCode) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        keys_.push_back({keyCode, std::this_thread::get_id()});
    }
    std::vector<std::pair<int, std::thread::id>> Keys() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return keys_;
    }

private:
    TCriticalSection lock_;
    std::vector<std::pair<int, std::thread::id>> keys_;
};

std::vector<TjIpSysSimRequest> RecordedRequests() {
    std::vector<TjIpSysSimRequest> requests;
    TjIpSysSimRequest request{};
    for (int32_t i = 0; TjIpSysSim_GetRequest(i, &request) != 0; ++i) {
        requests.push_back(request);
    }
    return requests;
}

// Every test starts unbound, against a fresh simulated handset.
class SimulatedHandsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetHandsetBindingForTests();
        TjIpSysSim_Reset();
    }
    void TearDown() override { ResetHandsetBindingForTests(); }
    // Binds the handset and forgets the requests of the binding itself.
    void BindHandset() {
        ASSERT_TRUE(BindHandsetLibrary(sink));
        TjIpSysSim_ForgetRequests();
    }

    RecordingSink sink;
};

class BoundHandsetTest : public SimulatedHandsetTest {
protected:
    void SetUp() override {
        SimulatedHandsetTest::SetUp();
        BindHandset();
    }
};

using HandsetBindingTest = SimulatedHandsetTest;

TEST_F(HandsetBindingTest, OpensTheHandsetInUsbModeAndRegistersTheKeyCallback) {
    HandsetStatusWord = 0x1234;
    ASSERT_TRUE(BindHandsetLibrary(sink));
    EXPECT_TRUE(usbHandsetPresent);
    ASSERT_NE(HandsetLibrary, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(HandsetEntry),
              platform::FindEntry(HandsetLibrary, kHandsetEntryName));

    const auto requests = RecordedRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, kTjIpSysOpen);
    EXPECT_EQ(requests[0].a, reinterpret_cast<intptr_t>(HandsetLibrary));
    EXPECT_EQ(requests[0].b, reinterpret_cast<intptr_t>(&HandsetStatusWord));
    EXPECT_EQ(requests[0].statusWordBefore, 0);
    EXPECT_EQ(requests[1].code, kTjIpSysMode);
    EXPECT_EQ(requests[1].a, 0);
    EXPECT_STREQ(requests[1].text, "USB");
    EXPECT_EQ(requests[2].code, kTjIpSysSetCallback);
    EXPECT_EQ(requests[2].a, 0);
    ASSERT_EQ(requests[2].byteCount, 16);
    TjIpSysCallbackRecord record;
    std::memcpy(&record, requests[2].bytes, sizeof(record));
    EXPECT_EQ(record.callback, reinterpret_cast<intptr_t>(&HandsetCallback));
    EXPECT_EQ(record.user, reinterpret_cast<intptr_t>(&sink));
}

TEST_F(HandsetBindingTest, AFailedOpenFreesTheLibraryAndLeavesNoHandset) {
    TjIpSysSim_SetOpenResult(0);
    EXPECT_FALSE(BindHandsetLibrary(sink));
    EXPECT_FALSE(usbHandsetPresent);
    EXPECT_EQ(HandsetLibrary, nullptr);
    EXPECT_EQ(HandsetEntry, nullptr);
    const auto requests = RecordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kTjIpSysOpen);
    // No callback was handed over, so a key press reaches nobody.
    EXPECT_EQ(TjIpSysSim_PressKey(177, kHandsetKeyMessage), 0);
    EXPECT_TRUE(sink.Keys().empty());
}

// Only key messages with a key reach the sink, named by the low 16 bits, on the library's
// thread; the key's feedback belongs to its handling on the window's thread.
TEST_F(HandsetBindingTest, OnlyKeyMessagesReachTheSinkAndOnlyWhileItIsAttached) {
    BindHandset();
    TjIpSysSim_PressKey(177, kHandsetKeyMessage - 1);
    TjIpSysSim_PressKey(177, kHandsetKeyMessage + 1);
    TjIpSysSim_PressKey(kHandsetNoKey, kHandsetKeyMessage);
    EXPECT_TRUE(sink.Keys().empty());
    ASSERT_EQ(TjIpSysSim_PressKey(0x300B1, kHandsetKeyMessage), 1);
    ASSERT_EQ(sink.Keys().size(), 1u);
    EXPECT_EQ(sink.Keys()[0].first, 177);
    EXPECT_NE(sink.Keys()[0].second, std::this_thread::get_id());
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0);

    DetachHandsetKeySink();
    TjIpSysSim_PressKey(177, kHandsetKeyMessage);
    EXPECT_EQ(sink.Keys().size(), 1u);
}

using Actions = std::vector<std::string>;
using Feedback = std::vector<intptr_t>;

// The main window as the key handling sees it. Each action notes how many requests had
// reached the handset by then, to show that the feedback comes first.
class FakeWindow final : public HandsetKeyTarget {
public:
    void ClickDialPadButton(int button) override { Note("BitBtn" + std::to_string(button)); }
    void ClickDial() override { Note("Dial"); }
    void ClickDisconnect() override { Note("Disconnect"); }
    void ClickClear() override { Note("Clear"); }
    void ClickPhoneBook() override { Note("Book"); }
    bool PhoneBookVisible() const override { return phoneBookVisible; }
    int NumberHistoryCount() const override { return historyCount; }
    int NumberHistorySelectedIndex() const override { return selected; }
    void SelectNumberHistoryItem(int index) override {
        Note("Select" + std::to_string(index));
        selected = index;
    }

    Actions actions;
    std::vector<int> requestsBeforeAction;
    bool phoneBookVisible = false;
    int historyCount = 0;
    int selected = -1;

private:
    void Note(const std::string& action) {
        actions.push_back(action);
        requestsBeforeAction.push_back(TjIpSysSim_RequestCount());
    }
};

// The feedback values sent since the last call, in order.
Feedback TakeFeedback() {
    Feedback values;
    for (const TjIpSysSimRequest& request : RecordedRequests()) {
        EXPECT_EQ(request.code, kTjIpSysKeyFeedback);
        EXPECT_EQ(request.b, 0);
        values.push_back(request.a);
    }
    TjIpSysSim_ForgetRequests();
    return values;
}

using HandsetKeysTest = BoundHandsetTest;

TEST_F(HandsetKeysTest, EveryKeySendsItsFeedbackFirstAndThenRunsItsButton) {
    // The digit keys come column by column; the bottom row is "*", "0", "#" (BitBtn12, 11, 10).
    const struct {
        int key;
        int feedback;        // -1: none
        const char* action;  // nullptr: none
    } cases[] = {
        {177, 1, "BitBtn1"},    {178, 4, "BitBtn4"}, {183, 3, "BitBtn3"},   {185, 9, "BitBtn9"},
        {38, 0, "BitBtn12"},    {49, 0, "BitBtn11"}, {42, 0, "BitBtn10"},   {35, -1, "Dial"},
        {33, -1, "Disconnect"}, {78, 4, "Clear"},    {82, -1, "Book"},      {0, -1, nullptr},
        {32, -1, nullptr},      {34, -1, nullptr},   {176, -1, nullptr},    {186, -1, nullptr},
        {241, -1, nullptr},     {243, -1, nullptr},  {0xFFFF, -1, nullptr}, {-1, -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        FakeWindow window;
        HandleHandsetKey(window, c.key);
        EXPECT_EQ(TakeFeedback(), c.feedback < 0 ? Feedback{} : Feedback{c.feedback});
        EXPECT_EQ(window.actions, c.action ? Actions{c.action} : Actions{});
        EXPECT_EQ(window.requestsBeforeAction,
                  c.action ? std::vector<int>{c.feedback < 0 ? 0 : 1} : std::vector<int>{});
    }
}

// Down (242) walks from the newest towards the oldest entry, up (74) back towards the newest;
// both stop at the end, and only send their feedback while the phone book is up or the
// history is empty.
TEST_F(HandsetKeysTest, HistoryKeysWalkTheNumberHistoryAndStopAtItsEnds) {
    const struct {
        int count, selected;
        bool bookVisible;
        int key, presses;
        Actions actions;
        int selectedAfter;
    } rows[] = {
        {3, -1, false, 242, 4, {"Select0", "Select1", "Select2"}, 2},
        {3, -1, false, 74, 1, {}, -1},
        {3, 2, false, 74, 3, {"Select1", "Select0"}, 0},
        {3, 1, true, 74, 1, {}, 1},
        {3, 1, true, 242, 1, {}, 1},
        {0, -1, false, 74, 1, {}, -1},
        {0, -1, false, 242, 1, {}, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.key) + " from " + std::to_string(row.selected));
        FakeWindow window;
        window.historyCount = row.count;
        window.selected = row.selected;
        window.phoneBookVisible = row.bookVisible;
        for (int press = 0; press < row.presses; ++press) {
            HandleHandsetKey(window, row.key);
        }
        EXPECT_EQ(window.actions, row.actions);
        EXPECT_EQ(window.selected, row.selectedAfter);
        EXPECT_EQ(TakeFeedback(), Feedback(row.presses, row.key == 74 ? 1 : 2));
    }
}

constexpr uint8_t kRead = 1;
constexpr uint8_t kWrite = 0;

struct Transfer {
    uint8_t reg;
    uint8_t direction;
    uint8_t value;  // read: the register's value; write: the value written
};

// Checks every byte of a recorded transfer block against the layout the library
// expects.
void ExpectTransfer(const TjIpSysSimRequest& request, const Transfer& expected) {
    EXPECT_EQ(request.code, kTjIpSysTransfer);
    EXPECT_EQ(request.a, 0);
    ASSERT_EQ(request.byteCount, 24);
    const uint8_t marker = expected.direction == kWrite ? 0x55 : 0;
    const uint8_t header[16] = {4, 0, 0, 0, expected.reg, 0, 1, 0, expected.direction, marker, 0, 0,
                                1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(request.bytes, header, sizeof(header)), 0);
    intptr_t data = 0;
    std::memcpy(&data, request.bytes + 16, sizeof(data));
    EXPECT_NE(data, 0);
    EXPECT_EQ(request.dataBefore, expected.direction == kRead ? 0 : expected.value);
    if (expected.direction == kRead) {
        EXPECT_EQ(request.dataAfter, expected.value);
    }
}

using HandsetRegistersTest = BoundHandsetTest;

TEST_F(HandsetRegistersTest, ARingBurstIs24TransfersWithHalfASecondAfterTheTenth) {
    TjIpSysSim_SetRegister(40, 0x77);
    EXPECT_EQ(HandsetReadRegister(40), 0x77);
    TjIpSysSim_ForgetRequests();
    // The read-modify-write of registers 18 and 19 shows in the values read back.
    TjIpSysSim_SetRegister(18, 0x25);
    TjIpSysSim_SetRegister(19, 0x02);
    RingHandset();
    // Bits 0x80 set (5 transfers), bits 0x20 cleared (5), the pause, bits 0x20
    // set (9), and set again (5).
    const Transfer expected[] = {
        {18, kRead, 0x25},  {19, kRead, 0x02},  {18, kWrite, 0xA5}, {19, kWrite, 0x82},
        {15, kWrite, 0x40}, {18, kRead, 0xA5},  {19, kRead, 0x82},  {18, kWrite, 0x85},
        {19, kWrite, 0xA2}, {27, kWrite, 0x01}, {18, kRead, 0x85},  {19, kRead, 0xA2},
        {18, kWrite, 0xA5}, {19, kWrite, 0xA2}, {25, kWrite, 0x01}, {26, kWrite, 0x09},
        {27, kWrite, 0x07}, {24, kWrite, 0xFF}, {23, kWrite, 0xC8}, {18, kRead, 0xA5},
        {19, kRead, 0xA2},  {18, kWrite, 0xA5}, {19, kWrite, 0xA2}, {15, kWrite, 0x00},
    };
    const std::vector<TjIpSysSimRequest> requests = RecordedRequests();
    ASSERT_EQ(requests.size(), std::size(expected));
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i + 1);
        ExpectTransfer(requests[i], expected[i]);
    }
    // Timer granularity may shorten a sleep slightly, so the bound is a little
    // below 500 ms.
    EXPECT_GE(requests[10].timeUs - requests[9].timeUs, 480'000);

    TjIpSysSim_SetTransferResult(0);
    EXPECT_EQ(HandsetReadRegister(40), 0) << "a failed read gives zero";
    ResetHandsetBindingForTests();
    TjIpSysSim_ForgetRequests();
    RingHandset();
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0) << "no handset, no requests";
}

// The call manager's side: one ring burst on a thread of its own.
class RingingThread final : public TThread {
public:
    ~RingingThread() override { TerminateAndWait(); }

protected:
    void Execute() override { RingHandset(); }
};

TEST_F(HandsetRegistersTest, KeyFeedbackDuringARingNeverMeetsATransferInTheLibrary) {
    RingingThread ringing;
    ringing.Resume();
    int feedbackSent = 0;
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] {
            HandsetKeyFeedback(1);
            ++feedbackSent;
            return ringing.Finished();
        },
        5000, 1));
    ringing.WaitFor();
    EXPECT_GT(feedbackSent, 10);
    EXPECT_EQ(TjIpSysSim_OverlappingRequests(), 0);
    int transfers = 0;
    for (const TjIpSysSimRequest& request : RecordedRequests()) {
        transfers += request.code == kTjIpSysTransfer ? 1 : 0;
    }
    EXPECT_EQ(transfers, 24);
}

}  // namespace
