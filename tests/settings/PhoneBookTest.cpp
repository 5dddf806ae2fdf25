#include "settings/PhoneBook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
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
    const int added = store.OpenKey(platform::kSoftPhoneSettingsKey, false)
                          ? settings::LoadPhoneBook(book, store)
                          : 0;
    store.CloseKey();
    return added;
}

bool Save(const PhoneBook& book) {
    platform::IniSettingsStore store;
    return settings::SavePhoneBook(book, store) && !store.KeyOpen();
}

// One "number|name|code" item per position.
Strings Lists(const PhoneBook& book) {
    Strings items;
    for (size_t i = 0; i < book.PhoneBookNumbers().size(); ++i) {
        items.push_back(book.PhoneBookNumbers()[i] + "|" + book.PhoneBookNames().at(i) + "|" +
                        book.PhoneBookSpeedCodes().at(i));
    }
    return items;
}

// Each row adds to the same book: numbers sort as text, and numbers, names and codes stay
// unique ignoring case, except that entries without a code share the placeholder.
TEST(PhoneBookLists, AddSortsKeepsItemsUniqueAndStopsAtFifty) {
    PhoneBook book;
    const std::pair<Entry, int> adds[] = {
        {{"20", "Twenty", "2"}, 0}, {{"100", "Hundred", ""}, 0}, {{"3", "Three", "x"}, 2},
        {{"ab", "Lower", "7"}, 3},  {{"AA", "Upper", ""}, 3},    {{"AB", "Other", ""}, -1},
        {{"1", "LOWER", ""}, -1},   {{"2", "Shop", "7"}, -1},    {{"", "Nameless", ""}, -1},
        {{"4", "", ""}, -1},        {{"10", "Ten", "nil"}, 0},   {{"5", "Shop", "NIL"}, 4},
    };
    for (const auto& [entry, index] : adds) {
        EXPECT_EQ(book.Add(entry.number, entry.name, entry.speedCode), index) << entry.number;
    }
    EXPECT_EQ(Lists(book), (Strings{"10|Ten|nil", "100|Hundred|nil", "20|Twenty|2", "3|Three|x",
                                    "5|Shop|NIL", "AA|Upper|nil", "ab|Lower|7"}));
    EXPECT_EQ(book.IndexOfName("lower"), 6);
    EXPECT_EQ(book.IndexOfName("Low"), -1) << "whole items only";
    EXPECT_EQ(book.SpeedDialNumber("7"), "ab");
    EXPECT_EQ(book.SpeedDialNumber("NIL"), "10") << "the first entry without a code";
    EXPECT_EQ(book.SpeedDialNumber("8"), std::nullopt);
    EXPECT_FALSE(book.Delete(book.Count()));
    EXPECT_FALSE(book.Delete(-1));
    for (int i = book.Count(); i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    EXPECT_EQ(book.Add("2000", "One more", ""), -1) << "the 51st entry";
}

// What the user types: no clash (a typed placeholder clashes with an entry without code) and
// no separator that would split the entry differently on the next load.
TEST(PhoneBookLists, AcceptsWhatTheUserTypesOnlyWithoutClashOrSeparator) {
    PhoneBook book;
    ASSERT_GE(book.Add("555", "Home", ""), 0);
    ASSERT_GE(book.Add("777", "Office", "7"), 0);
    const std::pair<Entry, bool> rows[] = {
        {{"600", "Shop", ""}, true},     {{"600", "Shop", "8"}, true},
        {{"555", "Shop", ""}, false},    {{"600", "home", ""}, false},
        {{"600", "Shop", "7"}, false},   {{"600", "Shop", "NIL"}, false},
        {{"6*%*1", "Shop", ""}, false},  {{"6*:*1", "Shop", ""}, false},
        {{"600", "Sh*:*op", ""}, false}, {{"600", "Sh*%*op", ""}, false},
    };
    for (const auto& [e, accepted] : rows) {
        EXPECT_EQ(book.Accepts(e.number, e.name, e.speedCode), accepted)
            << e.number << "/" << e.name << "/" << e.speedCode;
    }
    ASSERT_TRUE(book.Delete(book.IndexOfName("Home")));
    EXPECT_TRUE(book.Accepts("600", "Shop", "nil"));
}

TEST(PhoneBookEntryText, SplitsAtTheFirstSeparatorsAndSkipsEmptyNumberOrName) {
    const auto office = settings::ParsePhoneBookEntryText("0301234*%*Office*:*");
    ASSERT_TRUE(office);
    EXPECT_EQ(office->number + "|" + office->name + "|" + office->speedCode, "0301234|Office|nil");
    EXPECT_EQ(settings::ParsePhoneBookEntryText("1*%*A*:*7*:*8")->speedCode, "7*:*8");
    for (const char* damaged :
         {"*%*Office*:*7", "123*%**:*7", "123*%*:*7", "123*%*Office", "123*:*Office*%*7", ""}) {
        EXPECT_FALSE(settings::ParsePhoneBookEntryText(damaged)) << damaged;
    }
    EXPECT_EQ(settings::PhoneBookEntryText({"555", "Office", ""}), "555*%*Office*:*nil");
}

// Malformed values and the later of two clashing entries are skipped; a reload brings back only
// what the lists miss; a count above fifty or unreadable loads nothing.
TEST(PhoneBookLoading, SkipsMalformedAndClashingEntriesAndBadCounts) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"PhoneBookCount", "9"},
                             {"PhoneAddress.1", "300*%*Office*:*"},
                             {"PhoneAddress.4", "300*%*Office again*:*3"},
                             {"PhoneAddress.5", "302*%*OFFICE*:*4"},
                             {"PhoneAddress.6", "303*%*Home*:*5"},
                             {"PhoneAddress.7", "304*%*Shop*:*5"},
                             {"PhoneAddress.9", "305*%*Garage*:*nil"},
                             {"PhoneAddress.10", "306*%*Beyond the count*:*nil"}});
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    const Strings loaded = {"300|Office|nil", "303|Home|5", "305|Garage|nil"};
    EXPECT_EQ(Lists(book), loaded);
    ASSERT_TRUE(book.Delete(0));
    EXPECT_EQ(LoadStored(book), 1);
    EXPECT_EQ(Lists(book), loaded);

    std::map<std::string, std::string> fiftyOne;
    for (int i = 1; i <= 51; ++i) {
        fiftyOne["PhoneAddress." + std::to_string(i)] =
            std::to_string(100 + i) + "*%*N" + std::to_string(i) + "*:*";
    }
    SettingsTestHome::Store(fiftyOne);
    for (const char* count : {"51", "fifty", "", "-3", "99999999999999999999", "5x"}) {
        SettingsTestHome::Store({{"PhoneBookCount", count}});
        PhoneBook none;
        EXPECT_EQ(LoadStored(none), 0) << count;
    }
    SettingsTestHome::Store({{"PhoneBookCount", "50"}});
    PhoneBook fifty;
    EXPECT_EQ(LoadStored(fifty), 50);
}

