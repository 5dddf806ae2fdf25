#include "tests/support/StockCall.h"

#include "tests/support/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace call_testing {

StockOutcome RunStockCall(const StockCall& call, const std::string& proxyHost, uint16_t proxyPort,
                          uint16_t farPort, int boundMs, uint16_t phoneSip) {
    StockOutcome out;
    CallPorts ports = PickCallPorts();
    ports.sipp = farPort;
    ports.phoneSip = phoneSip != 0 ? phoneSip : ports.phoneSip;
    UdpPeer peer(ports.peerRtp);
    TestPhone phone(ports, proxyHost, proxyPort);
    CallManagerThread& m = *phone.manager;
    std::vector<std::string> args =
        call.incoming
            ? CallersArgs(ports, "127.0.0.2:5060",
                          {"3456;" + std::to_string(1 + call.farEndHangsUp) + ";3456;18;9.99;"})
            : CalleeArgs(ports);
    args.insert(args.end(), {"-timeout", std::to_string(3 * boundMs / 1000) + "s"});
    if (call.incoming) {
        m.ChangeState(false, CallManagerThread::Registering);
        m.SendRegister();
        phone.RunUntil([&] { return m.Binding.Registered; }, boundMs);
    }
    // A far end that retransmits as RFC 3261 has it: over a lossy path the 2xx depends on it.
    SippPeer sipp(call.incoming ? "callers" : "callee", ports, 1, args, "127.0.0.3", true);
    if (sipp.Listening()) {
        if (call.incoming) {
            phone.RunUntil([&] { return phone.InState(CallManagerThread::Incoming); }, boundMs);
            m.DoAnswer();
        } else {
            m.DoDial(call.farEndHangsUp ? "5002" : "5001");
        }
        out.setUp = phone.RunUntil([&] { return m.Connected; }, boundMs);
    }
    if (out.setUp) {  // G.729 both ways
        const std::string sent = peer.Receive(boundMs).value_or("");
        for (uint16_t sequence = 1; sequence <= 5; ++sequence) {
            peer.Reply(G729Packet(sequence));
        }
        out.voiceBothWays =
            IsG729(sent) && m.Playback != nullptr && testing_support::WaitUntil([&] {
                return m.Playback->ReceiveThread()->DatagramsReceived() >= 5;
            });
    }
    if (!call.farEndHangsUp || !out.setUp) {
        m.DoHangUp();
    }
    out.phoneIdle = phone.RunUntil([&] { return phone.InState(CallManagerThread::Idle); }, boundMs);
    // The phone goes on absorbing repeats (a BYE whose 200 was lost) while the far end ends;
    // a call to the phone ends with the caller's balance notice.
    phone.RunUntil([&] { return (out.farEndExit = sipp.WaitForExit(0)) != -1; },
                   3 * boundMs + 2000);
    phone.RunUntil([&] { return !call.incoming || phone.HasRow(">Balance:9.99"); }, boundMs);
    // From the call's own first row (the proxy's 100 comes first, in its wording).
    out.expectedRows =
        RowList(std::string(call.incoming ? "Calling from 3456|Answering call!|"
                                          : "Ringing!|Called connected!|") +
                "Voice Channel created!|" + (call.farEndHangsUp ? "" : "Hanging up call!|") +
                "Voice Channel closed!|Call cleared!" + (call.incoming ? "|Balance:9.99" : ""));
    out.rows = phone.RowsFrom(out.expectedRows.front());
    out.farEndLog = sipp.Log();
    return out;
}

}  // namespace call_testing
