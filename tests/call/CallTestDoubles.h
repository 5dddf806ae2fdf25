#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "call/CallView.h"
#include "call/HandsetRinger.h"
#include "platform/TCriticalSection.h"
#include "platform/UdpSocket.h"

namespace call_testing {

// The window's message list as the call manager sees it; readable from the test's thread.
class RecordingMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        rows_.push_back(row);
    }
    void ShowLastRows(int rows) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        showLastRows_.push_back(rows);
    }
    std::vector<std::string> Rows() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return rows_;
    }
    std::vector<int> ShowLastRowsCalls() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return showLastRows_;
    }
    bool HasRow(const std::string& row) {
        const std::vector<std::string> rows = Rows();
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    }

private:
    TCriticalSection lock_;
    std::vector<std::string> rows_;
    std::vector<int> showLastRows_;
};

class RecordingLamp final : public StatusLampView {
public:
    void SetBrushColor(uint32_t rgb) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        colours_.push_back(rgb);
    }
    std::vector<uint32_t> Colours() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return colours_;
    }
    uint32_t Last() {
        const std::vector<uint32_t> colours = Colours();
        return colours.empty() ? 0 : colours.back();
    }

private:
    TCriticalSection lock_;
    std::vector<uint32_t> colours_;
};

class CountingRinger final : public HandsetRinger {
public:
    void RingHandset() override { ++rings; }
    int rings = 0;  // touched only by the thread that runs the cycles
};

// A socket on 127.0.0.1 standing in for the phone's peer (its proxy on an ephemeral port,
// or the far end's RTP port): receives what the phone sends and answers the sender.
class UdpPeer {
public:
    explicit UdpPeer(uint16_t port = 0);
    uint16_t Port() const { return socket_.LocalPort(); }
    // The next datagram, or nothing within timeoutMs; remembers its sender for Reply.
    std::optional<std::string> Receive(int timeoutMs = 3000);
    // Everything that arrives within windowMs (a bounded wait for silence).
    std::vector<std::string> ReceiveAll(int windowMs);
    void Reply(const std::string& text) { socket_.SendTo(text.data(), text.size(), phone_); }

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint phone_;
};

// The first line of a SIP text, without its CR LF.
inline std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}
// The value of the first header line starting with name (e.g. "Call-ID: "), or empty.
std::string HeaderValue(const std::string& text, const std::string& name);

}  // namespace call_testing
