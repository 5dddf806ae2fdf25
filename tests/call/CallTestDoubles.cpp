#include "tests/call/CallTestDoubles.h"

#include <algorithm>
#include <mutex>

namespace call_testing {

void RecordingMessageList::AppendRow(const std::string& row) {
    std::lock_guard<TCriticalSection> guard(lock_);
    rows_.push_back(row);
}

void RecordingMessageList::ShowLastRows(int rows) {
    std::lock_guard<TCriticalSection> guard(lock_);
    showLastRows_.push_back(rows);
}

std::vector<std::string> RecordingMessageList::Rows() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return rows_;
}

std::vector<int> RecordingMessageList::ShowLastRowsCalls() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return showLastRows_;
}

bool RecordingMessageList::HasRow(const std::string& row) {
    std::lock_guard<TCriticalSection> guard(lock_);
    return std::find(rows_.begin(), rows_.end(), row) != rows_.end();
}

void RecordingLamp::SetBrushColor(uint32_t rgb) {
    std::lock_guard<TCriticalSection> guard(lock_);
    colours_.push_back(rgb);
}

std::vector<uint32_t> RecordingLamp::Colours() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return colours_;
}

uint32_t RecordingLamp::Last() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return colours_.empty() ? 0 : colours_.back();
}

FakeProxy::FakeProxy() {
    uint32_t loopback = 0;
    platform::ParseDottedIpv4("127.0.0.1", &loopback);
    socket_.Bind(0, loopback);
}

std::optional<std::string> FakeProxy::Receive(int timeoutMs) {
    if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
        return std::nullopt;
    }
    char buffer[70000];
    const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &phone_);
    if (length < 0 || static_cast<size_t>(length) > sizeof(buffer)) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

std::vector<std::string> FakeProxy::ReceiveAll(int windowMs) {
    std::vector<std::string> all;
    while (auto datagram = Receive(windowMs)) {
        all.push_back(*datagram);
    }
    return all;
}

void FakeProxy::Reply(const std::string& text) {
    socket_.SendTo(text.data(), text.size(), phone_);
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

std::string HeaderValue(const std::string& text, const std::string& name) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.rfind(name, 0) == 0) {
            return line.substr(name.size());
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return {};
}

}  // namespace call_testing
