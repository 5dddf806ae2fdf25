#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "media/AudioDeviceSelection.h"
#include "platform/AudioVirtual.h"

namespace {

using platform::VirtualAudioDevice;

constexpr int kEnglish = 2;
constexpr int kChinese = 1;
const char* const kBig5UsbName = "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D";
const char* const kSpeakers = "Speakers (Realtek)";
const char* const kMicrophone = "Microphone (Realtek)";

// Names separated by '|'; a name starting with '?' is a device whose capabilities cannot be
// read.
std::vector<VirtualAudioDevice> Devices(const std::string& names) {
    std::vector<VirtualAudioDevice> devices;
    for (size_t at = 0; at < names.size();) {
        const size_t end = std::min(names.find('|', at), names.size());
        const bool readable = names[at] != '?';
        devices.emplace_back(names.substr(readable ? at : at + 1, end - at - (readable ? 0 : 1)));
        devices.back().capabilitiesReadable = readable;
        at = end + 1;
    }
    return devices;
}

TEST(AudioDeviceSelectionTest, PicksTheUsbDeviceElseTheLastWithThePreferredNameElseNothing) {
    struct Case {
        const char* what;
        std::string outputs;
        std::string inputs;
        int language;
        std::string playbackName;
        uint32_t speaker;
        uint32_t microphone;
    };
    // The system's preferred names are "Speakers (Realtek)" (unless empty) and
    // "Microphone (Realtek)".
    const Case cases[] = {
        {"USB wins over the preferred device; Record names the input",
         "Speakers (Realtek)|HDMI|USB Audio Device", "Line In|Microphone (Realtek)", kEnglish,
         kSpeakers, 2, 1},
        {"other installs know USB only by its Big5 name",
         std::string("Speakers (Realtek)|HDMI|") + kBig5UsbName, "Microphone (Realtek)", kChinese,
         kSpeakers, 2, 0},
        {"other installs find USB by its English name too",
         "HDMI|Speakers (Realtek)|USB Audio Device", "Microphone (Realtek)", kChinese, kSpeakers, 2,
         0},
        {"English installs find USB by its Big5 name too",
         std::string("HDMI|Speakers (Realtek)|") + kBig5UsbName, "Microphone (Realtek)", kEnglish,
         kSpeakers, 2, 0},
        {"the English name wins over an earlier Big5 one",
         std::string(kBig5UsbName) + "|USB Audio Device|Speakers (Realtek)", "Microphone (Realtek)",
         kChinese, kSpeakers, 1, 0},
        {"the Big5 name wins over a later preferred device",
         std::string("HDMI|") + kBig5UsbName + "|Speakers (Realtek)", "Microphone (Realtek)",
         kEnglish, kSpeakers, 1, 0},
        {"two outputs with the mapper name: the later one",
         "Speakers (Realtek)|HDMI|Speakers (Realtek)", "Microphone (Realtek)", kEnglish, kSpeakers,
         2, 0},
        {"USB ends the search", "USB Audio Device|Speakers (Realtek)",
         "Microphone (Realtek)|Microphone (Realtek)|Microphone (Realtek)|x", kEnglish, kSpeakers, 0,
         2},
        {"playback found but no input: both 0", "HDMI|Speakers (Realtek)", "Line In", kEnglish,
         kSpeakers, 0, 0},
        {"empty Playback name: both 0, even with USB", "HDMI|USB Audio Device",
         "Line In|USB Audio Device", kEnglish, "", 0, 0},
        {"unreadable capabilities are skipped", "HDMI|?USB Audio Device|Speakers (Realtek)",
         "Microphone (Realtek)", kEnglish, kSpeakers, 2, 0},
        {"names compare exactly", "HDMI|usb audio device|speakers (realtek)",
         "Line In|Microphone (Realtek)", kEnglish, kSpeakers, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::VirtualAudioBackEnd audio;
        audio.SetPreferredNames(c.playbackName, kMicrophone);
        audio.SetOutputDevices(Devices(c.outputs));
        audio.SetInputDevices(Devices(c.inputs));
        const AudioDeviceChoice choice = SelectAudioDevices(audio, c.language);
        EXPECT_EQ(choice.speakerDevice, c.speaker);
        EXPECT_EQ(choice.microphoneDevice, c.microphone);
        EXPECT_EQ(choice.speakerName, c.playbackName);
        EXPECT_EQ(choice.microphoneName, kMicrophone);
    }
    EXPECT_EQ(UsbAudioDeviceName(kChinese), kBig5UsbName);
}

}  // namespace
