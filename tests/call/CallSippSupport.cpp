#include "tests/call/CallSippSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Audio.h"
#include "tests/support/TestSupport.h"

extern char** environ;

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

CallPorts PickCallPorts() {
    return {UdpPeer().Port(), UdpPeer().Port(), UdpPeer().Port(), UdpPeer().Port(),
            UdpPeer().Port()};
}

std::vector<std::string> CalleeArgs(const CallPorts& ports, bool notice) {
    return Split("-key rtpport " + std::to_string(ports.peerRtp) + " -key notice " +
                 (notice ? "1" : "0"));
}

std::vector<std::string> RtpEchoArgs(const CallPorts& ports) {
    return Split("-mp " + std::to_string(ports.peerRtp) + " -mi 127.0.0.1 -rtp_echo");
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

namespace {

// Starts args[0] from the path in a process group of its own, stdin from /dev/null, output
// in logFile; the pid, or -1.
int Spawn(std::vector<std::string> args, const std::string& logFile) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const bool started =
        posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return started ? pid : -1;
}

// The whole group: Kamailio's workers outlive a killed main process and keep its port.
void Reap(int pid) {
    if (pid > 0) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Whether a UDP socket of this network namespace is bound to ip:port.
bool UdpBound(const std::string& ip, uint16_t port) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    char wanted[32];
    std::snprintf(wanted, sizeof(wanted), "%02X%02X%02X%02X:%04X", d, c, b, a, port);
    return testing_support::WaitUntil(
        [&] { return ReadFile("/proc/net/udp").find(wanted) != std::string::npos; }, 5000, 20);
}

// A log of the running test's sipp: tests running side by side must not share one.
std::string LogPath(const std::string& name, const std::string& suffix) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return BinaryPath("sipp_" + std::string(test != nullptr ? test->name() : "") + "_" + name +
                      suffix);
}

}  // namespace

SippPeer::SippPeer(const std::string& name, const CallPorts& ports, int calls,
                   const std::vector<std::string>& extraArgs, const std::string& ip,
                   bool retransmits)
    : messageFile_(LogPath(name, "_messages.log")),
      errorFile_(LogPath(name, "_errors.log")),
      logFile_(LogPath(name, ".log")),
      ip_(ip),
      port_(ports.sipp) {
    std::remove(messageFile_.c_str());
    // Without retransmissions (-nr) the phone's duplicates stand in for them on a clean
    // loopback, and sipp's own would only blur what the test reads.
    std::vector<std::string> args = Split(
        "sipp -sf " + SourcePath("tests/call/scenarios/" + name + ".xml") + " -i " + ip + " -p " +
        std::to_string(ports.sipp) + " -cp " + std::to_string(ports.sippControl) + " -m " +
        std::to_string(calls) + " -timeout 15s -timeout_error -nostdin -trace_msg -message_file " +
        messageFile_ + " -trace_err -error_file " + errorFile_ + (retransmits ? "" : " -nr"));
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = Spawn(args, logFile_);
}

SippPeer::~SippPeer() {
    Reap(pid_);
}

bool SippPeer::Listening() {
    return pid_ > 0 && UdpBound(ip_, port_);
}

int SippPeer::WaitForExit(int timeoutMs) {
    int status = 0;
    if (pid_ > 0 && testing_support::WaitUntil(
                        [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 20)) {
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return pid_ > 0 ? -1 : exitCode_;  // one still running is killed by the destructor
}

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
    return ReadFile(logFile_) + ReadFile(errorFile_);
}

StockProxy::StockProxy(uint16_t farPort)
    : logFile_(BinaryPath("stock_proxy.log")),
      pid_(Spawn({"bash", SourcePath("tests/call/stock-proxy/start.sh"), BinaryPath("stock_proxy"),
                  std::to_string(farPort)},
                 logFile_)) {}

StockProxy::~StockProxy() {
    Reap(pid_);
}

bool StockProxy::Listening() {
    return pid_ > 0 && UdpBound("127.0.0.2", 5060);
}

std::string StockProxy::Log() const {
    return ReadFile(logFile_);
}

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
    return testing_support::WaitUntil(
        [&] {
            manager->RunCycle();
            return condition();
        },
        timeoutMs, 0);
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

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace call_testing
