#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioVirtual.h"
#include "platform/UdpSocket.h"
#include "tests/call/CallTestDoubles.h"
#include "tests/call/SippRunner.h"

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

// sipp playing the operator's proxy (and the far end behind it) for one scenario, with its
// message trace kept for the test to read.
class SippPeer {
public:
    // name: the scenario file below tests/call/scenarios, also naming the logs.
    SippPeer(const std::string& name, const CallPorts& ports, int calls,
             const std::vector<std::string>& extraArgs);
    bool Listening();
    int WaitForExit(int timeoutMs = 10000);
    std::vector<std::string> Received() const;
    // The received messages whose first line starts with prefix, in order.
    std::vector<std::string> ReceivedStartingWith(const std::string& prefix) const;
    std::string Log() const;

private:
    std::string messageFile_;
    std::string errorFile_;
    uint16_t port_;
    std::unique_ptr<sipp_testing::SippProcess> process_;
};

// The call manager as the main window sets it up, over the virtual audio back end and the
// real codec library, driven cycle by cycle from the test's thread (not resumed), so the
// test may look at its fields between cycles.
class TestPhone {
public:
    explicit TestPhone(const CallPorts& ports);
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

// A far end's RTP socket on 127.0.0.1 owned by the test.
class RtpPeer {
public:
    explicit RtpPeer(uint16_t port);
    // The next datagram from the phone, empty when none came within timeoutMs.
    std::string Receive(int timeoutMs = 3000);
    // One RTP packet of two (silent-coded) G.729 frames to the phone.
    void SendG729(uint16_t sequence);

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint phone_;
};

// The two identical copies that every user operation sends.
bool SentTwiceIdentically(const std::vector<std::string>& copies);

}  // namespace call_testing
