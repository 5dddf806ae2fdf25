#pragma once

#include <string>

// The account and addresses that every composed message is built from. Written by the call
// manager's setters before its thread runs, read-only afterwards.
struct CallSettings {
    std::string Account;       // user part of Contact URIs
    std::string AuthUser;      // digest user name, also the display name in From
    std::string Password;      // digest password
    std::string ProxyHost;     // proxy host as configured (name or dotted address)
    std::string ProxyUri;      // "sip:" + ProxyHost: Request-URI of REGISTER and digest uri
    std::string ProxyAddress;  // dotted address ProxyHost resolved to; empty when it did not
    int ProxyPort = 0;
    std::string LocalAddress;
    int LocalPort = 0;
    int RegisterInterval = 7200;  // seconds; also the Contact expiry of REGISTER
    std::string LocalRtpAddress;  // media address offered in SDP, always LocalAddress
    int LocalRtpPort = 0;
};
