#pragma once

#include <string>

namespace settings {

// The settings the main window works with, loaded from the user's settings key. The
// configuration dialog reads and writes them in place.
struct EffectiveSettings {
    int DefaultSipPort = 5060;
    int DefaultRtpPort = 18598;
    std::string VersionText = "V2.0.0.1";

    std::string UserAccount;
    std::string UserKey;
    // The full host name of the proxy: the stored label followed by the operator domain.
    std::string SIPProxyAddress;
    // A proxy label was stored but gives no proxy address (a dot in it).
    bool SIPProxyLabelUnusable = false;
    // Also the local SIP port.
    int SIPProxyPort = DefaultSipPort;
    std::string LocalIPAddress;
    int LocalRTPPort = DefaultRtpPort;
};

}  // namespace settings
