#include "settings/LoadSettings.h"

#include <gtest/gtest.h>

#include "settings/LocalAddressChoice.h"
#include "settings/ProxyAddress.h"
#include "tests/settings/SettingsTestHome.h"

namespace {

using settings::EffectiveSettings;

std::string Summary(const EffectiveSettings& s) {
    return s.UserAccount + "|" + s.UserKey + "|" + s.SIPProxyAddress + "|" +
           (s.SIPProxyLabelUnusable ? "unusable|" : "|") + std::to_string(s.SIPProxyPort) + "|" +
           s.LocalIPAddress + "|" + std::to_string(s.LocalRTPPort);
}

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

TEST_F(LoadSettingsTest, AMissingKeyGivesTheDefaultsAndStoredValuesLoadBeforeThePhoneBook) {
    EffectiveSettings loaded;
    loaded.UserAccount = loaded.UserKey = loaded.SIPProxyAddress = "left over";
    loaded.SIPProxyLabelUnusable = true;
    loaded.SIPProxyPort = loaded.LocalRTPPort = 7000;
    bool phoneBookLoaded = false;
    settings::LoadSettings(*store_, loaded, [&](auto&) { phoneBookLoaded = true; });
    EXPECT_EQ(Summary(loaded), "||||5060|127.0.0.1|18598");
    EXPECT_FALSE(phoneBookLoaded);
    EXPECT_FALSE(std::filesystem::exists(home_.File())) << "loading must not create the key";

    home_.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=7000\n"
        "LocalIPAddress=10.1.1.1\nLocalRTPPort=20000\nPhoneAddress.1=100*%*Office*:*nil\n");
    std::string entry;
    settings::LoadSettings(*store_, loaded, [&](platform::SettingsStore& key) {
        EXPECT_EQ(loaded.LocalRTPPort, 20000) << "settings come first";
        entry = key.ReadString("PhoneAddress.1");
    });
    EXPECT_EQ(entry, "100*%*Office*:*nil");
    EXPECT_EQ(Summary(loaded),
              "alice|s3cret|op" + settings::OperatorDomain() + "||7000|10.1.1.1|20000");
    EXPECT_FALSE(store_->KeyOpen());
    EXPECT_EQ(settings::ProxyLabelFromHost(loaded.SIPProxyAddress), "op");
    EXPECT_EQ(settings::ProxyLabelFromHost("op.elsewhere.test"), "");
    // A dotted label is unusable; an empty one (and an empty address, which start-up replaces
    // by a machine address) is not.
    EXPECT_EQ(Summary(Load("SIPProxyAddress=sip1.example.org\n")), "|||unusable|5060||18598");
    EXPECT_EQ(Summary(Load("SIPProxyAddress=\n")), "||||5060||18598");
}

TEST_F(LoadSettingsTest, PortsOutOfRangeOrUnreadableFallBackToTheDefaults) {
    // The dialog allows an RTP port of 0; a quote left open by a damaged file ends with its
    // line; "1,2" is what a hand-edited file leaves.
    std::vector<std::tuple<std::string, int, int>> rows = {{" 5080 |0", 5080, 0},
                                                           {"0|65535", 5060, 65535},
                                                           {"1|1", 1, 1},
                                                           {"\"7000|\"20000", 7000, 20000}};
    for (const char* bad :
         {"", "abc", "50x60", "-5060", "65536", "99999999999", "0x13c4", "+1", "1,2"}) {
        rows.emplace_back(bad + std::string("|") + bad, 5060, 18598);
    }
    for (const auto& [ports, sip, rtp] : rows) {
        const std::string sipText = ports.substr(0, ports.find('|'));
        const EffectiveSettings loaded =
            Load("SIPProxyPort=" + sipText + "\nLocalRTPPort=" + ports.substr(sipText.size() + 1) +
                 "\n");
        EXPECT_EQ(std::pair(loaded.SIPProxyPort, loaded.LocalRTPPort), std::pair(sip, rtp))
            << ports;
    }
}

using Addresses = std::vector<std::string>;

// The configured address stays only when it is one of the first five machine addresses,
// which are offered in order.
TEST(LocalAddressChoiceTest, ConfiguredAddressStaysOnlyWhenOneOfTheFirstFiveMachineAddresses) {
    const Addresses seven = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4",
                             "10.0.0.5", "10.0.0.6", "10.0.0.7"};
    const struct {
        std::string configured;
        Addresses machine;
        std::string chosen;
        Addresses offered;
    } cases[] = {
        {"10.1.1.1", {}, "127.0.0.1", {}},
        {"10.1.1.1", {"192.168.1.20", "10.1.1.1"}, "10.1.1.1", {"192.168.1.20", "10.1.1.1"}},
        {"10.1.1.1", {"192.168.1.20"}, "192.168.1.20", {"192.168.1.20"}},
        {"10.0.0.5", seven, "10.0.0.5", Addresses(seven.begin(), seven.begin() + 5)},
        {"10.0.0.7", seven, "10.0.0.1", Addresses(seven.begin(), seven.begin() + 5)},
    };
    for (const auto& c : cases) {
        EffectiveSettings settings;
        settings.LocalIPAddress = c.configured;
        Addresses offered;
        settings::ChooseStartupLocalAddress(
            settings, [&](const std::string& address) { offered.push_back(address); },
            [&] { return c.machine; });
        EXPECT_EQ(settings.LocalIPAddress, c.chosen) << c.configured;
        EXPECT_EQ(offered, c.offered) << c.configured;
    }
    const Addresses machine = settings::MachineLocalAddresses();
    EXPECT_LE(machine.size(), 5u);
    EXPECT_FALSE(machine.empty()) << "the loopback interface is up";
}

}  // namespace
