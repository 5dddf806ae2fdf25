#include "tests/call/SippRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace sipp_testing {

uint16_t FreeUdpPort() {
    uint32_t loopback = 0;
    platform::ParseDottedIpv4("127.0.0.1", &loopback);
    platform::UdpSocket socket;
    socket.Bind(0, loopback);
    return socket.LocalPort();
}

std::vector<std::string> ServerArgs(const std::string& scenario, uint16_t port,
                                    uint16_t controlPort, int calls, int timeoutSeconds,
                                    const std::string& errorFile) {
    return {"-sf",
            scenario,
            "-i",
            "127.0.0.1",
            "-p",
            std::to_string(port),
            "-cp",
            std::to_string(controlPort),
            "-m",
            std::to_string(calls),
            "-timeout",
            std::to_string(timeoutSeconds) + "s",
            "-timeout_error",
            "-nostdin",
            "-trace_err",
            "-error_file",
            errorFile};
}

SippProcess::SippProcess(const std::vector<std::string>& args, const std::string& logPath)
    : logPath_(logPath) {
    std::vector<std::string> all{"sipp"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "sipp", &actions, nullptr, argv.data(), environ) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
}

SippProcess::~SippProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool SippProcess::WaitUntilListening(uint16_t port, int timeoutMs) {
    char wanted[32];
    std::snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
    return testing_support::WaitUntil(
        [&] {
            std::ifstream table("/proc/net/udp");
            std::string line;
            while (std::getline(table, line)) {
                if (line.find(wanted) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs, 20);
}

int SippProcess::WaitForExit(int timeoutMs) {
    if (pid_ <= 0) {
        return exitCode_;
    }
    int status = 0;
    const bool ended = testing_support::WaitUntil(
        [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 20);
    if (!ended) {
        return -1;  // the destructor kills it
    }
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exitCode_;
}

std::vector<std::string> ReceivedMessages(const std::string& messageFile) {
    const std::string text = ReadFile(messageFile);
    const std::string marker = "UDP message received [";
    std::vector<std::string> messages;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
        at += marker.size();
        const size_t close = text.find(']', at);
        const size_t start = text.find("\n\n", at);
        if (close == std::string::npos || start == std::string::npos) {
            break;
        }
        const size_t length = std::stoul(text.substr(at, close - at));
        messages.push_back(text.substr(start + 2, length));
        at = start + 2;
    }
    return messages;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace sipp_testing
