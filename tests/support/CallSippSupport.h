#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "platform/AudioVirtual.h"
#include "tests/support/CallTestDoubles.h"

namespace call_testing {

struct CallPorts {
    uint16_t sipp = 0, sippControl = 0, phoneSip = 0, phoneRtp = 0, peerRtp = 0;
};
CallPorts PickCallPorts();

// sipp's arguments for scenarios/callee.xml (the dialled number picks its part) and for
// scenarios/callers.xml (the calls of lines, "number;part;named;payload types;notice;", sent
// to target).
std::vector<std::string> CalleeArgs(const CallPorts& ports, bool notice = false);
std::vector<std::string> CallersArgs(const CallPorts& ports, const std::string& target,
                                     const std::vector<std::string>& lines);

std::string ReadFile(const std::string& path);

// A peer in a process group of its own (Kamailio's workers outlive their parent and keep its
// port), killed and reaped with the object; its screen goes to logFile.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> args, const std::string& logFile, std::string ip,
                 uint16_t port);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Listening();  // its UDP port is bound
    // The exit code; -1 when it did not end within timeoutMs.
    int WaitForExit(int timeoutMs = 10000);
    void Interrupt();  // as Ctrl-C would, and waits for it to end
    std::string Log() const { return ReadFile(logFile_); }

private:
    std::string logFile_, ip_;
    uint16_t port_;
    int pid_ = -1, exitCode_ = -1;
};

// sipp playing the operator's proxy (and the far end behind it) with scenarios/NAME.xml.
class SippPeer : public ChildProcess {
public:
    SippPeer(const std::string& name, const CallPorts& ports, int calls,
             const std::vector<std::string>& extraArgs, const std::string& ip = "127.0.0.1",
             bool retransmits = false);
    // Every datagram sipp received, byte for byte, in order.
    std::vector<std::string> Received() const;
    std::string Log() const;

private:
    std::string messageFile_, errorFile_;
};

// Kamailio with the stock routing logic (tests/call/stock-proxy) on 127.0.0.2:5060, sending
// numbers starting with 50 to farPort on 127.0.0.3; account 1001, key "secret".
struct StockProxy : ChildProcess {
    explicit StockProxy(uint16_t farPort);
};

// The call manager as the main window sets it up, over the virtual audio back end and the
// real codec library, driven cycle by cycle from the test's thread (not resumed).
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
// Whether a packet is G.729 as the phone sends it: 32 bytes, RTP version 2, type 18.
inline bool IsG729(const std::string& packet) {
    return packet.size() == 32 && (packet[0] & 0xC0) == 0x80 && (packet[1] & 0x7F) == 18;
}
std::vector<std::string> Split(const std::string& text, char separator = ' ');
// "a|b" as the message rows ">a", ">b".
std::vector<std::string> RowList(const std::string& rows);

}  // namespace call_testing
