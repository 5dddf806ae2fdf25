#include "settings/LoadSettings.h"

#include "settings/ProxyAddress.h"
#include "settings/StoredNumber.h"

namespace settings {

namespace {

void ApplyDefaultsOfMissingKey(EffectiveSettings& settings) {
    settings.UserAccount.clear();
    settings.UserKey.clear();
    settings.SIPProxyAddress.clear();
    settings.SIPProxyLabelUnusable = false;
    settings.SIPProxyPort = settings.DefaultSipPort;
    settings.LocalIPAddress = "127.0.0.1";
    settings.LocalRTPPort = settings.DefaultRtpPort;
}

void ReadStoredSettings(platform::SettingsStore& key, EffectiveSettings& settings) {
    settings.UserAccount = key.ReadString("UserAccount");
    settings.UserKey = key.ReadString("UserKey");
    const std::string proxyLabel = key.ReadString("SIPProxyAddress");
    settings.SIPProxyAddress = ProxyHostFromLabel(proxyLabel);
    settings.SIPProxyLabelUnusable = !proxyLabel.empty() && settings.SIPProxyAddress.empty();
    settings.SIPProxyPort = ParseStoredNumber(key.ReadString("SIPProxyPort"), 1, kHighestPort)
                                .value_or(settings.DefaultSipPort);
    // Empty here is replaced by a machine address when the program starts.
    settings.LocalIPAddress = key.ReadString("LocalIPAddress");
    // 0 is kept: the dialog lets the user enter it.
    settings.LocalRTPPort = ParseStoredNumber(key.ReadString("LocalRTPPort"), 0, kHighestPort)
                                .value_or(settings.DefaultRtpPort);
}

}  // namespace

void LoadSettings(platform::SettingsStore& store, EffectiveSettings& settings,
                  const PhoneBookLoader& loadPhoneBook) {
    if (!store.OpenKey(platform::kSoftPhoneSettingsKey, false)) {
        ApplyDefaultsOfMissingKey(settings);
        return;
    }
    ReadStoredSettings(store, settings);
    if (loadPhoneBook) {
        loadPhoneBook(store);
    }
    store.CloseKey();
}

}  // namespace settings