// A file another program scribbled over keeps the readable entries; the next save writes a
// clean book beside the other settings, and a reload gives the same lists.
TEST(PhoneBookSaving, ADamagedFileKeepsTheReadableEntriesAndTheSaveRoundTrips) {
    SettingsTestHome home;
    home.WriteFile(std::string("[General]\nUserAccount=alice\nPhoneBookCount=6\n"
                               "PhoneAddress.1=100*%*Office*:*1\n"
                               "PhoneAddress.2=\x01\x02\xff\xfe*%\ngarbage without equals\n") +
                   std::string("\0\0", 2) +
                   "\nPhoneAddress.3=200*%*Home*:*nil\n[broken section\n"
                   "PhoneAddress.4=300*%*Shop*:*4\nPhoneAddress.6=400*%*Cut off");
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Office", "Home", "Shop"}));
    ASSERT_GE(book.Add("+49 30 1234", "Caf\xc3\xa9 = \"Bar\"", "#1"), 0);
    ASSERT_TRUE(Save(book));
    EXPECT_EQ(SettingsTestHome::Stored("PhoneBookCount"), "4");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.1"),
              "+49 30 1234*%*Caf\xc3\xa9 = \"Bar\"*:*#1");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.3"), "200*%*Home*:*nil");
    EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");
    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 4);
    EXPECT_EQ(Lists(reloaded), Lists(book));
}

// The program killed at any moment of a save leaves the previous book or the new one on
// disk, whole, beside the other settings; the save after it is not held up by what the
// killed one left behind, not even by a lock file it had created but not yet signed.
TEST(PhoneBookSaving, KilledWhileSavingLeavesTheOldOrTheNewBookWhole) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"UserAccount", "alice"}});
    std::ofstream(home.File().string() + ".lock");
    PhoneBook books[2];
    for (int i = 0; i < 50; ++i) {
        books[i % 2].Add(std::to_string(100 + i), std::to_string(i) + std::string(200, 'x'), "");
    }
    books[1].Add("999", "Fiftieth", "");
    const std::string counterFile = (home.File().parent_path() / "saves").string();
    for (int round = 1; round <= 4; ++round) {
        std::filesystem::remove(counterFile);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        for (int n = 1; child == 0; ++n) {
            platform::IniSettingsStore store;
            settings::SavePhoneBook(books[n % 2], store);
            std::ofstream(counterFile) << n;
        }
        // Each round kills after a different number of saves; far below the half minute an
        // unsigned lock would hold a save up.
        const bool saved = testing_support::WaitUntil(
            [&] {
                int saves = -1;
                std::ifstream(counterFile) >> saves;
                return saves >= round;
            },
            15000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(saved);
        PhoneBook reloaded;
        const int loaded = LoadStored(reloaded);
        EXPECT_EQ(Lists(reloaded), Lists(books[loaded == 25 ? 0 : 1])) << round;
        EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");
    }
}

}  // namespace
