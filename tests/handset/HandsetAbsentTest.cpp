#include <gtest/gtest.h>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "handset/HandsetRegisters.h"
#include "platform/DynamicLibrary.h"

namespace {

struct NullSink final : HandsetKeySink {
    void DeliverKey(int) override {}
};

// The simulated library must not sit beside the programs, or every program would have it.
// Without it requests go nowhere, and a ring neither waits nor fails.
TEST(HandsetAbsentTest, WithoutTheLibraryThereIsNoHandsetAndNothingStaysLoaded) {
    EXPECT_EQ(platform::LoadLibraryByName(kHandsetLibraryName), nullptr);
    NullSink sink;
    HandsetStatusWord = 7;
    EXPECT_FALSE(BindHandsetLibrary(sink) || usbHandsetPresent);
    EXPECT_EQ(HandsetLibrary, nullptr);
    EXPECT_EQ(HandsetEntry, nullptr);
    EXPECT_EQ(CallHandsetLibrary(kTjIpSysKeyFeedback, 1, 0) + HandsetReadRegister(18), 0);
    RingHandset();
}

}  // namespace
