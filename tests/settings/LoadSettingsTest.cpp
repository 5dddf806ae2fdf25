#include "settings/LoadSettings.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(loaded.UserAccount, "");
    EXPECT_EQ(loaded.SIPProxyAddress, "");
    EXPECT_EQ(loaded.SIPProxyPort, 5060);
    EXPECT_EQ(loaded.LocalIPAddress, "127.0.0.1");
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
    EXPECT_EQ(loaded.UserAccount, "alice");
    EXPECT_EQ(loaded.UserKey, "s3cret");
    EXPECT_EQ(loaded.SIPProxyAddress, "op" + settings::OperatorDomain());
    EXPECT_EQ(loaded.SIPProxyPort, 7000);
    EXPECT_EQ(loaded.LocalIPAddress, "10.1.1.1");
    EXPECT_EQ(loaded.LocalRTPPort, 20000);
    EXPECT_FALSE(store_->KeyOpen());
}

TEST_F(LoadSettingsTest, ProxyLabelGetsTheOperatorDomainUnlessEmptyOrDotted) {
    ASSERT_EQ(settings::OperatorDomain().front(), '.');
    EXPECT_EQ(Load("SIPProxyAddress=sip1\n").SIPProxyAddress, "sip1" + settings::OperatorDomain());
    EXPECT_EQ(Load("SIPProxyAddress=sip1.example.org\n").SIPProxyAddress, "");
    EXPECT_EQ(Load("SIPProxyAddress=\n").SIPProxyAddress, "");
}

TEST_F(LoadSettingsTest, EmptyOrUnusablePortsFallBackToTheDefaults) {
    const EffectiveSettings empty = Load("SIPProxyPort=\nLocalRTPPort=\n");
    EXPECT_EQ(empty.SIPProxyPort, 5060);
    EXPECT_EQ(empty.LocalRTPPort, 18598);
    // Unlike a missing key: the empty address is replaced by a machine address at start-up.
    EXPECT_EQ(empty.LocalIPAddress, "");

    // "1,2" is what a hand-edited file leaves.
    for (const char* text :
         {"abc", "50x60", "-5060", "65536", "99999999999", "0x13c4", "+1", "1,2"}) {
        const EffectiveSettings loaded =
            Load(std::string("SIPProxyPort=") + text + "\nLocalRTPPort=" + text + "\n");
        EXPECT_EQ(loaded.SIPProxyPort, 5060) << text;
        EXPECT_EQ(loaded.LocalRTPPort, 18598) << text;
    }
    const EffectiveSettings edge = Load("SIPProxyPort= 5080 \nLocalRTPPort=0\n");
    EXPECT_EQ(edge.SIPProxyPort, 5080);
    EXPECT_EQ(edge.LocalRTPPort, 0) << "the dialog allows 0";
    EXPECT_EQ(Load("SIPProxyPort=0\nLocalRTPPort=65535\n").SIPProxyPort, 5060);
    EXPECT_EQ(Load("LocalRTPPort=65535\n").LocalRTPPort, 65535);

    // A quote left open by a damaged file ends with its line, and the next line still counts.
    const EffectiveSettings quoted = Load("SIPProxyPort=\"7000\nLocalRTPPort=\"20000\n");
    EXPECT_EQ(quoted.SIPProxyPort, 7000);
    EXPECT_EQ(quoted.LocalRTPPort, 20000);
}

}  // namespace
