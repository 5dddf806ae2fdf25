#include <string>
#include <vector>

#include "handset/HandsetKeys.h"
#include "tests/handset/SimulatedHandset.h"

namespace {

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

class HandsetKeysTest : public handset_testing::SimulatedHandsetTest {
protected:
    void SetUp() override {
        SimulatedHandsetTest::SetUp();
        BindHandset();
    }
    // The feedback values sent since the last call, in order.
    static Feedback TakeFeedback() {
        Feedback values;
        for (const TjIpSysSimRequest& request : handset_testing::RecordedRequests()) {
            EXPECT_EQ(request.code, kTjIpSysKeyFeedback);
            EXPECT_EQ(request.b, 0);
            values.push_back(request.a);
        }
        TjIpSysSim_ForgetRequests();
        return values;
    }
};

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

}  // namespace
