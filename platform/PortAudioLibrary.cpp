#include "platform/PortAudioLibrary.h"

#include <dlfcn.h>

#include <cstdlib>

#include "platform/DynamicLibrary.h"

namespace platform {
namespace {

// PortAudio opens every PCM the ALSA configuration names, and tries the JACK server, while it
// lists the devices; each one missing on this machine would print its complaint on the
// terminal. A device that really fails still says so through the result of Open. Both
// libraries come and go with PortAudio, so their handlers are set again on every load.
void DropAlsaError(const char*, int, const char*, int, const char*, ...) {}
void DropJackMessage(const char*) {}

template <typename Handler>
void SetHandler(const char* library, const char* setter, Handler handler) {
    void* loaded = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    void (*set)(Handler) = nullptr;
    if (loaded != nullptr && FindEntryAs(loaded, setter, &set)) {
        set(handler);
    }
    if (loaded != nullptr) {
        dlclose(loaded);
    }
}

void QuietenDeviceProbes() {
    SetHandler("libasound.so.2", "snd_lib_error_set_handler", &DropAlsaError);
    // Unless the user asks for it, no JACK server is started just to be asked for its devices.
    setenv("JACK_NO_START_SERVER", "1", 0);
    SetHandler("libjack.so.0", "jack_set_error_function", &DropJackMessage);
    SetHandler("libjack.so.0", "jack_set_info_function", &DropJackMessage);
}

}  // namespace

bool PortAudioLibrary::Load() {
    if (handle_ != nullptr) {
        return true;
    }
    handle_ = LoadLibraryByName("libportaudio.so.2");
    const bool complete =
        handle_ != nullptr && FindEntryAs(handle_, "Pa_Initialize", &Initialize) &&
        FindEntryAs(handle_, "Pa_Terminate", &Terminate) &&
        FindEntryAs(handle_, "Pa_GetDeviceCount", &GetDeviceCount) &&
        FindEntryAs(handle_, "Pa_GetDeviceInfo", &GetDeviceInfo) &&
        FindEntryAs(handle_, "Pa_GetDefaultInputDevice", &GetDefaultInputDevice) &&
        FindEntryAs(handle_, "Pa_GetDefaultOutputDevice", &GetDefaultOutputDevice) &&
        FindEntryAs(handle_, "Pa_OpenStream", &OpenStream) &&
        FindEntryAs(handle_, "Pa_CloseStream", &CloseStream) &&
        FindEntryAs(handle_, "Pa_StartStream", &StartStream) &&
        FindEntryAs(handle_, "Pa_AbortStream", &AbortStream) &&
        FindEntryAs(handle_, "Pa_ReadStream", &ReadStream) &&
        FindEntryAs(handle_, "Pa_WriteStream", &WriteStream);
    if (!complete) {
        Unload();
        return false;
    }
    QuietenDeviceProbes();
    return true;
}

void PortAudioLibrary::Unload() {
    if (handle_ != nullptr) {
        FreeLibrary(handle_);
        handle_ = nullptr;
    }
}

}  // namespace platform
