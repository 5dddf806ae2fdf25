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
TEST(PhoneBookLists, AddSortsKeepsItemsUniqueAcceptsWhatTheUserTypesAndStopsAtFifty) {
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
    // What the user types: no clash (a typed placeholder clashes with the entries without
    // code) and no separator that would split the entry differently on the next load.
    const std::pair<Entry, bool> typed[] = {
        {{"600", "Cafe", ""}, true},     {{"600", "Cafe", "8"}, true},
        {{"100", "Cafe", ""}, false},    {{"600", "upper", ""}, false},
        {{"600", "Cafe", "7"}, false},   {{"600", "Cafe", "nil"}, false},
        {{"6*%*1", "Cafe", ""}, false},  {{"6*:*1", "Cafe", ""}, false},
        {{"600", "Ca*:*fe", ""}, false}, {{"600", "Ca*%*fe", ""}, false},
    };
    for (const auto& [e, accepted] : typed) {
        EXPECT_EQ(book.Accepts(e.number, e.name, e.speedCode), accepted) << e.number << e.name;
    }
    EXPECT_FALSE(book.Delete(book.Count()));
    EXPECT_FALSE(book.Delete(-1));
    for (int i = book.Count(); i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    EXPECT_EQ(book.Add("2000", "One more", ""), -1) << "the 51st entry";
}

// Malformed values (split at the first separators) and the later of two clashing entries are
// skipped; a reload brings back only what the lists miss; a count above fifty or unreadable
// loads nothing.
TEST(PhoneBookLoading, SkipsMalformedAndClashingEntriesAndBadCounts) {
    SettingsTestHome home;
    const Strings stored = {"300*%*Office*:*",
                            "*%*Office*:*7",
                            "123*%**:*7",
                            "123*%*:*7",
                            "123*%*Office",
                            "123*:*Office*%*7",
                            "",
                            "300*%*Office again*:*3",
                            "302*%*OFFICE*:*4",
                            "303*%*Home*:*5*:*8",
                            "304*%*Shop*:*5*:*8",
                            "305*%*Garage*:*nil",
                            "306*%*Beyond the count*:*nil"};
    std::map<std::string, std::string> values = {{"PhoneBookCount", "12"}};
    for (size_t i = 0; i < stored.size(); ++i) {
        values["PhoneAddress." + std::to_string(i + 1)] = stored[i];
    }
    SettingsTestHome::Store(values);
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    const Strings loaded = {"300|Office|nil", "303|Home|5*:*8", "305|Garage|nil"};
    EXPECT_EQ(Lists(book), loaded);
    EXPECT_EQ(settings::PhoneBookEntryText({"555", "Office", ""}), "555*%*Office*:*nil");
    ASSERT_TRUE(book.Delete(0));
    EXPECT_EQ(LoadStored(book), 1);
    EXPECT_EQ(Lists(book), loaded);

    values.clear();
    for (int i = 1; i <= 51; ++i) {
        values["PhoneAddress." + std::to_string(i)] =
            std::to_string(100 + i) + "*%*N" + std::to_string(i) + "*:*";
    }
    SettingsTestHome::Store(values);
    for (const char* count : {"51", "fifty", "", "-3", "99999999999999999999", "5x", "50"}) {
        SettingsTestHome::Store({{"PhoneBookCount", count}});
        PhoneBook book;
        EXPECT_EQ(LoadStored(book), count == std::string("50") ? 50 : 0) << count;
    }
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
    platform::IniSettingsStore store;
    ASSERT_TRUE(settings::SavePhoneBook(book, store) && !store.KeyOpen());
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
// disk, whole, beside the other settings, and the next save is not held up by a lock file left
// behind unsigned.
TEST(PhoneBookSaving, KilledWhileSavingLeavesTheOldOrTheNewBookWhole) {
    SettingsTestHome home;
    SettingsTestHome::Store({{"UserAccount", "alice"}});
    std::ofstream(home.File().string() + ".lock");
    PhoneBook books[2];
    for (int i = 0; i < 51; ++i) {
        books[i % 2].Add(std::to_string(100 + i), std::to_string(i) + std::string(200, 'x'), "");
    }
    const std::string counter = (home.File().parent_path() / "saves").string();
    for (int round = 1; round <= 4; ++round) {
        std::filesystem::remove(counter);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        for (int n = 1; child == 0; ++n) {
            platform::IniSettingsStore store;
            settings::SavePhoneBook(books[n % 2], store);
            std::ofstream(counter) << n;
        }
        // Each round kills after a different number of saves.
        const bool saved = testing_support::WaitUntil(
            [&] {
                int saves = -1;
                std::ifstream(counter) >> saves;
                return saves >= round;
            },
            15000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(saved);
        PhoneBook reloaded;
        const int loaded = LoadStored(reloaded);
        EXPECT_EQ(Lists(reloaded), Lists(books[loaded == 26 ? 0 : 1])) << round;
        EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "alice");
    }
}

}  // namespace
