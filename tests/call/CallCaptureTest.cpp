// A call each way captured on loopback by tshark, whose dissectors must find the signalling
// and the voice well formed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace call_testing;
using testing_support::BinaryPath;

// The non-empty lines tshark prints for arguments.
std::vector<std::string> Tshark(const std::string& arguments) {
    std::string output;
    if (FILE* pipe = popen(("tshark " + arguments + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (size_t n = 0; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
            output.append(buffer, n);
        }
        pclose(pipe);
    }
    std::vector<std::string> lines = Split(output, '\n');
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

// Sends a probe (a G.729 RTP packet to a captured port) until tshark, which prints a line
// per packet into log, shows it: then everything sent before it has been captured too.
bool CaughtUp(const std::string& log, uint16_t port, int timeoutMs) {
    const auto packets = [&] {
        const std::vector<std::string> lines = Split(ReadFile(log), '\n');
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("127.0.0.1") != std::string::npos;
        });
    };
    const auto before = packets();
    UdpPeer probe;
    return testing_support::WaitUntil(
        [&] {
            return probe.SendTo(std::string("\x80\x12\0\x01", 4) + std::string(28, '\0'), port) &&
                   packets() > before;
        },
        timeoutMs, 100);
}

void OutgoingCall(const CallPorts& ports) {
    UdpPeer peer(ports.peerRtp);
    SippPeer sipp("callee", ports, 1, CalleeArgs(ports));
    ASSERT_TRUE(sipp.Listening()) << sipp.Log();
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;
    ASSERT_TRUE(m.DoDial("5001"));
    ASSERT_TRUE(phone.RunUntil([&] { return m.Connected; }));
    for (uint16_t sequence = 1; sequence <= 10; ++sequence) {
        ASSERT_TRUE(peer.Receive().has_value());
        peer.Reply(G729Packet(sequence));
    }
    ASSERT_TRUE(m.DoSendDtmf(15));
    m.DoHangUp();
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
}

void IncomingCall(const CallPorts& ports) {
    TestPhone phone(ports);
    CallManagerThread& m = *phone.manager;
    std::vector<std::string> args = CallersArgs(
        ports, "127.0.0.1:" + std::to_string(ports.phoneSip), {"3456;6;3456;18 4 101;9.99;"});
    const std::vector<std::string> echo = RtpEchoArgs(ports);
    args.insert(args.end(), echo.begin(), echo.end());
    SippPeer sipp("callers", ports, 1, args);
    ASSERT_TRUE(phone.RunUntil([&] { return FirstLine(m.SendBuffer) == "SIP/2.0 486 Busy Here"; }))
        << sipp.Log();
    m.DoAnswer();
    ASSERT_TRUE(phone.RunUntil([&] { return phone.HasRow(">Balance:9.99"); }, 8000));
    ASSERT_EQ(sipp.WaitForExit(), 0) << sipp.Log();
}

TEST(CallCapture, SignallingAndVoiceDissectCleanlyInTshark) {
    const CallPorts ports = PickCallPorts();
    const std::string file = BinaryPath("call_capture.pcapng");
    const std::string log = BinaryPath("call_capture_tshark.log");
    std::string filter = "udp and (port " + std::to_string(ports.sipp), decode = "-r " + file;
    for (const uint16_t port : {ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
        filter += " or port " + std::to_string(port);
    }
    for (const uint16_t port : {ports.sipp, ports.phoneSip, ports.phoneRtp, ports.peerRtp}) {
        decode += " -d udp.port==" + std::to_string(port) +
                  (port == ports.sipp || port == ports.phoneSip ? ",sip" : ",rtp");
    }
    std::remove(file.c_str());
    std::remove(log.c_str());  // a previous run's lines would pass for this one's
    const pid_t tshark = fork();
    if (tshark == 0) {
        std::freopen(log.c_str(), "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execlp("tshark", "tshark", "-l", "-P", "-i", "lo", "-f", (filter + ")").c_str(), "-w",
               file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // tshark takes a few seconds to start on a busy machine.
    const bool capturing = CaughtUp(log, ports.peerRtp, 20000);
    if (capturing) {
        OutgoingCall(ports);
        IncomingCall(ports);
        // Stopped only once it has seen the last of the calls.
        EXPECT_TRUE(CaughtUp(log, ports.peerRtp, 10000));
    }
    kill(tshark, SIGINT);
    waitpid(tshark, nullptr, 0);
    if (!capturing) {
        GTEST_SKIP() << "tshark cannot capture on lo here: " << ReadFile(log);
    }

    EXPECT_GE(Tshark(decode + " -Y sip -T fields -e sip.CSeq").size(), 20u);
    EXPECT_EQ(Tshark(decode + " -Y '_ws.malformed || (sip && _ws.expert.severity >= \"warning\")'"),
              std::vector<std::string>{});
    // Every RTP datagram, both ways and both calls: G.729, 12-byte header + two frames.
    const std::vector<std::string> rtp =
        Tshark(decode + " -Y rtp -T fields -e rtp.p_type -e udp.length");
    EXPECT_GE(rtp.size(), 30u);
    EXPECT_EQ(std::count(rtp.begin(), rtp.end(), "18\t40"), static_cast<long>(rtp.size()));
}

}  // namespace
