#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"
#include "settings/EffectiveSettings.h"
#include "settings/LoadSettings.h"
#include "settings/ProxyAddress.h"
#include "tools/fuzz/support/InMemorySettingsStore.h"

// The settings are read at start-up from text anyone with access to the user's settings file
// may have edited. The input is split into lines, one stored value each, in the order of
// kValueNames. Whatever was stored, the loaded settings must stay usable: ports in range (the
// stored one when it is a plain number in range, else the default), a proxy host that is
// empty or one label in the operator's domain, and the phone book loader handed the open key
// exactly once. A key that does not exist must give the defaults.

namespace {

const char* const kValueNames[] = {"UserAccount",  "UserKey",        "SIPProxyAddress",
                                   "SIPProxyPort", "LocalIPAddress", "LocalRTPPort"};

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

std::string Cut(const std::string& text) {
    return text.substr(0, platform::kMaxSettingsValueLength);
}

// What a stored port must load as, worked out independently of the loader: blanks around
// plain decimal digits whose value lies in range, else the default.
int ExpectedPort(const std::string& stored, int lowest, int fallback) {
    const std::string text = Cut(stored);
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return fallback;
    }
    const size_t last = text.find_last_not_of(" \t");
    const std::string digits = text.substr(first, last - first + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        return fallback;
    }
    const size_t significant = digits.find_first_not_of('0');
    const std::string value = significant == std::string::npos ? "0" : digits.substr(significant);
    if (value.size() > 5) {
        return fallback;
    }
    const int port = std::stoi(value);
    return port >= lowest && port <= 65535 ? port : fallback;
}

void CheckLoadedFromKey(const std::vector<std::string>& stored,
                        const settings::EffectiveSettings& loaded) {
    Check(loaded.UserAccount == Cut(stored[0]));
    Check(loaded.UserKey == Cut(stored[1]));
    Check(loaded.LocalIPAddress == Cut(stored[4]));
    Check(loaded.SIPProxyPort == ExpectedPort(stored[3], 1, loaded.DefaultSipPort));
    Check(loaded.LocalRTPPort == ExpectedPort(stored[5], 0, loaded.DefaultRtpPort));

    const std::string label = Cut(stored[2]);
    if (label.empty() || label.find('.') != std::string::npos) {
        Check(loaded.SIPProxyAddress.empty());
    } else {
        Check(loaded.SIPProxyAddress == label + settings::OperatorDomain());
        // The dialog shows the label again for editing.
        Check(settings::ProxyLabelFromHost(loaded.SIPProxyAddress) == label);
    }
}

void CheckDefaults(const settings::EffectiveSettings& loaded) {
    Check(loaded.UserAccount.empty() && loaded.UserKey.empty() && loaded.SIPProxyAddress.empty());
    Check(loaded.SIPProxyPort == loaded.DefaultSipPort);
    Check(loaded.LocalRTPPort == loaded.DefaultRtpPort);
    Check(loaded.LocalIPAddress == "127.0.0.1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> stored = fuzz::SplitLines(reinterpret_cast<const char*>(data), size);
    stored.resize(std::size(kValueNames));

    fuzz::InMemorySettingsStore store;
    for (size_t i = 0; i < std::size(kValueNames); ++i) {
        store.Put(kValueNames[i], stored[i]);
    }
    int phoneBookLoads = 0;
    settings::EffectiveSettings loaded;
    settings::LoadSettings(store, loaded, [&](platform::SettingsStore& openKey) {
        Check(openKey.KeyOpen());
        ++phoneBookLoads;
    });
    Check(phoneBookLoads == 1);
    Check(!store.KeyOpen());
    CheckLoadedFromKey(stored, loaded);

    // Loading again over what the first load left must give the same settings, and a missing
    // key must put back every default whatever the settings held before.
    settings::EffectiveSettings again = loaded;
    settings::LoadSettings(store, again);
    CheckLoadedFromKey(stored, again);

    fuzz::InMemorySettingsStore missing(false);
    settings::LoadSettings(missing, loaded, [&](platform::SettingsStore&) { ++phoneBookLoads; });
    Check(phoneBookLoads == 1);
    CheckDefaults(loaded);
    return 0;
}
