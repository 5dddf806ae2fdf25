#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioVirtual.h"
#include "tests/call/CallTestDoubles.h"

namespace call_testing {

// The ports of one call test, chosen before anything starts so that a capture can filter
// on them: sipp's SIP port (the phone's proxy), the phone's SIP and RTP ports, and the RTP
// port of the far end (the test's own peer, or sipp's echo).
struct CallPorts {
    uint16_t sipp = 0;
    uint16_t sippControl = 0;
    uint16_t phoneSip = 0;
    uint16_t phoneRtp = 0;
    uint16_t peerRtp = 0;
};
CallPorts PickCallPorts();

// The parts sipp plays as the callee of the phone's calls in scenarios/callee.xml.
enum class Callee { Answers = 1, EarlyMedia, Cancelled, Refuses, Challenges407, Challenges401 };
// sipp's arguments for that part, the far end's RTP port being peerRtp.
std::vector<std::string> CalleeArgs(Callee part, const CallPorts& ports);
// sipp as the caller in scenarios/caller.xml: it sends to the phone's SIP port and echoes the
// phone's voice back from peerRtp.
std::vector<std::string> CallerArgs(const CallPorts& ports);

// sipp playing the operator's proxy (and the far end behind it) for one scenario, run in a
// child process with its screen in a log file and its message trace kept for the test.
class SippPeer {
public:
    // name: the scenario file below tests/call/scenarios, also naming the logs; ip: the
    // loopback address sipp binds.
    SippPeer(const std::string& name, const CallPorts& ports, int calls,
             const std::vector<std::string>& extraArgs, const std::string& ip = "127.0.0.1",
             bool retransmits = false);
    ~SippPeer();  // a sipp still running is killed and reaped
    SippPeer(const SippPeer&) = delete;
    SippPeer& operator=(const SippPeer&) = delete;

    // Waits until sipp's main socket holds its UDP port on 127.0.0.1.
    bool Listening();
    // sipp's exit code; -1 when it did not end within timeoutMs (it is killed then).
    int WaitForExit(int timeoutMs = 10000);
    // Every datagram sipp received, byte for byte and in order, duplicates included.
    std::vector<std::string> Received() const;
    // The received messages whose first line starts with prefix, in order.
    std::vector<std::string> ReceivedStartingWith(const std::string& prefix) const;
    std::string Log() const;

private:
    std::string messageFile_;
    std::string errorFile_;
    std::string logFile_;
    std::string ip_;
    uint16_t port_;
    int pid_ = -1;
    int exitCode_ = -1;
};

// Kamailio with the stock routing logic (tests/call/stock-proxy) on 127.0.0.2:5060, sending
// the far-end number 4321 to farPort on 127.0.0.3; account 1001, key "secret".
class StockProxy {
public:
    explicit StockProxy(uint16_t farPort);
    ~StockProxy();  // Kamailio is stopped and reaped
    StockProxy(const StockProxy&) = delete;
    StockProxy& operator=(const StockProxy&) = delete;

    bool Listening();
    std::string Log() const;

private:
    std::string logFile_;
    int pid_ = -1;
};

// The call manager as the main window sets it up, over the virtual audio back end and the
// real codec library, driven cycle by cycle from the test's thread (not resumed), so the
// test may look at its fields between cycles.
class TestPhone {
public:
    explicit TestPhone(const CallPorts& ports, const std::string& proxy = "127.0.0.1",
                       uint16_t proxyPort = 0);  // 0: ports.sipp
    ~TestPhone();

    // Runs cycles until condition holds; false after timeoutMs.
    bool RunUntil(const std::function<bool()>& condition, int timeoutMs = 5000);
    bool InState(int state) { return manager->ChangeState(true, state); }
    bool HasRow(const std::string& row) { return list.HasRow(row); }
    // Rows from the first row equal to from (inclusive) to the end.
    std::vector<std::string> RowsFrom(const std::string& from);

    RecordingMessageList list;
    platform::VirtualAudioBackEnd audio;
    std::unique_ptr<CallManagerThread> manager;
};

// One RTP packet of two (silent-coded) G.729 frames, as the far end sends it.
std::string G729Packet(uint16_t sequence);

// The two identical copies that every user operation sends.
bool SentTwiceIdentically(const std::vector<std::string>& copies);

// The text of a file, for failure messages.
std::string ReadFile(const std::string& path);

}  // namespace call_testing
