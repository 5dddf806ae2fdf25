#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/rtp.h"
#include "platform/AudioVirtual.h"
#include "platform/DynamicLibrary.h"

namespace media_testing {

constexpr const char* kFakeCodec = "libsoftphone_fake_codec.so";

// An RTP session on 127.0.0.1 at a free port, connected to 127.0.0.1:remotePort.
// Released with rtp_close.
rtp_session* OpenLoopbackSession(uint16_t remotePort);
uint16_t SessionPort(const rtp_session* session);

std::string TempPath(const std::string& name);

// Installs a virtual audio back end for the life of the object.
class VirtualAudio {
public:
    VirtualAudio() { platform::SetAudioBackEnd(&backEnd); }
    ~VirtualAudio() { platform::SetAudioBackEnd(nullptr); }
    platform::VirtualAudioBackEnd backEnd;
};

}  // namespace media_testing
