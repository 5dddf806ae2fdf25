#include <gtest/gtest.h>

#include "settings/LoadSettings.h"
#include "settings/LocalAddressChoice.h"
#include "settings/PhoneBookStorage.h"
#include "settings/ProxyAddress.h"
#include "tests/settings/SettingsTestHome.h"

namespace {

using settings::EffectiveSettings;
using settings::PhoneBook;
using Strings = std::vector<std::string>;

std::string Summary(const EffectiveSettings& s) {
    return s.UserAccount + "|" + s.UserKey + "|" + s.SIPProxyAddress + "|" +
           (s.SIPProxyLabelUnusable ? "unusable|" : "|") + std::to_string(s.SIPProxyPort) + "|" +
           s.LocalIPAddress + "|" + std::to_string(s.LocalRTPPort);
}

EffectiveSettings Load(const SettingsTestHome& home, const std::string& fileText) {
    home.WriteFile("[General]\n" + fileText);
    EffectiveSettings loaded;
    settings::LoadSettings(*platform::CreateUserSettingsStore(), loaded);
    return loaded;
}

TEST(LoadSettingsTest, AMissingKeyGivesTheDefaultsAndStoredValuesLoadBeforeThePhoneBook) {
    SettingsTestHome home;
    const auto store = platform::CreateUserSettingsStore();
    EffectiveSettings loaded;
    loaded.UserAccount = loaded.UserKey = loaded.SIPProxyAddress = "left over";
    loaded.SIPProxyLabelUnusable = true;
    loaded.SIPProxyPort = loaded.LocalRTPPort = 7000;
    bool phoneBookLoaded = false;
    settings::LoadSettings(*store, loaded, [&](auto&) { phoneBookLoaded = true; });
    EXPECT_EQ(Summary(loaded), "||||5060|127.0.0.1|18598");
    EXPECT_FALSE(phoneBookLoaded);
    EXPECT_FALSE(std::filesystem::exists(home.File())) << "loading must not create the key";

    home.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=7000\n"
        "LocalIPAddress=10.1.1.1\nLocalRTPPort=20000\nPhoneAddress.1=100*%*Office*:*nil\n");
    std::string entry;
    settings::LoadSettings(*store, loaded, [&](platform::SettingsStore& key) {
        EXPECT_EQ(loaded.LocalRTPPort, 20000) << "settings come first";
        entry = key.ReadString("PhoneAddress.1");
    });
    EXPECT_EQ(entry, "100*%*Office*:*nil");
    EXPECT_EQ(Summary(loaded),
              "alice|s3cret|op" + settings::OperatorDomain() + "||7000|10.1.1.1|20000");
    EXPECT_FALSE(store->KeyOpen());
    // A dotted label is unusable; an empty one (and an empty address, which start-up replaces
    // by a machine address) is not.
    EXPECT_EQ(Summary(Load(home, "SIPProxyAddress=sip1.example.org\n")), "|||unusable|5060||18598");
    EXPECT_EQ(Summary(Load(home, "SIPProxyAddress=\n")), "||||5060||18598");

    // The dialog allows an RTP port of 0; a quote left open by a damaged file ends with its
    // line; "1,2" is what a hand-edited file leaves.
    std::vector<std::tuple<std::string, int, int>> rows = {{" 5080 |0", 5080, 0},
                                                           {"0|65535", 5060, 65535},
                                                           {"1|1", 1, 1},
                                                           {"\"7000|\"20000", 7000, 20000}};
    for (const char* bad : {"", "abc", "50x60", "-5060", "65536", "99999999999", "+1", "1,2"}) {
        rows.emplace_back(bad + std::string("|") + bad, 5060, 18598);
    }
    for (const auto& [ports, sip, rtp] : rows) {
        const size_t bar = ports.find('|');
        const EffectiveSettings loaded = Load(home, "SIPProxyPort=" + ports.substr(0, bar) +
                                                        "\nLocalRTPPort=" + ports.substr(bar + 1));
        EXPECT_EQ(std::pair(loaded.SIPProxyPort, loaded.LocalRTPPort), std::pair(sip, rtp))
            << ports;
    }
}

// The configured address stays only when it is one of the first five machine addresses,
// which are offered in order.
TEST(LocalAddressChoiceTest, ConfiguredAddressStaysOnlyWhenOneOfTheFirstFiveMachineAddresses) {
    const Strings seven = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4",
                           "10.0.0.5", "10.0.0.6", "10.0.0.7"};
    const std::tuple<std::string, Strings, std::string> cases[] = {
        {"10.1.1.1", {}, "127.0.0.1"},
        {"10.0.0.5", seven, "10.0.0.5"},
        {"10.0.0.7", seven, "10.0.0.1"},
    };
    for (const auto& [configured, machine, chosen] : cases) {
        EffectiveSettings settings;
        settings.LocalIPAddress = configured;
        Strings offered;
        settings::ChooseStartupLocalAddress(
            settings, [&](const std::string& address) { offered.push_back(address); },
            [&] { return machine; });
        EXPECT_EQ(settings.LocalIPAddress, chosen) << configured;
        EXPECT_EQ(offered,
                  Strings(machine.begin(), machine.begin() + std::min(machine.size(), 5ul)));
    }
    const Strings machine = settings::MachineLocalAddresses();
    EXPECT_TRUE(!machine.empty() && machine.size() <= 5u) << "the loopback interface is up";
}

