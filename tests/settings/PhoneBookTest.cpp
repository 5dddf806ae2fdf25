#include "settings/PhoneBook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/IniSettingsStore.h"
#include "settings/PhoneBookStorage.h"
#include "tests/settings/SettingsTestHome.h"
#include "tests/support/TestSupport.h"

using settings::PhoneBook;
using Entry = PhoneBook::Entry;
using Strings = std::vector<std::string>;

namespace {

int LoadStored(PhoneBook& book) {
    platform::IniSettingsStore store;
    if (!store.OpenKey(platform::kSoftPhoneSettingsKey, false)) {
        return 0;
    }
    const int added = settings::LoadPhoneBook(book, store);
    store.CloseKey();
    return added;
}

TEST(PhoneBookLists, NumbersSortAsTextAndTheOtherListsFollowTheirPosition) {
    PhoneBook book;
    EXPECT_EQ(book.Add("20", "Twenty", "2"), 0);
    EXPECT_EQ(book.Add("100", "Hundred", ""), 0);
    EXPECT_EQ(book.Add("3", "Three", "x"), 2);
    EXPECT_EQ(book.Add("ab", "Lower", ""), 3);
    EXPECT_EQ(book.Add("AA", "Upper", ""), 3);

    EXPECT_EQ(book.PhoneBookNumbers(), (Strings{"100", "20", "3", "AA", "ab"}));
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Hundred", "Twenty", "Three", "Upper", "Lower"}));
    EXPECT_EQ(book.PhoneBookSpeedCodes(), (Strings{"nil", "2", "x", "nil", "nil"}));
}

TEST(PhoneBookLists, KeepsNumbersNamesAndSpeedCodesUniqueIgnoringCase) {
    PhoneBook book;
    ASSERT_EQ(book.Add("abc", "Office", "7"), 0);
    ASSERT_EQ(book.Add("555", "Home", "nil"), 0);
    for (const auto& [number, name, speed] :
         {Entry{"ABC", "Other", ""}, Entry{"1", "OFFICE", ""}, Entry{"2", "Shop", "7"},
          Entry{"", "Nameless", ""}, Entry{"4", "", ""}}) {
        EXPECT_EQ(book.Add(number, name, speed), -1) << number << "/" << name << "/" << speed;
    }
    EXPECT_EQ(book.Count(), 2);
    // Entries without a code share the placeholder.
    EXPECT_GE(book.Add("3", "Shop", "nil"), 0);
    EXPECT_EQ(book.IndexOfName("office"), book.IndexOfNumber("ABC"));
    EXPECT_EQ(book.IndexOfName("Off"), -1) << "whole items only";

    for (int i = book.Count(); i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    EXPECT_EQ(book.Add("2000", "One more", ""), -1) << "the 51st entry";
    EXPECT_EQ(book.Count(), 50);
}

TEST(PhoneBookLists, AcceptsWhatTheUserTypesOnlyWithoutClashOrSeparator) {
    PhoneBook book;
    ASSERT_GE(book.Add("555", "Home", ""), 0);
    ASSERT_GE(book.Add("777", "Office", "7"), 0);

    EXPECT_TRUE(book.Accepts("600", "Shop", ""));
    EXPECT_TRUE(book.Accepts("600", "Shop", "8"));
    // Home has no code, so a hand-typed placeholder clashes with it.
    for (const auto& [number, name, speed] :
         {Entry{"600", "home", ""}, Entry{"600", "Shop", "7"}, Entry{"600", "Shop", "NIL"},
          Entry{"6*%*1", "Shop", ""}, Entry{"6*:*1", "Shop", ""}, Entry{"600", "Sh*:*op", ""},
          Entry{"600", "Sh*%*op", ""}}) {
        EXPECT_FALSE(book.Accepts(number, name, speed)) << number << "/" << name << "/" << speed;
    }
    ASSERT_TRUE(book.Delete(book.IndexOfName("Home")));
    EXPECT_TRUE(book.Accepts("600", "Shop", "nil"));
}

TEST(PhoneBookLists, SpeedDialGivesTheNumberOfTheFirstEntryWithThatCode) {
    PhoneBook book;
    ASSERT_GE(book.Add("321", "Office", "7"), 0);
    ASSERT_GE(book.Add("200", "Home", ""), 0);
    ASSERT_GE(book.Add("400", "Shop", ""), 0);
    EXPECT_EQ(book.SpeedDialNumber("7"), "321");
    EXPECT_EQ(book.SpeedDialNumber("NIL"), "200");
    EXPECT_EQ(book.SpeedDialNumber("8"), std::nullopt);
}

TEST(PhoneBookEntryText, SplitsAtTheFirstSeparatorsAndSkipsEmptyNumberOrName) {
    const auto office = settings::ParsePhoneBookEntryText("0301234*%*Office*:*");
    ASSERT_TRUE(office);
    EXPECT_EQ(office->number, "0301234");
    EXPECT_EQ(office->name, "Office");
    EXPECT_EQ(office->speedCode, "nil");
    EXPECT_EQ(settings::ParsePhoneBookEntryText("1*%*A*:*7*:*8")->speedCode, "7*:*8");
    for (const char* damaged :
         {"*%*Office*:*7", "123*%**:*7", "123*%*:*7", "123*%*Office", "123*:*Office*%*7", ""}) {
        EXPECT_FALSE(settings::ParsePhoneBookEntryText(damaged)) << damaged;
    }
    EXPECT_EQ(settings::PhoneBookEntryText({"555", "Office", ""}), "555*%*Office*:*nil");
}

TEST(PhoneBookLoading, SkipsMalformedValuesAndTheLaterOfTwoClashingEntries) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"PhoneBookCount", "9"},
                             {"PhoneAddress.1", "300*%*Office*:*"},
                             {"PhoneAddress.2", "*%*Nobody*:*1"},
                             {"PhoneAddress.3", "301*%**:*2"},
                             {"PhoneAddress.4", "300*%*Office again*:*3"},
                             {"PhoneAddress.5", "302*%*OFFICE*:*4"},
                             {"PhoneAddress.6", "303*%*Home*:*5"},
                             {"PhoneAddress.7", "304*%*Shop*:*5"},
                             {"PhoneAddress.8", "305*%*Garage*:*nil"},
                             {"PhoneAddress.10", "306*%*Beyond the count*:*nil"}});
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    EXPECT_EQ(book.PhoneBookNumbers(), (Strings{"300", "303", "305"}));
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Office", "Home", "Garage"}));
    EXPECT_EQ(book.PhoneBookSpeedCodes(), (Strings{"nil", "5", "nil"}));

    // Reloading brings back only the entries missing from the lists.
    ASSERT_TRUE(book.Delete(0));
    EXPECT_EQ(LoadStored(book), 1);
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Office", "Home", "Garage"}));
}

