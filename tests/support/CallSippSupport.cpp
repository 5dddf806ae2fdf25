#include "tests/support/CallSippSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Audio.h"
#include "tests/support/TestSupport.h"

namespace call_testing {

using testing_support::BinaryPath;
using testing_support::SourcePath;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

std::vector<std::string> RowList(const std::string& rows) {
    std::vector<std::string> list = Split(rows, '|');
    for (std::string& row : list) {
        row.insert(0, ">");
    }
    return list;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

CallPorts PickCallPorts() {
    return {UdpPeer().Port(), UdpPeer().Port(), UdpPeer().Port(), UdpPeer().Port(),
            UdpPeer().Port()};
}

std::vector<std::string> CalleeArgs(const CallPorts& ports, bool notice) {
    return Split("-key rtpport " + std::to_string(ports.peerRtp) + " -key notice " +
                 (notice ? "1" : "0"));
}

std::vector<std::string> CallersArgs(const CallPorts& ports, const std::string& target,
                                     const std::vector<std::string>& lines) {
    const std::string file = BinaryPath("sipp_calls_" + std::to_string(ports.sipp) + ".csv");
    std::ofstream out(file, std::ios::trunc);
    out << "SEQUENTIAL\n";
    for (const std::string& line : lines) {
        out << line << "\n";
    }
    return Split("-key rtpport " + std::to_string(ports.peerRtp) + " " + target + " -inf " + file +
                 " -l 1");
}

ChildProcess::ChildProcess(std::vector<std::string> args, const std::string& logFile,
                           std::string ip, uint16_t port)
    : logFile_(logFile), ip_(std::move(ip)), port_(port) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::ofstream(logFile, std::ios::trunc);  // before the child runs: no earlier run's lines
    pid_ = fork();
    if (pid_ == 0) {  // nothing but async-signal-safe calls until exec
        setpgid(0, 0);
        const int out = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        dup2(out, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ > 0) {
        setpgid(pid_, 0);  // a kill of the group may come before the child's own call
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Listening() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(ip_.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    char wanted[32];  // as /proc/net/udp shows a bound address
    std::snprintf(wanted, sizeof(wanted), "%02X%02X%02X%02X:%04X", d, c, b, a, port_);
    return pid_ > 0 &&
           testing_support::WaitUntil(
               [&] { return ReadFile("/proc/net/udp").find(wanted) != std::string::npos; }, 5000,
               20);
}

int ChildProcess::WaitForExit(int timeoutMs) {
    int status = 0;
    if (pid_ > 0 && testing_support::WaitUntil(
                        [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 20)) {
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return pid_ > 0 ? -1 : exitCode_;
}

void ChildProcess::Interrupt() {
    if (pid_ > 0) {
        kill(-pid_, SIGINT);
        WaitForExit();
    }
}

// A log of the running test's sipp: tests running side by side must not share one.
static std::string LogPath(const std::string& name) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return BinaryPath("sipp_" + std::string(test != nullptr ? test->name() : "") + "_" + name);
}

// Without retransmissions (-nr) the phone's duplicates stand in for them on a clean loopback,
// and sipp's own would only blur what the test reads.
static std::vector<std::string> SippArgs(const std::string& name, const CallPorts& ports, int calls,
                                         const std::vector<std::string>& extraArgs,
                                         const std::string& ip, bool retransmits) {
    std::remove((LogPath(name) + "_messages.log").c_str());
    std::vector<std::string> args = Split(
        "sipp -sf " + SourcePath("tests/call/scenarios/" + name + ".xml") + " -i " + ip + " -p " +
        std::to_string(ports.sipp) + " -cp " + std::to_string(ports.sippControl) + " -m " +
        std::to_string(calls) + " -timeout 15s -timeout_error -nostdin -trace_msg -message_file " +
        LogPath(name) + "_messages.log -trace_err -error_file " + LogPath(name) + "_errors.log" +
        (retransmits ? "" : " -nr"));
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return args;
}

SippPeer::SippPeer(const std::string& name, const CallPorts& ports, int calls,
                   const std::vector<std::string>& extraArgs, const std::string& ip,
                   bool retransmits)
    : ChildProcess(SippArgs(name, ports, calls, extraArgs, ip, retransmits), LogPath(name) + ".log",
                   ip, ports.sipp),
      messageFile_(LogPath(name) + "_messages.log"),
      errorFile_(LogPath(name) + "_errors.log") {}

std::vector<std::string> SippPeer::Received() const {
    // Each datagram is traced as "UDP message received [length] bytes :", a blank line, then
    // the datagram itself.
    const std::string text = ReadFile(messageFile_);
    const std::string marker = "UDP message received [";
    std::vector<std::string> messages;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
        at += marker.size();
        const size_t close = text.find(']', at);
        const size_t start = text.find("\n\n", at);
        if (close == std::string::npos || start == std::string::npos) {
            break;
        }
        messages.push_back(text.substr(start + 2, std::stoul(text.substr(at, close - at))));
        at = start + 2;
    }
    return messages;
}

std::string SippPeer::Log() const {
    return ChildProcess::Log() + ReadFile(errorFile_);
}

StockProxy::StockProxy(uint16_t farPort)
    : ChildProcess({"bash", SourcePath("tests/call/stock-proxy/start.sh"),
                    BinaryPath("stock_proxy"), std::to_string(farPort)},
                   BinaryPath("stock_proxy.log"), "127.0.0.2", 5060) {}

TestPhone::TestPhone(const CallPorts& ports, const std::string& proxy, uint16_t proxyPort) {
    platform::SetAudioBackEnd(&audio);
    manager = std::make_unique<CallManagerThread>(false);
    manager->SetMessageList(&list);
    manager->SetAccount("1001", "secret");
    manager->SetProxy(proxy, proxyPort != 0 ? proxyPort : ports.sipp);
    manager->SetLocalAddress("127.0.0.1");
    manager->SetLocalPort(ports.phoneSip);
    manager->SetRtpPort(ports.phoneRtp);
    manager->SetPayloadType(18);
    manager->SetCaptureBlockSize(320);
    manager->Start();
    manager->SelectAudioDevices(false, 2);
    manager->SetVolumes(13, 25);
}

TestPhone::~TestPhone() {
    manager.reset();
    platform::SetAudioBackEnd(nullptr);
}

bool TestPhone::RunUntil(const std::function<bool()>& condition, int timeoutMs) {
    return testing_support::WaitUntil([&] { return manager->RunCycle(), condition(); }, timeoutMs,
                                      0);
}

std::vector<std::string> TestPhone::RowsFrom(const std::string& from) {
    const std::vector<std::string> rows = list.Rows();
    return std::vector<std::string>(std::find(rows.begin(), rows.end(), from), rows.end());
}

std::string G729Packet(uint16_t sequence) {
    const uint32_t time = sequence * 160u;  // SSRC 0x12345678, two frames of silence
    std::string packet = {'\x80', 18, char(sequence >> 8), char(sequence)};
    for (const int shift : {24, 16, 8, 0}) {
        packet += char(time >> shift);
    }
    return packet + "\x12\x34\x56\x78" + std::string(20, '\0');
}

}  // namespace call_testing
