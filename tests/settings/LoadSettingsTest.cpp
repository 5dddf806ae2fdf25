#include "settings/LoadSettings.h"

#include <gtest/gtest.h>

#include "settings/ProxyAddress.h"
#include "settings/StoredNumber.h"
#include "tests/settings/SettingsTestHome.h"

namespace {

using settings::EffectiveSettings;

class LoadSettingsTest : public ::testing::Test {
  protected:
    EffectiveSettings Load(const std::string& fileText) {
        home_.WriteFile(fileText);
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
    EXPECT_EQ(loaded.UserKey, "");
    EXPECT_EQ(loaded.SIPProxyAddress, "");
    EXPECT_EQ(loaded.SIPProxyPort, 5060);
    EXPECT_EQ(loaded.LocalIPAddress, "127.0.0.1");
    EXPECT_EQ(loaded.LocalRTPPort, 18598);
    EXPECT_EQ(loaded.VersionText, "V2.0.0.1");
    EXPECT_FALSE(phoneBookLoaded);
    EXPECT_FALSE(std::filesystem::exists(home_.File())) << "loading must not create the key";
}

TEST_F(LoadSettingsTest, StoredValuesLoadAndThePhoneBookReadsTheOpenKeyAfterThem) {
    home_.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=7000\n"
        "LocalIPAddress=10.1.1.1\nLocalRTPPort=20000\nPhoneBookCount=1\n"
        "PhoneAddress.1=100*%*Office*:*nil\n");
    EffectiveSettings loaded;
    std::string entry;
    settings::LoadSettings(*store_, loaded, [&](platform::SettingsStore& key) {
        EXPECT_EQ(loaded.LocalRTPPort, 20000) << "settings come first";
        if (key.ReadString("PhoneBookCount") == "1") {
            entry = key.ReadString("PhoneAddress.1");
        }
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
    EXPECT_EQ(Load("[General]\nSIPProxyAddress=sip1\n").SIPProxyAddress,
              "sip1" + settings::OperatorDomain());
    EXPECT_EQ(Load("[General]\nSIPProxyAddress=sip1.example.org\n").SIPProxyAddress, "");
    EXPECT_EQ(Load("[General]\nSIPProxyAddress=\n").SIPProxyAddress, "");
    EXPECT_EQ(Load("[General]\nUserAccount=alice\n").SIPProxyAddress, "");
}

TEST_F(LoadSettingsTest, EmptyOrMissingValuesInAnExistingKey) {
    const EffectiveSettings loaded = Load("[General]\nSIPProxyPort=\nLocalRTPPort=\n");
    EXPECT_EQ(loaded.UserAccount, "");
    EXPECT_EQ(loaded.SIPProxyPort, 5060);
    EXPECT_EQ(loaded.LocalRTPPort, 18598);
    // Unlike a missing key: the empty address is replaced by a machine address at start-up.
    EXPECT_EQ(loaded.LocalIPAddress, "");
}

TEST_F(LoadSettingsTest, PortsThatAreNotUsableNumbersFallBackToTheDefaults) {
    for (const char* text : {"abc", "50x60", "-5060", "0", "65536", "99999999999", "0x13c4"}) {
        const std::string file =
            std::string("[General]\nSIPProxyPort=") + text + "\nLocalRTPPort=" + text + "\n";
        const EffectiveSettings loaded = Load(file);
        EXPECT_EQ(loaded.SIPProxyPort, 5060) << text;
        if (std::string(text) != "0") {
            EXPECT_EQ(loaded.LocalRTPPort, 18598) << text;
        }
    }
    EXPECT_EQ(Load("[General]\nSIPProxyPort= 5080 \nLocalRTPPort=0\n").SIPProxyPort, 5080);
    EXPECT_EQ(Load("[General]\nLocalRTPPort=0\n").LocalRTPPort, 0) << "the dialog allows 0";
    EXPECT_EQ(Load("[General]\nLocalRTPPort=65535\n").LocalRTPPort, 65535);
}

TEST_F(LoadSettingsTest, StoredNumbersSuchAsThePhoneBookCountAreParsedStrictly) {
    EXPECT_EQ(settings::ParseStoredNumber("12", 0, 50), 12);
    EXPECT_EQ(settings::ParseStoredNumber("51", 0, 50), std::nullopt);
    EXPECT_EQ(settings::ParseStoredNumber("", 0, 50), std::nullopt);
    EXPECT_EQ(settings::ParseStoredNumber("twelve", 0, 50), std::nullopt);
    EXPECT_EQ(settings::ParseStoredNumber("1 2", 0, 50), std::nullopt);
    EXPECT_EQ(settings::ParseStoredNumber("+1", 0, 50), std::nullopt);
}

TEST_F(LoadSettingsTest, DamagedFileStillGivesUsableSettings) {
    const EffectiveSettings loaded = Load(
        "[General]\nUserAccount=alice\n\x01\xff junk\nSIPProxyPort=\"70\n[x\nLocalRTPPort=1,2\n");
    EXPECT_EQ(loaded.UserAccount, "alice");
    EXPECT_EQ(loaded.SIPProxyPort, 5060);
    EXPECT_EQ(loaded.LocalRTPPort, 18598);
}

}  // namespace
