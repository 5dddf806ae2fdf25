#pragma once

#include <memory>
#include <mutex>

#include "platform/Audio.h"
#include "platform/AudioStreamEngine.h"
#include "platform/PulseAudioLibrary.h"

namespace platform {

// Streams to the PulseAudio server's default playback and recording devices, straight through
// its client library. PortAudio's "pulse" and "default" devices reach the same server through
// the ALSA plugin, whose own thread, descriptor polls and hand-overs cost a call several times
// the codec's CPU. Here every stream shares one connection and one thread of the client
// library, and the stream's work runs on that thread when the server asks for a period or
// delivers one. The library is loaded and the server connected while a stream is open.
class PulseAudioDirect {
public:
    PulseAudioDirect() = default;
    PulseAudioDirect(const PulseAudioDirect&) = delete;
    PulseAudioDirect& operator=(const PulseAudioDirect&) = delete;
    ~PulseAudioDirect();

    // nullptr when no server answers or it refuses the stream.
    std::unique_ptr<AudioEndpoint> Open(AudioDirection direction);

private:
    friend class PulseEndpoint;

    bool ConnectLocked();
    void DisconnectLocked();
    void Release();
    pa_stream* NewStreamLocked(AudioDirection direction, class PulseEndpoint* endpoint);
    static void OnContextState(pa_context* context, void* self);

    std::mutex mutex_;
    PulseAudioLibrary pa_;
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    int openStreams_ = 0;
};

}  // namespace platform
