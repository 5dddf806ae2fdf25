#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "call/CallView.h"
#include "platform/TCriticalSection.h"
#include "platform/UdpSocket.h"

namespace call_testing {

// The window's message list as the call manager sees it; readable from the test's thread.
class RecordingMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override;
    void ShowLastRows(int rows) override;
    std::vector<std::string> Rows();
    std::vector<int> ShowLastRowsCalls();
    bool HasRow(const std::string& row);

private:
    TCriticalSection lock_;
    std::vector<std::string> rows_;
    std::vector<int> showLastRows_;
};

class RecordingLamp final : public StatusLampView {
public:
    void SetBrushColor(uint32_t rgb) override;
    std::vector<uint32_t> Colours();
    uint32_t Last();

private:
    TCriticalSection lock_;
    std::vector<uint32_t> colours_;
};

class CountingRinger final : public HandsetRinger {
public:
    void RingHandset() override { ++rings; }
    int rings = 0;  // touched only by the thread that runs the cycles
};

// A proxy on 127.0.0.1 with an ephemeral port: receives what the phone sends and answers it.
class FakeProxy {
public:
    FakeProxy();
    uint16_t Port() const { return socket_.LocalPort(); }
    // The next datagram, or nothing within timeoutMs; remembers its sender for Reply.
    std::optional<std::string> Receive(int timeoutMs = 3000);
    // Everything that arrives within windowMs (a bounded wait for silence).
    std::vector<std::string> ReceiveAll(int windowMs);
    void Reply(const std::string& text);

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint phone_;
};

// The first line of a SIP text, without its CR LF.
std::string FirstLine(const std::string& text);
// The value of the first header line starting with name (e.g. "Call-ID: "), or empty.
std::string HeaderValue(const std::string& text, const std::string& name);

}  // namespace call_testing