TEST(PhoneBookLoading, LoadsFiftyEntriesButNothingOfABiggerOrUnreadableCount) {
    SettingsTestHome home;
    platform::IniSettingsStore writer;
    ASSERT_TRUE(writer.OpenKey(platform::kSoftPhoneSettingsKey, true));
    for (int i = 1; i <= 51; ++i) {
        writer.WriteString("PhoneAddress." + std::to_string(i),
                           std::to_string(100 + i) + "*%*Name " + std::to_string(i) + "*:*");
    }
    ASSERT_TRUE(writer.CloseKey());

    PhoneBook book;
    for (const char* count : {"51", "fifty", "", "-3", "99999999999999999999", "5x"}) {
        SettingsTestHome::Store({{"PhoneBookCount", count}});
        EXPECT_EQ(LoadStored(book), 0) << count;
    }
    SettingsTestHome::Store({{"PhoneBookCount", "50"}});
    EXPECT_EQ(LoadStored(book), 50);
    EXPECT_EQ(book.PhoneBookNumbers().back(), "150");
}

TEST(PhoneBookSaving, RoundTripsThroughTheSettingsFile) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"UserAccount", "alice"},
                             {"PhoneBookCount", "4"},
                             {"PhoneAddress.4", "900*%*Old fourth*:*nil"}});
    PhoneBook book;
    ASSERT_GE(book.Add("20", "Office", "7"), 0);
    ASSERT_GE(book.Add("100", "Smith, John", ""), 0);
    ASSERT_GE(book.Add("+49 30 1234", "Caf\xc3\xa9 = \"Bar\"", "#1"), 0);

    platform::IniSettingsStore store;
    ASSERT_TRUE(settings::SavePhoneBook(book, store));
    EXPECT_FALSE(store.KeyOpen());
    EXPECT_EQ(SettingsTestHome::Stored("PhoneBookCount"), "3");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.1"),
              "+49 30 1234*%*Caf\xc3\xa9 = \"Bar\"*:*#1");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.2"), "100*%*Smith, John*:*nil");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.3"), "20*%*Office*:*7");
    EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");

    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 3);
    EXPECT_EQ(reloaded.PhoneBookNumbers(), book.PhoneBookNumbers());
    EXPECT_EQ(reloaded.PhoneBookNames(), book.PhoneBookNames());
    EXPECT_EQ(reloaded.PhoneBookSpeedCodes(), book.PhoneBookSpeedCodes());
}

