#include "settings/PhoneBook.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <string>
#include <vector>

#include "platform/IniSettingsStore.h"
#include "settings/PhoneBookStorage.h"
#include "tests/settings/PhoneBookTestHome.h"

using settings::LoadPhoneBook;
using settings::ParsePhoneBookEntryText;
using settings::PhoneBook;
using settings::SavePhoneBook;
using Strings = std::vector<std::string>;

namespace {

int LoadStored(PhoneBook& book) {
    platform::IniSettingsStore store;
    if (!store.OpenKey(platform::kSoftPhoneSettingsKey, false)) {
        return 0;
    }
    const int added = LoadPhoneBook(book, store);
    store.CloseKey();
    return added;
}

std::string StoredValue(const std::string& name) {
    platform::IniSettingsStore store;
    store.OpenKey(platform::kSoftPhoneSettingsKey, false);
    return store.ReadString(name);
}

}  // namespace

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

    EXPECT_EQ(book.Add("ABC", "Other", ""), -1);
    EXPECT_EQ(book.Add("1", "OFFICE", ""), -1);
    EXPECT_EQ(book.Add("2", "Shop", "7"), -1);
    EXPECT_EQ(book.Add("", "Nameless", ""), -1);
    EXPECT_EQ(book.Add("4", "", ""), -1);
    EXPECT_EQ(book.Count(), 2);
    // Entries without a code share the placeholder.
    EXPECT_GE(book.Add("3", "Shop", "nil"), 0);

    EXPECT_EQ(book.IndexOfName("office"), book.IndexOfNumber("ABC"));
    EXPECT_EQ(book.IndexOfName("Off"), -1);
    EXPECT_EQ(book.IndexOfNumber("55"), -1);
}

TEST(PhoneBookLists, AcceptsWhatTheUserTypesOnlyWithoutClashOrSeparator) {
    PhoneBook book;
    ASSERT_GE(book.Add("555", "Home", ""), 0);
    ASSERT_GE(book.Add("777", "Office", "7"), 0);

    EXPECT_TRUE(book.Accepts("600", "Shop", ""));
    EXPECT_TRUE(book.Accepts("600", "Shop", "8"));
    EXPECT_FALSE(book.Accepts("600", "home", ""));
    EXPECT_FALSE(book.Accepts("600", "Shop", "7"));
    // Home has no code, so a hand-typed placeholder clashes with it.
    EXPECT_FALSE(book.Accepts("600", "Shop", "NIL"));
    EXPECT_FALSE(book.Accepts("6*%*1", "Shop", ""));
    EXPECT_FALSE(book.Accepts("600", "Sh*:*op", ""));
    EXPECT_FALSE(book.Accepts("600", "Sh*%*op", ""));

    ASSERT_TRUE(book.Delete(book.IndexOfName("Home")));
    EXPECT_TRUE(book.Accepts("600", "Shop", "nil"));
}

