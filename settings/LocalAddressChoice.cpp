#include "settings/LocalAddressChoice.h"

#include <algorithm>

#include "platform/HostAddresses.h"

namespace settings {

namespace {
constexpr size_t kOfferedAddresses = 5;
}

std::vector<std::string> MachineLocalAddresses() {
    return platform::LocalIpv4Addresses(kOfferedAddresses);
}

void ChooseStartupLocalAddress(EffectiveSettings& settings, const LocalAddressOffer& offerAddress,
                               const LocalAddressLister& listAddresses) {
    std::vector<std::string> addresses = listAddresses();
    if (addresses.size() > kOfferedAddresses) {
        addresses.resize(kOfferedAddresses);
    }
    if (addresses.empty()) {
        settings.LocalIPAddress = "127.0.0.1";
        return;
    }
    for (const std::string& address : addresses) {
        offerAddress(address);
    }
    if (std::find(addresses.begin(), addresses.end(), settings.LocalIPAddress) == addresses.end()) {
        settings.LocalIPAddress = addresses.front();
    }
}

}  // namespace settings
