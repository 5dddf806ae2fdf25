#pragma once

#include <portaudio.h>

namespace platform {

// PortAudio, loaded only while the program uses the sound system. With it come libasound,
// JACK's client library and Berkeley DB (about 3 MB resident) and ALSA's plugins; between
// calls none of that needs to be in memory.
class PortAudioLibrary {
public:
    PortAudioLibrary() = default;
    PortAudioLibrary(const PortAudioLibrary&) = delete;
    PortAudioLibrary& operator=(const PortAudioLibrary&) = delete;
    ~PortAudioLibrary() { Unload(); }

    // False, with nothing left loaded, when the library or one of its entries is missing.
    bool Load();
    void Unload();

    PaError (*Initialize)() = nullptr;
    PaError (*Terminate)() = nullptr;
    PaDeviceIndex (*GetDeviceCount)() = nullptr;
    const PaDeviceInfo* (*GetDeviceInfo)(PaDeviceIndex) = nullptr;
    PaDeviceIndex (*GetDefaultInputDevice)() = nullptr;
    PaDeviceIndex (*GetDefaultOutputDevice)() = nullptr;
    PaError (*OpenStream)(PaStream**, const PaStreamParameters*, const PaStreamParameters*, double,
                          unsigned long, PaStreamFlags, PaStreamCallback*, void*) = nullptr;
    PaError (*CloseStream)(PaStream*) = nullptr;
    PaError (*StartStream)(PaStream*) = nullptr;
    PaError (*AbortStream)(PaStream*) = nullptr;
    PaError (*ReadStream)(PaStream*, void*, unsigned long) = nullptr;
    PaError (*WriteStream)(PaStream*, const void*, unsigned long) = nullptr;

private:
    void* handle_ = nullptr;
};

}  // namespace platform
