#include <string>
#include <vector>

#include "handset/HandsetKeys.h"
#include "tests/handset/SimulatedHandset.h"

namespace {

using handset_testing::RecordedRequests;
using handset_testing::SimulatedHandsetTest;

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

    std::vector<std::string> actions;
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

class HandsetKeysTest : public SimulatedHandsetTest {
protected:
    void SetUp() override {
        SimulatedHandsetTest::SetUp();
        BindHandset();
    }

    // The feedback values sent since the last call, in order.
    static std::vector<intptr_t> TakeFeedback() {
        std::vector<intptr_t> values;
        for (const TjIpSysSimRequest& request : RecordedRequests()) {
            EXPECT_EQ(request.code, kTjIpSysKeyFeedback);
            EXPECT_EQ(request.b, 0);
            values.push_back(request.a);
        }
        TjIpSysSim_ForgetRequests();
        return values;
    }

    FakeWindow window;
};

struct KeyCase {
    int key;
    int feedback;  // -1: none
    const char* action;
};

TEST_F(HandsetKeysTest, EveryKeySendsItsFeedbackFirstAndThenRunsItsButton) {
    // The digit keys come column by column; the bottom row is "*", "0", "#" (BitBtn12, 11, 10).
    const KeyCase cases[] = {
        {177, 1, "BitBtn1"},    {178, 4, "BitBtn4"}, {183, 3, "BitBtn3"}, {185, 9, "BitBtn9"},
        {38, 0, "BitBtn12"},    {49, 0, "BitBtn11"}, {42, 0, "BitBtn10"}, {35, -1, "Dial"},
        {33, -1, "Disconnect"}, {78, 4, "Clear"},    {82, -1, "Book"},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.key);
        window.actions.clear();
        window.requestsBeforeAction.clear();
        HandleHandsetKey(window, c.key);

        const std::vector<intptr_t> feedback = TakeFeedback();
        if (c.feedback < 0) {
            EXPECT_TRUE(feedback.empty());
        } else {
            EXPECT_EQ(feedback, std::vector<intptr_t>{c.feedback});
        }
        EXPECT_EQ(window.actions, std::vector<std::string>{c.action});
        EXPECT_EQ(window.requestsBeforeAction, std::vector<int>{c.feedback < 0 ? 0 : 1});
    }
}

TEST_F(HandsetKeysTest, KeysOutsideTheTableDoNothingAndSendNothing) {
    for (int key : {0, 32, 34, 176, 186, 241, 243, 0xFFFF, -1}) {
        HandleHandsetKey(window, key);
    }
    EXPECT_TRUE(window.actions.empty());
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0);
}

TEST_F(HandsetKeysTest, HistoryDownWalksFromTheNewestToTheOldestAndStaysThere) {
    window.historyCount = 3;
    for (int press = 0; press < 4; ++press) {
        HandleHandsetKey(window, 242);
    }
    EXPECT_EQ(window.actions, (std::vector<std::string>{"Select0", "Select1", "Select2"}));
    EXPECT_EQ(window.selected, 2);
    EXPECT_EQ(TakeFeedback(), (std::vector<intptr_t>{2, 2, 2, 2}));
}

TEST_F(HandsetKeysTest, HistoryUpWalksTowardsTheNewestAndStopsAtIt) {
    window.historyCount = 3;
    HandleHandsetKey(window, 74);  // nothing selected: stays so
    window.selected = 2;
    for (int press = 0; press < 3; ++press) {
        HandleHandsetKey(window, 74);
    }
    EXPECT_EQ(window.actions, (std::vector<std::string>{"Select1", "Select0"}));
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(TakeFeedback(), (std::vector<intptr_t>{1, 1, 1, 1}));
}

TEST_F(HandsetKeysTest, HistoryKeysOnlySendFeedbackWhileThePhoneBookIsUpOrTheHistoryEmpty) {
    window.historyCount = 3;
    window.selected = 1;
    window.phoneBookVisible = true;
    HandleHandsetKey(window, 74);
    HandleHandsetKey(window, 242);

    window.phoneBookVisible = false;
    window.historyCount = 0;
    window.selected = -1;
    HandleHandsetKey(window, 74);
    HandleHandsetKey(window, 242);

    EXPECT_TRUE(window.actions.empty());
    EXPECT_EQ(TakeFeedback(), (std::vector<intptr_t>{1, 2, 1, 2}));
}

}  // namespace
