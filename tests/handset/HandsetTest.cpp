#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "handset/HandsetRegisters.h"
#include "tests/support/TestSupport.h"
#include "tools/handset-sim/TjIpSysSim.h"

// The handset binding, its keys and its registers against the simulated library, which the
// test program links in: the binding's load by name finds it already loaded.
namespace {

using Strings = std::vector<std::string>;

// The window as the keys see it (each action notes the requests sent before it), and the
// sink the library's thread hands keys to.
class FakeWindow final : public HandsetKeyTarget, public HandsetKeySink {
public:
    void ClickDialPadButton(int button) override { Note("BitBtn" + std::to_string(button)); }
    void ClickDial() override { Note("Dial"); }
    void ClickDisconnect() override { Note("Disconnect"); }
    void ClickClear() override { Note("Clear"); }
    void ClickPhoneBook() override { Note("Book"); }
    bool PhoneBookVisible() const override { return bookVisible; }
    int NumberHistoryCount() const override { return count; }
    int NumberHistorySelectedIndex() const override { return selected; }
    void SelectNumberHistoryItem(int index) override {
        Note("Select" + std::to_string(selected = index));
    }
    void Note(const std::string& action) {
        actions.push_back(action + "@" + std::to_string(TjIpSysSim_RequestCount()));
    }
    void DeliverKey(int keyCode) override {
        keys.push_back(keyCode);
        deliveredOn = std::this_thread::get_id();
    }
    Strings actions;
    int count = 0, selected = -1;
    bool bookVisible = false;
    std::vector<int> keys;
    std::thread::id deliveredOn;
};

std::vector<TjIpSysSimRequest> TakeRequests() {
    std::vector<TjIpSysSimRequest> requests(static_cast<size_t>(TjIpSysSim_RequestCount()));
    for (size_t i = 0; i < requests.size(); ++i) {
        TjIpSysSim_GetRequest(int32_t(i), &requests[i]);
    }
    TjIpSysSim_ForgetRequests();
    return requests;
}

// Only message 1426 with a key counts, named by the low 16 bits, on the library's thread. A
// key's feedback (request 21) goes to the handset before its button runs; history keys step
// through the numbers (down 242 towards the oldest, up 74 back) and stop at the ends.
TEST(HandsetTest, BindingKeysAndARingBurstOfTwentyFourTransfersAgainstTheLibrary) {
    FakeWindow sink;
    ResetHandsetBindingForTests(), TjIpSysSim_Reset();
    TjIpSysSim_SetOpenResult(0);
    EXPECT_FALSE(BindHandsetLibrary(sink));
    EXPECT_EQ(HandsetLibrary, nullptr);
    EXPECT_EQ(TakeRequests().size(), 1u);
    EXPECT_EQ(TjIpSysSim_PressKey(177, kHandsetKeyMessage), 0) << "no callback handed over";

    TjIpSysSim_Reset();
    HandsetStatusWord = 0x1234;
    ASSERT_TRUE(BindHandsetLibrary(sink));
    EXPECT_TRUE(usbHandsetPresent);
    const auto requests = TakeRequests();
    ASSERT_EQ(requests.size(), 3u);
    intptr_t record[2];
    std::memcpy(record, requests[2].bytes, sizeof(record));
    EXPECT_EQ(
        std::vector<intptr_t>({requests[0].code, requests[0].a, requests[0].b,
                               requests[0].statusWordBefore, requests[1].code, requests[2].code,
                               requests[2].byteCount, record[0], record[1]}),
        std::vector<intptr_t>({0, reinterpret_cast<intptr_t>(HandsetLibrary),
                               reinterpret_cast<intptr_t>(&HandsetStatusWord), 0, 20, 46, 16,
                               reinterpret_cast<intptr_t>(&HandsetCallback),
                               reinterpret_cast<intptr_t>(static_cast<HandsetKeySink*>(&sink))}));
    EXPECT_STREQ(requests[1].text, "USB");

    for (const auto& [key, message] : {std::pair{177, 1425}, {177, 1427}, {32, 1426}}) {
        TjIpSysSim_PressKey(key, message);
    }
    ASSERT_EQ(TjIpSysSim_PressKey(0x300B1, 1426), 1);
    EXPECT_EQ(sink.keys, std::vector<int>{177});
    EXPECT_NE(sink.deliveredOn, std::this_thread::get_id());
    DetachHandsetKeySink();
    TjIpSysSim_PressKey(177, 1426);
    EXPECT_EQ(sink.keys.size(), 1u);
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0);
    const struct {
        int key, presses, count, selected;
        bool book;
        Strings actions;
        std::vector<intptr_t> feedback;
    } rows[] = {
        {177, 1, 0, -1, false, {"BitBtn1@1"}, {1}},
        {35, 1, 0, -1, false, {"Dial@0"}, {}},
        {78, 1, 0, -1, false, {"Clear@1"}, {4}},
        {176, 1, 0, -1, false, {}, {}},
        {242, 4, 3, -1, false, {"Select0@1", "Select1@2", "Select2@3"}, {2, 2, 2, 2}},
        {74, 3, 3, 2, false, {"Select1@1", "Select0@2"}, {1, 1, 1}},
        {74, 1, 3, 1, true, {}, {1}},
    };
    for (const auto& row : rows) {
        FakeWindow window;
        window.count = row.count, window.selected = row.selected, window.bookVisible = row.book;
        for (int press = 0; press < row.presses; ++press) {
            HandleHandsetKey(window, row.key);
        }
        EXPECT_EQ(window.actions, row.actions) << row.key;
        std::vector<intptr_t> feedback;
        for (const TjIpSysSimRequest& request : TakeRequests()) {
            feedback.push_back(request.code == 21 ? request.a : -request.code);
        }
        EXPECT_EQ(feedback, row.feedback) << row.key;
    }

