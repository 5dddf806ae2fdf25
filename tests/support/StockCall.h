#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace call_testing {

// The four kinds of call through the stock-routing Kamailio (tests/call/stock-proxy).
struct StockCall {
    const char* name;
    bool incoming, farEndHangsUp;
};
inline constexpr StockCall kStockCalls[] = {{"outgoing, the phone hangs up", false, false},
                                            {"outgoing, the far end hangs up", false, true},
                                            {"incoming, the phone hangs up", true, false},
                                            {"incoming, the far end hangs up", true, true}};

struct StockOutcome {
    bool setUp = false, voiceBothWays = false, phoneIdle = false;
    int farEndExit = -1;  // 0: sipp saw the ACK and the BYE through
    std::vector<std::string> rows, expectedRows;
    std::string farEndLog;
};

// One call between the phone (its proxy at proxyHost:proxyPort, Kamailio or a relay in
// front of it, and its SIP port phoneSip when not 0) and sipp on 127.0.0.3:farPort, each
// step bounded by boundMs.
StockOutcome RunStockCall(const StockCall& call, const std::string& proxyHost, uint16_t proxyPort,
                          uint16_t farPort, int boundMs, uint16_t phoneSip = 0);

}  // namespace call_testing
