#pragma once

#include <cstdint>
#include <string>

#include "platform/Audio.h"

// The choice of the playback and capture devices of every call: a USB audio device first,
// then the devices the system prefers.

// installLanguage: 2 when the system is installed in US English, else 1.
constexpr int kInstallLanguageEnglish = 2;

struct AudioDeviceChoice {
    uint32_t speakerDevice = 0;
    uint32_t microphoneDevice = 0;
    std::string speakerName;     // the system's preferred playback device name
    std::string microphoneName;  // the system's preferred recording device name
};

// The product name a USB handset's sound device has: English, or the Traditional Chinese
// form (Big5 bytes) on other installs.
std::string UsbAudioDeviceName(int installLanguage);

// Searches the devices; true only when both a playback and a capture device were found. The
// ids of a direction that was not found are left as they were. The handset is found by its
// English name first, then by its Big5 name, whatever installLanguage says.
bool FindAudioDevices(platform::AudioBackEnd& audio, int installLanguage,
                      AudioDeviceChoice* choice);

// FindAudioDevices on a fresh choice; when it fails both ids are 0, even one that was found.
AudioDeviceChoice SelectAudioDevices(platform::AudioBackEnd& audio, int installLanguage);
AudioDeviceChoice SelectAudioDevices(int installLanguage);
