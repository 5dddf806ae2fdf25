#pragma once

#include <cstdint>
#include <string>

#include "call/CallManagerThread.h"
#include "call/CallView.h"

// The phone of a call manager benchmark: no window to write to, an account registered with
// the benchmark's proxy on 127.0.0.1, ephemeral ports, G.729.
class SilentList final : public MessageListView {
public:
    void AppendRow(const std::string&) override {}
    void ShowLastRows(int) override {}
};

inline void ConfigureBenchPhone(CallManagerThread& manager, SilentList& list, uint16_t proxyPort) {
    manager.SetMessageList(&list);
    manager.SetAccount("1001", "bench");
    manager.SetProxy("127.0.0.1", proxyPort);
    manager.SetLocalAddress("127.0.0.1");
    manager.SetLocalPort(0);
    manager.SetRtpPort(0);
    manager.SetPayloadType(18);
    manager.SetCaptureBlockSize(320);
}
