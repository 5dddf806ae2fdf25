#pragma once

#include <string>
#include <vector>

#include "sip/SIPSDPMessage.h"

// The route set and remote target of the current call's dialog. Empty when the proxy did
// not record-route: then in-dialog requests keep the number@proxy form the operator's own
// proxies route by.
class SipDialog {
public:
    void Clear();
    // The caller's view, from the 2xx (or 18x) to its INVITE: Record-Route reversed.
    void TakeFromResponse(const CSIPSDPMessage& response);
    // The callee's view, from the INVITE: Record-Route in order.
    void TakeFromRequest(const CSIPSDPMessage& request);

    bool HasRoutes() const { return !routes_.empty(); }
    // The Request-URI of in-dialog requests without "sip:"; empty without a route set.
    const std::string& RemoteTarget() const { return remoteTarget_; }
    // One "Route:" line per entry, each ended by CRLF.
    std::string RouteLines() const;

private:
    void TakeTarget(const CSIPSDPMessage& message);

    std::vector<std::string> routes_;
    std::string remoteTarget_;
};
