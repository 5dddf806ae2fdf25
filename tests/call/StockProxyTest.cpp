// Whole calls through Kamailio with the stock routing logic (tests/call/stock-proxy) and a
// sipp far end on 127.0.0.3, each leaving nothing behind; tools/faults/stock-loss.sh runs the
// same calls over a lossy relay.
#include <gtest/gtest.h>

#include "tests/support/CallSippSupport.h"
#include "tests/support/LeakCheck.h"
#include "tests/support/StockCall.h"

namespace {

using namespace call_testing;

TEST(StockProxyCall, SetUpTalkedAndClearedFromEitherEnd) {
    const uint16_t farPort = PickCallPorts().sipp;
    StockProxy proxy(farPort);
    ASSERT_TRUE(proxy.Listening()) << proxy.Log();
    for (const StockCall& call : kStockCalls) {
        SCOPED_TRACE(call.name);
        const testing_support::LeakCheck leaks;
        const StockOutcome out = RunStockCall(call, "127.0.0.2", 5060, farPort, 5000);
        EXPECT_TRUE(out.setUp && out.voiceBothWays && out.phoneIdle) << proxy.Log();
        EXPECT_EQ(out.rows, out.expectedRows);
        EXPECT_EQ(out.farEndExit, 0) << out.farEndLog;
    }
}

}  // namespace
