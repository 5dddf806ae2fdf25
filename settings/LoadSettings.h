#pragma once

#include <functional>

#include "platform/SettingsStore.h"
#include "settings/EffectiveSettings.h"

namespace settings {

// Reads the phone book from the settings key, which LoadSettings holds open for it.
using PhoneBookLoader = std::function<void(platform::SettingsStore& openKey)>;

// Fills the effective settings from the user's settings key, with the defaults where the key or
// a value is missing or unusable, then hands the still open key to loadPhoneBook. Without the
// key the phone book loader is not called. Showing the account is left to the caller.
void LoadSettings(platform::SettingsStore& store, EffectiveSettings& settings,
                  const PhoneBookLoader& loadPhoneBook = nullptr);

}  // namespace settings
