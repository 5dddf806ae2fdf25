#include "sip/SIPSendRecvThread.h"

#include <mutex>

#include "sip/SIPSDPModule.h"

CSIPSendRecvThread::CSIPSendRecvThread(bool createSuspended, SIPSDPModule* parser, bool /*stream*/)
    : parser_(parser) {
    if (!createSuspended) {
        Resume();
    }
}

CSIPSendRecvThread::~CSIPSendRecvThread() {
    // Execute uses our members; it must end before they go.
    TerminateAndWait();
}

void CSIPSendRecvThread::Setup(const std::string& localAddress, int localPort,
                               const std::string& proxyAddress, int proxyPort) {
    localAddress_ = localAddress;
    localPort_ = localPort;
    proxyAddress_ = proxyAddress;
    proxyPort_ = proxyPort;
    // The proxy's port is ours as well, and a peer on this machine (another loopback
    // address) holds the same port: both sockets must allow address reuse.
    socket_.SetReuseAddress();
    if (localPort >= 0 && localPort <= 65535) {
        socket_.Bind(static_cast<uint16_t>(localPort));
    }
    uint32_t address = 0;
    proxyValid_ = proxyPort > 0 && proxyPort <= 65535 &&
                  platform::ParseDottedIpv4(proxyAddress.c_str(), &address);
    proxy_ = {address, static_cast<uint16_t>(proxyValid_ ? proxyPort : 0)};
}

bool CSIPSendRecvThread::SendDatagram(const char* data, size_t length) {
    if (!proxyValid_ || data == nullptr) {
        return false;
    }
    std::lock_guard<TCriticalSection> guard(socketLock_);
    if (!socketOpen_) {
        return false;
    }
    const long sent = socket_.SendTo(data, length, proxy_);
    return sent >= 0 && static_cast<size_t>(sent) == length;
}

void CSIPSendRecvThread::Execute() {
    // A stop request wakes the wait, so an idle phone's transport need not wake on a timer;
    // only a socket that cannot be woken falls back to the timeout.
    const int waitMs = socket_.CanWake() ? -1 : kWaitMs;
    while (!Terminated()) {
        switch (socket_.WaitReadable(waitMs)) {
            case platform::UdpSocket::WaitResult::Readable:
                ReceiveOne();
                break;
            case platform::UdpSocket::WaitResult::Error:
                // A broken socket returns at once; wait the period out instead of spinning.
                SleepUnlessTerminated(kWaitMs);
                break;
            default:
                break;
        }
    }
    // A transport rebuilt after a settings change binds this port again.
    CloseSocket();
}

void CSIPSendRecvThread::WakeUp() {
    std::lock_guard<TCriticalSection> guard(socketLock_);
    if (socketOpen_) {
        socket_.Wake();
    }
}

void CSIPSendRecvThread::ReceiveOne() {
    platform::Ipv4Endpoint source;
    const long received = socket_.ReceiveFrom(receiveBuffer_, sizeof(receiveBuffer_), &source);
    // A datagram longer than the buffer cannot be received whole and is lost, not parsed cut.
    if (received <= kMinimumDatagram || received > kReceiveBufferSize) {
        return;
    }
    if (parser_ != nullptr && FromProxy(source)) {
        parser_->Parse(receiveBuffer_, static_cast<size_t>(received));
        if (arrivalHook_) {
            arrivalHook_();
        }
    }
}

bool CSIPSendRecvThread::FromProxy(const platform::Ipv4Endpoint& source) const {
    return proxyValid_ && source == proxy_;
}

void CSIPSendRecvThread::CloseSocket() {
    std::lock_guard<TCriticalSection> guard(socketLock_);
    socket_.Close();
    socketOpen_ = false;
}
