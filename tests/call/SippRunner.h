#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sipp_testing {

// A UDP port on 127.0.0.1 that was free a moment ago (picked by the system, then released).
uint16_t FreeUdpPort();

// Arguments for sipp serving scenario on 127.0.0.1:port for calls calls, with its own
// control port; it gives up by itself after timeoutSeconds.
std::vector<std::string> ServerArgs(const std::string& scenario, uint16_t port,
                                    uint16_t controlPort, int calls, int timeoutSeconds,
                                    const std::string& errorFile);

// Every datagram sipp wrote to its message trace (-trace_msg) as received, byte for byte
// and in order, retransmitted copies included.
std::vector<std::string> ReceivedMessages(const std::string& messageFile);

// One sipp running in the foreground of a child process; its screen goes to a log file.
class SippProcess {
public:
    SippProcess(const std::vector<std::string>& args, const std::string& logPath);
    ~SippProcess();  // a sipp still running is killed and reaped

    SippProcess(const SippProcess&) = delete;
    SippProcess& operator=(const SippProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // Waits until sipp's main socket holds the UDP port on 127.0.0.1.
    bool WaitUntilListening(uint16_t port, int timeoutMs = 5000);
    // sipp's exit code; -1 when it did not end within timeoutMs (it is killed then).
    int WaitForExit(int timeoutMs);
    const std::string& LogPath() const { return logPath_; }

private:
    int pid_ = -1;
    int exitCode_ = -1;
    std::string logPath_;
};

// The text of a file, for failure messages.
std::string ReadFile(const std::string& path);

}  // namespace sipp_testing
