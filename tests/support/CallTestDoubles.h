#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "call/CallView.h"
#include "platform/TCriticalSection.h"
#include "platform/UdpSocket.h"

namespace call_testing {

// f() with lock held: doubles are written by the call manager's thread, read by the test's.
template <typename F>
auto WithLock(TCriticalSection& lock, F f) {
    std::lock_guard<TCriticalSection> guard(lock);
    return f();
}

class RecordingMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override { Hold(), rows_.push_back(row); }
    void ShowLastRows(int rows) override { Hold(), showLastRows_.push_back(rows); }
    std::vector<std::string> Rows() { return Hold(), rows_; }
    std::vector<int> ShowLastRowsCalls() { return Hold(), showLastRows_; }
    bool HasRow(const std::string& row) {
        return Hold(), std::count(rows_.begin(), rows_.end(), row) > 0;
    }

private:
    // Held to the end of the statement that takes it.
    std::lock_guard<TCriticalSection> Hold() { return std::lock_guard(lock_); }
    TCriticalSection lock_;
    std::vector<std::string> rows_;
    std::vector<int> showLastRows_;
};

struct RecordingLamp final : StatusLampView {
    void SetBrushColor(uint32_t rgb) override { last = rgb; }
    std::atomic<uint32_t> last{0};
};

// A socket on a loopback address standing in for the phone's peer (its proxy, the far end's
// RTP port, or a stranger): receives what the phone sends and answers.
class UdpPeer {
public:
    explicit UdpPeer(uint16_t port = 0, const char* address = "127.0.0.1");
    uint16_t Port() const { return socket_.LocalPort(); }
    // The next datagram, or nothing within timeoutMs; remembers its sender for Reply.
    std::optional<std::string> Receive(int timeoutMs = 3000);
    // Everything that arrives within windowMs of silence (0: what has arrived so far).
    std::vector<std::string> ReceiveAll(int windowMs = 0);
    void Reply(const std::string& text) { socket_.SendTo(text.data(), text.size(), phone_); }
    // To 127.0.0.1:port; whether all of it went.
    bool SendTo(const std::string& bytes, uint16_t port);

private:
    platform::UdpSocket socket_;
    platform::Ipv4Endpoint phone_;
};

inline std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}
// The value of the first header line starting with name (e.g. "Call-ID: "), or empty.
std::string HeaderValue(const std::string& text, const std::string& name);
// A peer's response to the phone's request: its Via, From, To (tagged toTag), Call-ID and CSeq,
// then the extra header lines (each ending in CR LF) and an SDP body, if any, framed.
std::string ResponseTo(const std::string& request, const std::string& status,
                       const std::string& extra = "", const std::string& sdp = "",
                       const std::string& toTag = "callee");

}  // namespace call_testing
