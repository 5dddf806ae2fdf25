#include "HostAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include "UdpSocket.h"

namespace platform {

std::string ResolveFirstIpv4(const std::string& host) {
    const std::string name = host.substr(0, 99);
    if (name.empty()) {
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return {};
    }
    std::string dotted;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            char text[16];
            dotted = FormatDottedIpv4(address->sin_addr.s_addr, text);
            break;
        }
    }
    freeaddrinfo(result);
    return dotted;
}

std::vector<std::string> LocalIpv4Addresses(size_t maxCount) {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return {};
    }
    std::vector<std::string> outside;
    std::vector<std::string> loopback;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        char text[16];
        FormatDottedIpv4(address->sin_addr.s_addr, text);
        ((entry->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : outside).push_back(text);
    }
    freeifaddrs(interfaces);
    outside.insert(outside.end(), loopback.begin(), loopback.end());
    if (outside.size() > maxCount) {
        outside.resize(maxCount);
    }
    return outside;
}

}  // namespace platform
