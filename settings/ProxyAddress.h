#pragma once

#include <string>

namespace settings {

// The operator's domain, beginning with a dot, fixed when the program is built.
const std::string& OperatorDomain();

// The proxy is stored as the leftmost label of its host name only. A label that is empty or
// has a dot in it gives no proxy.
std::string ProxyHostFromLabel(const std::string& label);

// The label shown for editing: the host up to the operator's domain; empty when the host is
// not in that domain.
std::string ProxyLabelFromHost(const std::string& host);

}  // namespace settings
