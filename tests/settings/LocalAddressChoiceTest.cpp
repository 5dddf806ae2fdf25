#include "settings/LocalAddressChoice.h"

#include <gtest/gtest.h>

namespace {

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
