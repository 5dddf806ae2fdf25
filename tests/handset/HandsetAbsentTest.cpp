#include <gtest/gtest.h>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "handset/HandsetRegisters.h"
#include "platform/DynamicLibrary.h"

namespace {

struct NullSink final : HandsetKeySink {
    void DeliverKey(int) override {}
};

TEST(HandsetAbsentTest, WithoutTheLibraryThereIsNoHandsetAndNothingStaysLoaded) {
    // The simulated library must not sit beside the programs, or every program would have it.
    EXPECT_EQ(platform::LoadLibraryByName(kHandsetLibraryName), nullptr);
    NullSink sink;
    HandsetStatusWord = 7;
    EXPECT_FALSE(BindHandsetLibrary(sink));
    EXPECT_FALSE(usbHandsetPresent);
    EXPECT_EQ(HandsetLibrary, nullptr);
    EXPECT_EQ(HandsetEntry, nullptr);
    // Requests go nowhere, and a ring without a handset neither waits nor fails.
    EXPECT_EQ(CallHandsetLibrary(kTjIpSysKeyFeedback, 1, 0), 0);
    EXPECT_EQ(HandsetReadRegister(18), 0);
    RingHandset();
}

}  // namespace
