#include "platform/PulseAudioLibrary.h"

#include "platform/DynamicLibrary.h"

namespace platform {

bool PulseAudioLibrary::Load() {
    if (handle_ != nullptr) {
        return true;
    }
    handle_ = LoadLibraryByName("libpulse.so.0");
    const LibraryHandle h = handle_;
    const bool complete =
        h != nullptr && FindEntryAs(h, "pa_threaded_mainloop_new", &MainloopNew) &&
        FindEntryAs(h, "pa_threaded_mainloop_free", &MainloopFree) &&
        FindEntryAs(h, "pa_threaded_mainloop_start", &MainloopStart) &&
        FindEntryAs(h, "pa_threaded_mainloop_stop", &MainloopStop) &&
        FindEntryAs(h, "pa_threaded_mainloop_lock", &MainloopLock) &&
        FindEntryAs(h, "pa_threaded_mainloop_unlock", &MainloopUnlock) &&
        FindEntryAs(h, "pa_threaded_mainloop_wait", &MainloopWait) &&
        FindEntryAs(h, "pa_threaded_mainloop_signal", &MainloopSignal) &&
        FindEntryAs(h, "pa_threaded_mainloop_get_api", &MainloopApi) &&
        FindEntryAs(h, "pa_context_new", &ContextNew) &&
        FindEntryAs(h, "pa_context_connect", &ContextConnect) &&
        FindEntryAs(h, "pa_context_disconnect", &ContextDisconnect) &&
        FindEntryAs(h, "pa_context_unref", &ContextUnref) &&
        FindEntryAs(h, "pa_context_get_state", &ContextState) &&
        FindEntryAs(h, "pa_context_set_state_callback", &ContextSetStateCallback) &&
        FindEntryAs(h, "pa_stream_new", &StreamNew) &&
        FindEntryAs(h, "pa_stream_connect_playback", &StreamConnectPlayback) &&
        FindEntryAs(h, "pa_stream_connect_record", &StreamConnectRecord) &&
        FindEntryAs(h, "pa_stream_disconnect", &StreamDisconnect) &&
        FindEntryAs(h, "pa_stream_unref", &StreamUnref) &&
        FindEntryAs(h, "pa_stream_get_state", &StreamState) &&
        FindEntryAs(h, "pa_stream_set_state_callback", &StreamSetStateCallback) &&
        FindEntryAs(h, "pa_stream_set_read_callback", &StreamSetReadCallback) &&
        FindEntryAs(h, "pa_stream_set_write_callback", &StreamSetWriteCallback) &&
        FindEntryAs(h, "pa_stream_set_underflow_callback", &StreamSetUnderflowCallback) &&
        FindEntryAs(h, "pa_stream_peek", &StreamPeek) &&
        FindEntryAs(h, "pa_stream_drop", &StreamDrop) &&
        FindEntryAs(h, "pa_stream_write", &StreamWrite);
    if (!complete) {
        Unload();
        return false;
    }
    return true;
}

void PulseAudioLibrary::Unload() {
    if (handle_ != nullptr) {
        FreeLibrary(handle_);
        handle_ = nullptr;
    }
}

}  // namespace platform