    // A ring burst on the call manager's thread while the window sends key feedback: every byte
    // of each 24-byte transfer block, the read-modify-write of registers 18 and 19, half a second
    // after the tenth transfer, and never two requests inside the library at once.
    constexpr uint8_t R = 1, W = 0;
    TjIpSysSim_SetRegister(18, 0x25);
    TjIpSysSim_SetRegister(19, 0x02);
    TjIpSysSim_ForgetRequests();
    std::atomic<bool> rung = false;
    std::thread ringing([&] { RingHandset(), rung = true; });
    int feedbackSent = 0;
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] { return HandsetKeyFeedback(1), ++feedbackSent, rung.load(); }, 5000, 1));
    ringing.join();
    EXPECT_GT(feedbackSent, 10);
    EXPECT_EQ(TjIpSysSim_OverlappingRequests(), 0);
    const std::tuple<uint8_t, uint8_t, uint8_t> expected[] = {
        {18, R, 0x25}, {19, R, 0x02}, {18, W, 0xA5}, {19, W, 0x82}, {15, W, 0x40}, {18, R, 0xA5},
        {19, R, 0x82}, {18, W, 0x85}, {19, W, 0xA2}, {27, W, 0x01}, {18, R, 0x85}, {19, R, 0xA2},
        {18, W, 0xA5}, {19, W, 0xA2}, {25, W, 0x01}, {26, W, 0x09}, {27, W, 0x07}, {24, W, 0xFF},
        {23, W, 0xC8}, {18, R, 0xA5}, {19, R, 0xA2}, {18, W, 0xA5}, {19, W, 0xA2}, {15, W, 0x00},
    };
    std::vector<TjIpSysSimRequest> transfers = TakeRequests();
    std::erase_if(transfers, [](const TjIpSysSimRequest& r) { return r.code == 21; });
    ASSERT_EQ(transfers.size(), std::size(expected));
    for (size_t i = 0; i < transfers.size(); ++i) {
        SCOPED_TRACE(i + 1);
        const auto& [reg, direction, value] = expected[i];
        const TjIpSysSimRequest& request = transfers[i];
        ASSERT_EQ(std::pair(request.code, request.byteCount), std::pair(2, 24));
        const uint8_t header[16] = {
            4, 0, 0, 0, reg, 0, 1, 0, direction, uint8_t(direction == W ? 0x55 : 0), 0, 0, 1};
        EXPECT_EQ(std::memcmp(request.bytes, header, sizeof(header)), 0);
        intptr_t data = 0;
        std::memcpy(&data, request.bytes + 16, sizeof(data));
        EXPECT_NE(data, 0);
        EXPECT_EQ(direction == R ? request.dataAfter : request.dataBefore, value);
    }
    // Timer granularity may shorten a sleep slightly.
    EXPECT_GE(transfers[10].timeUs - transfers[9].timeUs, 480'000);
    TjIpSysSim_SetTransferResult(0);
    EXPECT_EQ(HandsetReadRegister(40), 0) << "a failed read gives zero";
    ResetHandsetBindingForTests();
}

}  // namespace
