// Calls through the stock-routing Kamailio with signalling lost each way between the phone and
// the proxy, the four kinds of call in turn; one line per call and a summary.
//   bin/stock_loss_probe [--calls N] [--first N] [--loss RATIO] [--seed S]
// tools/faults/stock-loss.sh runs it in a network namespace of its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/UdpSocket.h"
#include "tests/support/CallSippSupport.h"
#include "tests/support/StockCall.h"
#include "tools/faults/fault_probe/FaultRelay.h"

using namespace call_testing;

int main(int argc, char** argv) {
    int calls = 100, first = 0;
    double lossRatio = 0.2;
    unsigned long long seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* value = argv[i + 1];
        if (std::strcmp(argv[i], "--calls") == 0) {
            calls = std::atoi(value);
        } else if (std::strcmp(argv[i], "--first") == 0) {
            first = std::atoi(value);
        } else if (std::strcmp(argv[i], "--loss") == 0) {
            lossRatio = std::atof(value);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(value, nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const uint16_t farPort = PickCallPorts().sipp;
    StockProxy proxy(farPort);
    if (!proxy.Listening()) {
        std::fprintf(stderr, "Kamailio did not start:\n%s\n", proxy.Log().c_str());
        return 1;
    }
    uint32_t proxyAddress = 0;
    platform::ParseDottedIpv4("127.0.0.2", &proxyAddress);
    // One subscriber's phone, started afresh for each call on the same port as an installed
    // phone is: each registration replaces the last binding instead of adding a contact the
    // registrar would go on forking to.
    const uint16_t phoneSip = PickCallPorts().phoneSip;
    int setUp = 0, cleared = 0, phoneHanging = 0, farEndHanging = 0;
    for (int i = first; i < first + calls; ++i) {
        const StockCall& call = kStockCalls[i % 4];
        FaultRelay relay({proxyAddress, 5060}, FaultRelay::Impairment{lossRatio}, seed + i);
        // Bounds that leave room for a few rounds of retransmission on every leg.
        const StockOutcome out =
            RunStockCall(call, "127.0.0.1", relay.FrontPort(), farPort, 8000, phoneSip);
        setUp += out.setUp;
        cleared += out.setUp && out.phoneIdle && out.farEndExit == 0;
        phoneHanging += !out.phoneIdle;
        farEndHanging += out.farEndExit != 0;
        std::printf("call %d (%s): %s%s%s\n", i + 1, call.name, out.setUp ? "set up" : "not set up",
                    out.phoneIdle ? "" : ", phone left in the call",
                    out.farEndExit == 0 ? "" : ", far end did not clear");
        if (out.farEndExit != 0) {
            std::printf("call %d far end:\n%s\n", i + 1, out.farEndLog.c_str());
        }
    }
    std::printf(
        "stock-loss: %d calls, loss %.2f each way, seed %llu: %d set up, %d set up and "
        "cleared on both ends, %d left hanging on the phone, %d not cleared at the far "
        "end\n",
        calls, lossRatio, seed, setUp, cleared, phoneHanging, farEndHanging);
    return 0;
}
