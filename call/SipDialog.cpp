#include "call/SipDialog.h"

#include <algorithm>

void SipDialog::Clear() {
    routes_.clear();
    remoteTarget_.clear();
}

void SipDialog::TakeFromResponse(const CSIPSDPMessage& response) {
    routes_.assign(response.RecordRoutes.rbegin(), response.RecordRoutes.rend());
    TakeTarget(response);
}

void SipDialog::TakeFromRequest(const CSIPSDPMessage& request) {
    routes_ = request.RecordRoutes;
    TakeTarget(request);
}

void SipDialog::TakeTarget(const CSIPSDPMessage& message) {
    std::string target = message.Contacts.empty() ? message.ContactURI : message.Contacts[0].Uri;
    if (target.rfind("sip:", 0) == 0) {
        target.erase(0, 4);
    }
    // Without a target to send to, a route set alone would lead nowhere.
    if (target.empty()) {
        routes_.clear();
    }
    remoteTarget_ = routes_.empty() ? std::string() : target;
}

std::string SipDialog::RouteLines() const {
    std::string lines;
    for (const std::string& route : routes_) {
        lines += "Route: " + route + "\r\n";
    }
    return lines;
}
