#include "settings/ProxyAddress.h"

namespace settings {

const std::string& OperatorDomain() {
    static const std::string domain = SOFTPHONE_OPERATOR_DOMAIN;
    return domain;
}

std::string ProxyHostFromLabel(const std::string& label) {
    if (label.empty() || label.find('.') != std::string::npos) {
        return {};
    }
    return label + OperatorDomain();
}

std::string ProxyLabelFromHost(const std::string& host) {
    const size_t domain = host.find(OperatorDomain());
    if (domain == std::string::npos) {
        return {};
    }
    return host.substr(0, domain);
}

}  // namespace settings
