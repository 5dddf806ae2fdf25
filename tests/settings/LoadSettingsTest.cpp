#include "settings/LoadSettings.h"

#include <gtest/gtest.h>

#include "settings/LocalAddressChoice.h"
#include "settings/ProxyAddress.h"
#include "tests/settings/SettingsTestHome.h"

namespace {

using settings::EffectiveSettings;

class LoadSettingsTest : public ::testing::Test {
protected:
    EffectiveSettings Load(const std::string& fileText) {
        home_.WriteFile("[General]\n" + fileText);
        EffectiveSettings loaded;
        settings::LoadSettings(*store_, loaded);
        return loaded;
    }

    SettingsTestHome home_;
    std::unique_ptr<platform::SettingsStore> store_ = platform::CreateUserSettingsStore();
};

TEST_F(LoadSettingsTest, MissingKeyGivesTheDefaultsAndNoPhoneBook) {
    EffectiveSettings loaded;
    loaded.UserAccount = "left over";
    loaded.SIPProxyPort = 7000;
    loaded.LocalRTPPort = 20000;
    bool phoneBookLoaded = false;
    settings::LoadSettings(*store_, loaded,
                           [&](platform::SettingsStore&) { phoneBookLoaded = true; });
    EXPECT_EQ(loaded.UserAccount + "|" + loaded.SIPProxyAddress + "|" + loaded.LocalIPAddress,
              "||127.0.0.1");
    EXPECT_EQ(loaded.SIPProxyPort, 5060);
    EXPECT_EQ(loaded.LocalRTPPort, 18598);
    EXPECT_FALSE(phoneBookLoaded);
    EXPECT_FALSE(std::filesystem::exists(home_.File())) << "loading must not create the key";
}

TEST_F(LoadSettingsTest, StoredValuesLoadAndThePhoneBookReadsTheOpenKeyAfterThem) {
    home_.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=7000\n"
        "LocalIPAddress=10.1.1.1\nLocalRTPPort=20000\nPhoneAddress.1=100*%*Office*:*nil\n");
    EffectiveSettings loaded;
    std::string entry;
    settings::LoadSettings(*store_, loaded, [&](platform::SettingsStore& key) {
        EXPECT_EQ(loaded.LocalRTPPort, 20000) << "settings come first";
        entry = key.ReadString("PhoneAddress.1");
    });
    EXPECT_EQ(entry, "100*%*Office*:*nil");
    EXPECT_EQ(loaded.UserAccount + "|" + loaded.UserKey + "|" + loaded.LocalIPAddress,
              "alice|s3cret|10.1.1.1");
    EXPECT_EQ(loaded.SIPProxyAddress, "op" + settings::OperatorDomain());
    EXPECT_EQ(loaded.SIPProxyPort, 7000);
    EXPECT_EQ(loaded.LocalRTPPort, 20000);
    EXPECT_FALSE(store_->KeyOpen());

    ASSERT_EQ(settings::OperatorDomain().front(), '.');
    EXPECT_EQ(Load("SIPProxyAddress=sip1.example.org\n").SIPProxyAddress, "") << "dotted";
    // Unlike a missing key: the empty address is replaced by a machine address at start-up.
    const EffectiveSettings empty = Load("SIPProxyAddress=\n");
    EXPECT_EQ(empty.SIPProxyAddress + "|" + empty.LocalIPAddress, "|");
}

TEST_F(LoadSettingsTest, PortsOutOfRangeOrUnreadableFallBackToTheDefaults) {
    struct Row {
        std::string sip, rtp;
        int sipPort, rtpPort;
    };
    std::vector<Row> rows = {
        {"", "", 5060, 18598},
        {" 5080 ", "0", 5080, 0},  // the dialog allows an RTP port of 0
        {"0", "65535", 5060, 65535},
        // A quote left open by a damaged file ends with its line.
        {"\"7000", "\"20000", 7000, 20000},
    };
    // "1,2" is what a hand-edited file leaves.
    for (const char* bad :
         {"abc", "50x60", "-5060", "65536", "99999999999", "0x13c4", "+1", "1,2"}) {
        rows.push_back({bad, bad, 5060, 18598});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sip + "/" + row.rtp);
        const EffectiveSettings loaded =
            Load("SIPProxyPort=" + row.sip + "\nLocalRTPPort=" + row.rtp + "\n");
        EXPECT_EQ(loaded.SIPProxyPort, row.sipPort);
        EXPECT_EQ(loaded.LocalRTPPort, row.rtpPort);
    }
}

using Addresses = std::vector<std::string>;

TEST(LocalAddressChoiceTest, ConfiguredAddressStaysOnlyWhenOneOfTheFirstFiveMachineAddresses) {
    const Addresses seven = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4",
                             "10.0.0.5", "10.0.0.6", "10.0.0.7"};
    struct Case {
        std::string configured;
        Addresses machine;
        std::string chosen;
        Addresses offered;
    } cases[] = {
        {"10.1.1.1", {}, "127.0.0.1", {}},
        {"10.1.1.1", {"192.168.1.20", "10.1.1.1"}, "10.1.1.1", {"192.168.1.20", "10.1.1.1"}},
        {"10.1.1.1", {"192.168.1.20"}, "192.168.1.20", {"192.168.1.20"}},
        {"", {"10.2.2.2", "127.0.0.1"}, "10.2.2.2", {"10.2.2.2", "127.0.0.1"}},
        {"10.0.0.7", seven, "10.0.0.1", Addresses(seven.begin(), seven.begin() + 5)},
    };
    for (const Case& c : cases) {
        settings::EffectiveSettings settings;
        settings.LocalIPAddress = c.configured;
        Addresses offered;
        settings::ChooseStartupLocalAddress(
            settings, [&](const std::string& address) { offered.push_back(address); },
            [&] { return c.machine; });
        EXPECT_EQ(settings.LocalIPAddress, c.chosen) << c.configured;
        EXPECT_EQ(offered, c.offered) << c.configured;
    }
}

TEST(LocalAddressChoiceTest, MachineAddressesComeFromTheInterfacesThatAreUp) {
    const Addresses machine = settings::MachineLocalAddresses();
    EXPECT_LE(machine.size(), 5u);
    // The loopback interface is up on every machine the tests run on.
    EXPECT_FALSE(machine.empty());
}

}  // namespace
