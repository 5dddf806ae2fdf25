#include <cstring>
#include <string>
#include <thread>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "handset/TjIpSys.h"
#include "platform/DynamicLibrary.h"
#include "tests/handset/SimulatedHandset.h"

namespace {

using handset_testing::RecordedRequests;
using HandsetBindingTest = handset_testing::SimulatedHandsetTest;

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
    ASSERT_EQ(sink.Keys(), std::vector<int>{177});
    EXPECT_NE(sink.Threads()[0], std::this_thread::get_id());
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0);

    DetachHandsetKeySink();
    TjIpSysSim_PressKey(177, kHandsetKeyMessage);
    EXPECT_EQ(sink.Keys().size(), 1u);
}

}  // namespace