// As the program loads it, after the other settings.
int LoadStored(PhoneBook& book) {
    int added = 0;
    EffectiveSettings ignored;
    settings::LoadSettings(*platform::CreateUserSettingsStore(), ignored,
                           [&](platform::SettingsStore& key) { added = LoadPhoneBook(book, key); });
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
    const std::pair<PhoneBook::Entry, int> adds[] = {
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
    EXPECT_EQ(std::pair(book.IndexOfName("lower"), book.IndexOfName("Low")), std::pair(6, -1));
    EXPECT_EQ(book.SpeedDialNumber("7"), "ab");
    EXPECT_EQ(book.SpeedDialNumber("NIL"), "10") << "the first entry without a code";
    EXPECT_EQ(book.SpeedDialNumber("8"), std::nullopt);
    // What the user types: no clash (a typed placeholder clashes with the entries without
    // code) and no separator that would split the entry differently on the next load.
    const std::pair<PhoneBook::Entry, bool> typed[] = {
        {{"600", "Cafe", ""}, true},    {{"600", "Cafe", "8"}, true},
        {{"100", "Cafe", ""}, false},   {{"600", "upper", ""}, false},
        {{"600", "Cafe", "7"}, false},  {{"600", "Cafe", "nil"}, false},
        {{"6*%*1", "Cafe", ""}, false}, {{"600", "Ca*:*fe", ""}, false},
    };
    for (const auto& [e, accepted] : typed) {
        EXPECT_EQ(book.Accepts(e.number, e.name, e.speedCode), accepted) << e.number << e.name;
    }
    EXPECT_FALSE(book.Delete(book.Count()) || book.Delete(-1));
    for (int i = book.Count(); i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    EXPECT_EQ(book.Add("2000", "One more", ""), -1) << "the 51st entry";
}

// Malformed values (split at the first separators) and the later of two clashing entries are
// skipped; a reload brings back only what the lists miss; a count above fifty or unreadable
// loads nothing. A save writes a clean book beside the other settings that reloads the same.
TEST(PhoneBookStorage, SkipsMalformedAndClashingEntriesAndBadCountsAndTheSaveRoundTrips) {
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
    std::map<std::string, std::string> values = {{"PhoneBookCount", "12"}, {"UserAccount", "a"}};
    for (size_t i = 0; i < stored.size(); ++i) {
        values["PhoneAddress." + std::to_string(i + 1)] = stored[i];
    }
    SettingsTestHome::Store(values);
    PhoneBook book;
    EXPECT_EQ(LoadStored(book), 3);
    const Strings loaded = {"300|Office|nil", "303|Home|5*:*8", "305|Garage|nil"};
    EXPECT_EQ(Lists(book), loaded);
    ASSERT_TRUE(book.Delete(0));
    EXPECT_EQ(LoadStored(book), 1);
    EXPECT_EQ(Lists(book), loaded);

    ASSERT_GE(book.Add("+49 30 1234", "Caf\xc3\xa9 = \"Bar\"", "#1"), 0);
    // A lock that names nobody, as a program killed while saving leaves, holds no save up.
    std::ofstream(home.File().string() + ".lock");
    platform::IniSettingsStore store;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(settings::SavePhoneBook(book, store) && !store.KeyOpen());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(SettingsTestHome::Stored("PhoneBookCount"), "4");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.1"),
              "+49 30 1234*%*Caf\xc3\xa9 = \"Bar\"*:*#1");
    EXPECT_EQ(SettingsTestHome::Stored("PhoneAddress.2"), "300*%*Office*:*nil");
    EXPECT_EQ(SettingsTestHome::Stored("UserAccount"), "a");
    PhoneBook reloaded;
    EXPECT_EQ(LoadStored(reloaded), 4);
    EXPECT_EQ(Lists(reloaded), Lists(book));

    // Entry 13, beyond the first count, comes in with a count of fifty.
    for (const auto& [count, added] : {std::pair{"51", 0}, {"fifty", 0}, {"-3", 0}, {"50", 5}}) {
        SettingsTestHome::Store({{"PhoneBookCount", count}});
        PhoneBook book;
        EXPECT_EQ(LoadStored(book), added) << count;
    }
}

}  // namespace
