#pragma once

#include <string>
#include <vector>

namespace platform {

// The first IPv4 address of a host name (or a dotted text) in dotted form, as the system's
// resolver answers it; empty when the name does not resolve. Names over 99 characters are cut.
std::string ResolveFirstIpv4(const std::string& host);

// The machine's IPv4 addresses from the interfaces that are up: the non-loopback addresses
// first, in the system's order, the loopback addresses last; at most maxCount of them.
std::vector<std::string> LocalIpv4Addresses(size_t maxCount = 5);

}  // namespace platform
