#pragma once

#include <pulse/pulseaudio.h>

namespace platform {

// The PulseAudio client library, loaded only while a stream talks to the sound server
// directly: between calls neither it nor its codec libraries need to be in memory.
class PulseAudioLibrary {
public:
    PulseAudioLibrary() = default;
    PulseAudioLibrary(const PulseAudioLibrary&) = delete;
    PulseAudioLibrary& operator=(const PulseAudioLibrary&) = delete;
    ~PulseAudioLibrary() { Unload(); }

    // False, with nothing left loaded, when the library or one of its entries is missing.
    bool Load();
    void Unload();

    pa_threaded_mainloop* (*MainloopNew)() = nullptr;
    void (*MainloopFree)(pa_threaded_mainloop*) = nullptr;
    int (*MainloopStart)(pa_threaded_mainloop*) = nullptr;
    void (*MainloopStop)(pa_threaded_mainloop*) = nullptr;
    void (*MainloopLock)(pa_threaded_mainloop*) = nullptr;
    void (*MainloopUnlock)(pa_threaded_mainloop*) = nullptr;
    void (*MainloopWait)(pa_threaded_mainloop*) = nullptr;
    void (*MainloopSignal)(pa_threaded_mainloop*, int) = nullptr;
    pa_mainloop_api* (*MainloopApi)(pa_threaded_mainloop*) = nullptr;

    pa_context* (*ContextNew)(pa_mainloop_api*, const char*) = nullptr;
    int (*ContextConnect)(pa_context*, const char*, pa_context_flags_t,
                          const pa_spawn_api*) = nullptr;
    void (*ContextDisconnect)(pa_context*) = nullptr;
    void (*ContextUnref)(pa_context*) = nullptr;
    pa_context_state_t (*ContextState)(const pa_context*) = nullptr;
    void (*ContextSetStateCallback)(pa_context*, pa_context_notify_cb_t, void*) = nullptr;

    pa_stream* (*StreamNew)(pa_context*, const char*, const pa_sample_spec*,
                            const pa_channel_map*) = nullptr;
    int (*StreamConnectPlayback)(pa_stream*, const char*, const pa_buffer_attr*, pa_stream_flags_t,
                                 const pa_cvolume*, pa_stream*) = nullptr;
    int (*StreamConnectRecord)(pa_stream*, const char*, const pa_buffer_attr*,
                               pa_stream_flags_t) = nullptr;
    int (*StreamDisconnect)(pa_stream*) = nullptr;
    void (*StreamUnref)(pa_stream*) = nullptr;
    pa_stream_state_t (*StreamState)(const pa_stream*) = nullptr;
    void (*StreamSetStateCallback)(pa_stream*, pa_stream_notify_cb_t, void*) = nullptr;
    void (*StreamSetReadCallback)(pa_stream*, pa_stream_request_cb_t, void*) = nullptr;
    void (*StreamSetWriteCallback)(pa_stream*, pa_stream_request_cb_t, void*) = nullptr;
    void (*StreamSetUnderflowCallback)(pa_stream*, pa_stream_notify_cb_t, void*) = nullptr;
    int (*StreamPeek)(pa_stream*, const void**, size_t*) = nullptr;
    int (*StreamDrop)(pa_stream*) = nullptr;
    int (*StreamWrite)(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t,
                       pa_seek_mode_t) = nullptr;

private:
    void* handle_ = nullptr;
};

}  // namespace platform
