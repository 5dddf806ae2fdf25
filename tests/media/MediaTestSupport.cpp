#include "tests/media/MediaTestSupport.h"

#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

namespace media_testing {

rtp_session* OpenLoopbackSession(uint16_t remotePort) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint16_t port = 0;
        {
            platform::UdpSocket probe;
            if (!probe.Bind(0)) {
                continue;
            }
            port = probe.LocalPort();
        }
        auto* session = new rtp_session();
        if (rtp_open(session, port, 0)) {
            if (rtp_connect(session, "127.0.0.1", remotePort) == 0) {
                return session;
            }
        }
        rtp_close(session);
    }
    return nullptr;
}

uint16_t SessionPort(const rtp_session* session) {
    return session->sock->LocalPort();
}

std::string TempPath(const std::string& name) {
    return testing_support::BinaryPath("media_devices_" + name);
}

}  // namespace media_testing
