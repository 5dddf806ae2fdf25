#include "media/AudioDeviceSelection.h"

#include <functional>

namespace {

using NameOf = std::function<bool(uint32_t, std::string*)>;

constexpr int kInstallLanguageOther = 1;

// The USB device wins: under its English name it ends the search, under its Big5 name it is
// kept unless the English name turns up later. Among devices with the preferred name the last
// one wins. Nothing is searched without a preferred name.
bool FindDevice(uint32_t count, const NameOf& nameOf, const std::string& preferredName,
                uint32_t* id) {
    if (preferredName.empty()) {
        return false;
    }
    const std::string englishUsbName = UsbAudioDeviceName(kInstallLanguageEnglish);
    const std::string big5UsbName = UsbAudioDeviceName(kInstallLanguageOther);
    bool big5UsbFound = false;
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        if (!nameOf(i, &name)) {
            continue;
        }
        if (name == englishUsbName) {
            *id = i;
            return true;
        }
        if (name == big5UsbName) {
            *id = i;
            big5UsbFound = true;
            found = true;
        } else if (name == preferredName && !big5UsbFound) {
            *id = i;
            found = true;
        }
    }
    return found;
}

}  // namespace

std::string UsbAudioDeviceName(int installLanguage) {
    if (installLanguage == kInstallLanguageEnglish) {
        return "USB Audio Device";
    }
    return "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D";
}

// The sound system names its cards in English whatever the desktop's language, so the
// install language no longer picks the handset's name: both names are looked for.
bool FindAudioDevices(platform::AudioBackEnd& audio, int, AudioDeviceChoice* choice) {
    const uint32_t outputs = audio.OutputDeviceCount();
    const uint32_t inputs = audio.InputDeviceCount();
    choice->speakerName = audio.PreferredPlaybackName();
    choice->microphoneName = audio.PreferredRecordName();
    const bool speakerFound = FindDevice(
        outputs, [&](uint32_t id, std::string* name) { return audio.OutputDeviceName(id, name); },
        choice->speakerName, &choice->speakerDevice);
    const bool microphoneFound = FindDevice(
        inputs, [&](uint32_t id, std::string* name) { return audio.InputDeviceName(id, name); },
        choice->microphoneName, &choice->microphoneDevice);
    return speakerFound && microphoneFound;
}

AudioDeviceChoice SelectAudioDevices(platform::AudioBackEnd& audio, int installLanguage) {
    AudioDeviceChoice choice;
    if (!FindAudioDevices(audio, installLanguage, &choice)) {
        choice.speakerDevice = 0;
        choice.microphoneDevice = 0;
    }
    return choice;
}

AudioDeviceChoice SelectAudioDevices(int installLanguage) {
    return SelectAudioDevices(platform::CurrentAudioBackEnd(), installLanguage);
}