TEST(PhoneBookSaving, ACodeSpelledNilInAnyCaseMeansNoCodeAndSurvivesAReload) {
    SettingsTestHome home;
    PhoneBook book;
    ASSERT_GE(book.Add("700", "Hank", "NIL"), 0);
    ASSERT_GE(book.Add("351", "Ivy", ""), 0);  // saved first, as "nil"

    platform::IniSettingsStore store;
    ASSERT_TRUE(settings::SavePhoneBook(book, store));
    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 2);
    EXPECT_EQ(reloaded.PhoneBookSpeedCodes(), book.PhoneBookSpeedCodes());
}

// Two books that share no entry, so a reload shows which of them (or what mix) is on disk.
PhoneBook NumberedBook(const std::string& prefix, int base, int entries) {
    PhoneBook book;
    for (int i = 0; i < entries; ++i) {
        const std::string n = std::to_string(base + i);
        book.Add(n, prefix + " " + n + std::string(200, 'x'), "");
    }
    return book;
}

// The program killed at any moment of a phone book save (a power cut, the session ending)
// leaves the previous book or the new one on disk, whole, beside the other settings; the
// save after it is not held up by what the killed one left behind, not even by a lock file
// it had created but not yet signed.
TEST(PhoneBookSaving, KilledWhileSavingLeavesTheOldOrTheNewBookWhole) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"UserAccount", "alice"}});
    std::ofstream(home.File().string() + ".lock");
    const PhoneBook full = NumberedBook("Full", 100, 50);
    const PhoneBook half = NumberedBook("Half", 500, 25);
    const std::string counterFile = (home.File().parent_path() / "saves").string();
    // Far below the half minute an unsigned lock would hold a save up, far above what a few
    // saves take on a loaded machine.
    constexpr int kSavesWaitMs = 15000;

    for (int round = 0; round < 4; ++round) {
        std::filesystem::remove(counterFile);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int n = 1;; ++n) {
                platform::IniSettingsStore store;
                settings::SavePhoneBook(n % 2 == 0 ? full : half, store);
                std::ofstream(counterFile) << n;
            }
        }
        // Each round kills after a different number of saves, so at a different point.
        const bool saved = testing_support::WaitUntil(
            [&] {
                int saves = -1;
                std::ifstream(counterFile) >> saves;
                return saves >= round + 1;
            },
            kSavesWaitMs);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(saved) << "round " << round;

        PhoneBook reloaded;
        const int loaded = LoadStored(reloaded);
        ASSERT_TRUE(loaded == 50 || loaded == 25) << "round " << round << ": " << loaded;
        EXPECT_EQ(reloaded.PhoneBookNames(), (loaded == 50 ? full : half).PhoneBookNames());
        EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");
    }
}

// A file another program scribbled over keeps the readable entries, and the next save
// writes a clean book again.
TEST(PhoneBookLoading, DamagedFileKeepsTheReadableEntriesAndTheNextSaveRepairsIt) {
    SettingsTestHome home;
    std::string damaged =
        "[General]\nUserAccount=alice\nPhoneBookCount=5\n"
        "PhoneAddress.1=100*%*Office*:*1\n"
        "PhoneAddress.2=\x01\x02\xff\xfe*%\n"
        "garbage without equals\n";
    damaged += std::string("\0\0", 2);
    damaged +=
        "\nPhoneAddress.3=200*%*Home*:*nil\n[broken section\nPhoneAddress.4=300*%*Shop*:*4\n"
        "PhoneAddress.5=400*%*Cut off";
    home.WriteFile(damaged);

    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Office", "Home", "Shop"}));

    ASSERT_GE(book.Add("500", "Garage", ""), 0);
    platform::IniSettingsStore store;
    ASSERT_TRUE(settings::SavePhoneBook(book, store));
    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 4);
    EXPECT_EQ(reloaded.PhoneBookNames(), book.PhoneBookNames());
    EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");
}

}  // namespace
