#include "settings/LocalAddressChoice.h"

#include <gtest/gtest.h>

namespace {

using settings::EffectiveSettings;
using Addresses = std::vector<std::string>;

Addresses Choose(EffectiveSettings& settings, const Addresses& machine) {
    Addresses offered;
    settings::ChooseStartupLocalAddress(
        settings, [&](const std::string& address) { offered.push_back(address); },
        [&] { return machine; });
    return offered;
}

TEST(LocalAddressChoiceTest, WithoutMachineAddressesTheLoopbackAddressIsUsed) {
    EffectiveSettings settings;
    settings.LocalIPAddress = "10.1.1.1";
    EXPECT_TRUE(Choose(settings, {}).empty());
    EXPECT_EQ(settings.LocalIPAddress, "127.0.0.1");
}

TEST(LocalAddressChoiceTest, ConfiguredAddressStaysWhenTheMachineHasIt) {
    EffectiveSettings settings;
    settings.LocalIPAddress = "10.1.1.1";
    EXPECT_EQ(Choose(settings, {"192.168.1.20", "10.1.1.1"}),
              (Addresses{"192.168.1.20", "10.1.1.1"}));
    EXPECT_EQ(settings.LocalIPAddress, "10.1.1.1");
}

TEST(LocalAddressChoiceTest, UnknownOrEmptyAddressBecomesTheFirstMachineAddress) {
    EffectiveSettings settings;
    settings.LocalIPAddress = "10.1.1.1";
    EXPECT_EQ(Choose(settings, {"192.168.1.20"}), (Addresses{"192.168.1.20"}));
    EXPECT_EQ(settings.LocalIPAddress, "192.168.1.20");

    settings.LocalIPAddress = "";
    Choose(settings, {"10.2.2.2", "127.0.0.1"});
    EXPECT_EQ(settings.LocalIPAddress, "10.2.2.2");
}

TEST(LocalAddressChoiceTest, AtMostFiveAddressesAreOfferedAndCompared) {
    EffectiveSettings settings;
    settings.LocalIPAddress = "10.0.0.7";
    const Addresses seven = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4",
                             "10.0.0.5", "10.0.0.6", "10.0.0.7"};
    EXPECT_EQ(Choose(settings, seven), Addresses(seven.begin(), seven.begin() + 5));
    EXPECT_EQ(settings.LocalIPAddress, "10.0.0.1");
}

TEST(LocalAddressChoiceTest, MachineAddressesComeFromTheInterfacesThatAreUp) {
    const Addresses machine = settings::MachineLocalAddresses();
    EXPECT_LE(machine.size(), 5u);
    // The loopback interface is up on every machine the tests run on.
    EXPECT_FALSE(machine.empty());
}

}  // namespace