TEST(PhoneBookLists, RefusesTheEntryBeyondFifty) {
    PhoneBook book;
    for (int i = 0; i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    EXPECT_TRUE(book.Full());
    EXPECT_EQ(book.Add("2000", "One more", ""), -1);
    EXPECT_EQ(book.Count(), 50);
}

TEST(PhoneBookLists, SpeedDialGivesTheNumberOfTheFirstEntryWithThatCode) {
    PhoneBook book;
    ASSERT_GE(book.Add("321", "Office", "7"), 0);
    ASSERT_GE(book.Add("200", "Home", ""), 0);
    ASSERT_GE(book.Add("400", "Shop", ""), 0);

    EXPECT_EQ(book.SpeedDialNumber("7"), "321");
    EXPECT_EQ(book.SpeedDialNumber("NIL"), "200");
    EXPECT_EQ(book.SpeedDialNumber("8"), std::nullopt);
    EXPECT_EQ(PhoneBook().SpeedDialNumber("nil"), std::nullopt);
}

TEST(PhoneBookEntryText, SplitsAtTheFirstSeparatorsAndSkipsEmptyNumberOrName) {
    const auto office = ParsePhoneBookEntryText("0301234*%*Office*:*");
    ASSERT_TRUE(office);
    EXPECT_EQ(office->number, "0301234");
    EXPECT_EQ(office->name, "Office");
    EXPECT_EQ(office->speedCode, "nil");

    const auto coded = ParsePhoneBookEntryText("1*%*A*:*7*:*8");
    ASSERT_TRUE(coded);
    EXPECT_EQ(coded->speedCode, "7*:*8");

    EXPECT_FALSE(ParsePhoneBookEntryText("*%*Office*:*7"));
    EXPECT_FALSE(ParsePhoneBookEntryText("123*%**:*7"));
    EXPECT_FALSE(ParsePhoneBookEntryText("123*%*:*7"));
    EXPECT_FALSE(ParsePhoneBookEntryText("123*%*Office"));
    EXPECT_FALSE(ParsePhoneBookEntryText("123*:*Office*%*7"));
    EXPECT_FALSE(ParsePhoneBookEntryText(""));

    EXPECT_EQ(settings::PhoneBookEntryText({"555", "Office", "nil"}), "555*%*Office*:*nil");
    EXPECT_EQ(settings::PhoneBookEntryText({"555", "Office", ""}), "555*%*Office*:*nil");
}

TEST(PhoneBookLoading, SkipsMalformedValuesAndTheLaterOfTwoClashingEntries) {
    PhoneBookTestHome home;
    PhoneBookTestHome::Store({{"PhoneBookCount", "9"},
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
}

TEST(PhoneBookLoading, LoadsFiftyEntriesButNothingOfABiggerOrUnreadableCount) {
    PhoneBookTestHome home;
    platform::IniSettingsStore writer;
    ASSERT_TRUE(writer.OpenKey(platform::kSoftPhoneSettingsKey, true));
    for (int i = 1; i <= 51; ++i) {
        writer.WriteString("PhoneAddress." + std::to_string(i),
                           std::to_string(100 + i) + "*%*Name " + std::to_string(i) + "*:*");
    }
    writer.WriteString("PhoneBookCount", "51");
    ASSERT_TRUE(writer.CloseKey());

    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 0);

    for (const std::string count : {"fifty", "", "-3", "99999999999999999999", "5x"}) {
        PhoneBookTestHome::Store({{"PhoneBookCount", count}});
        EXPECT_EQ(LoadStored(book), 0) << count;
    }

    PhoneBookTestHome::Store({{"PhoneBookCount", "50"}});
    EXPECT_EQ(LoadStored(book), 50);
    EXPECT_EQ(book.PhoneBookNumbers().front(), "101");
    EXPECT_EQ(book.PhoneBookNumbers().back(), "150");
}

TEST(PhoneBookLoading, ReloadingBringsBackOnlyEntriesMissingFromTheLists) {
    PhoneBookTestHome home;
    PhoneBookTestHome::Store({{"PhoneBookCount", "2"},
                              {"PhoneAddress.1", "100*%*Office*:*1"},
                              {"PhoneAddress.2", "200*%*Home*:*"}});
    PhoneBook book;
    ASSERT_EQ(LoadStored(book), 2);
    ASSERT_TRUE(book.Delete(0));

    EXPECT_EQ(LoadStored(book), 1);
    EXPECT_EQ(book.PhoneBookNames(), (Strings{"Office", "Home"}));
}

TEST(PhoneBookLoading, MissingKeyLoadsNothing) {
    PhoneBookTestHome home;
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 0);
    EXPECT_TRUE(book.Empty());
}

TEST(PhoneBookSaving, RoundTripsThroughTheSettingsFile) {
    PhoneBookTestHome home;
    PhoneBookTestHome::Store({{"UserAccount", "alice"},
                              {"PhoneBookCount", "4"},
                              {"PhoneAddress.4", "900*%*Old fourth*:*nil"}});
    PhoneBook book;
    ASSERT_GE(book.Add("20", "Office", "7"), 0);
    ASSERT_GE(book.Add("100", "Smith, John", ""), 0);
    ASSERT_GE(book.Add("+49 30 1234", "Caf\xc3\xa9 = \"Bar\"", "#1"), 0);

    platform::IniSettingsStore store;
    ASSERT_TRUE(SavePhoneBook(book, store));
    EXPECT_FALSE(store.KeyOpen());

    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(home.SettingsFile())));
    EXPECT_EQ(StoredValue("PhoneBookCount"), "3");
    EXPECT_EQ(StoredValue("PhoneAddress.1"), "+49 30 1234*%*Caf\xc3\xa9 = \"Bar\"*:*#1");
    EXPECT_EQ(StoredValue("PhoneAddress.2"), "100*%*Smith, John*:*nil");
    EXPECT_EQ(StoredValue("PhoneAddress.3"), "20*%*Office*:*7");
    EXPECT_EQ(StoredValue("UserAccount"), "alice");

    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 3);
    EXPECT_EQ(reloaded.PhoneBookNumbers(), book.PhoneBookNumbers());
    EXPECT_EQ(reloaded.PhoneBookNames(), book.PhoneBookNames());
    EXPECT_EQ(reloaded.PhoneBookSpeedCodes(), book.PhoneBookSpeedCodes());
}
