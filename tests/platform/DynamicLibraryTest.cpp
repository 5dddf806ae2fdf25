#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"

namespace {

TEST(DynamicLibraryTest, AMissingLibraryOrEntryGivesNothing) {
    EXPECT_EQ(platform::LoadLibraryByName("libDoesNotExist_KYR.so"), nullptr);
    EXPECT_EQ(platform::LoadLibraryByName("../escape.so"), nullptr);
    EXPECT_EQ(platform::FindEntry(nullptr, "anything"), nullptr);

    platform::LibraryHandle libc = platform::LoadLibraryByName("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(platform::FindEntry(libc, "strlen"), nullptr);
    EXPECT_EQ(platform::FindEntry(libc, "no_such_entry_point_kyr"), nullptr);
    platform::FreeLibrary(libc);
}

TEST(DynamicLibraryTest, ProgramFolderHoldsTheTestProgram) {
    EXPECT_NE(platform::ProgramFolder().find("/bin"), std::string::npos);
}

}  // namespace
