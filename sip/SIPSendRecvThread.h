#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "platform/UdpSocket.h"

class SIPSDPModule;

// Owns the SIP socket: receives datagrams from the proxy only and hands each to the parser;
// sends composed messages to the proxy. The owner stops it (Terminate, WaitFor) before it
// releases the parser; the socket is closed when the loop ends.
class CSIPSendRecvThread : public TThread {
public:
    static constexpr int kReceiveBufferSize = 2048;
    static constexpr int kWaitMs = 1500;
    // Datagrams of this many bytes or fewer (keep-alives, stray bytes) are not parsed.
    static constexpr long kMinimumDatagram = 10;

    // The thread is always created suspended; stream asks for TCP, which is not supported
    // here: the transport is UDP.
    CSIPSendRecvThread(bool createSuspended, SIPSDPModule* parser, bool stream = false);
    ~CSIPSendRecvThread() override;

    // Binds INADDR_ANY:localPort (address reuse allowed) and fixes the proxy's address.
    void Setup(const std::string& localAddress, int localPort, const std::string& proxyAddress,
               int proxyPort);
    // Runs on this thread after every datagram from the proxy has gone to the parser, so
    // that the consumer of the parser's queue need not poll it. Set before Resume.
    void SetArrivalHook(std::function<void()> hook) { arrivalHook_ = std::move(hook); }
    // One datagram to the proxy; true when every byte was sent.
    bool SendDatagram(const char* data, size_t length);

protected:
    void Execute() override;
    void WakeUp() override;

private:
    bool FromProxy(const platform::Ipv4Endpoint& source) const;
    void ReceiveOne();
    void CloseSocket();

    platform::UdpSocket socket_;
    int localPort_ = 0;
    std::string localAddress_;
    int proxyPort_ = 0;
    std::string proxyAddress_;
    SIPSDPModule* parser_;
    std::function<void()> arrivalHook_;
    platform::Ipv4Endpoint proxy_;
    bool proxyValid_ = false;
    // Guards only the socket's closing against a send or wake-up from another thread, so
    // neither can reach a descriptor that is closed or already reused.
    TCriticalSection socketLock_;
    bool socketOpen_ = true;
    char receiveBuffer_[kReceiveBufferSize];
};
