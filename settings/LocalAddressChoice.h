#pragma once

#include <functional>
#include <string>
#include <vector>

#include "settings/EffectiveSettings.h"

namespace settings {

// The machine's IPv4 addresses worth offering, at most five, loopback last.
std::vector<std::string> MachineLocalAddresses();

using LocalAddressLister = std::function<std::vector<std::string>()>;
using LocalAddressOffer = std::function<void(const std::string& address)>;

// Runs once when the program starts, after the first LoadSettings: offers each machine address
// (at most five) through offerAddress and replaces a local address that is none of them by the
// first; without machine addresses the local address becomes 127.0.0.1. The replacement lives
// in memory only: the stored address stays as it was.
void ChooseStartupLocalAddress(EffectiveSettings& settings, const LocalAddressOffer& offerAddress,
                               const LocalAddressLister& listAddresses = MachineLocalAddresses);

}  // namespace settings
