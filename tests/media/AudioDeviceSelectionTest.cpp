#include <gtest/gtest.h>

#include "media/AudioDeviceSelection.h"
#include "platform/AudioVirtual.h"

namespace {

using platform::VirtualAudioDevice;

constexpr int kEnglish = 2;
constexpr int kChinese = 1;
const char* const kBig5UsbName = "USB \xAD\xB5\xAE\xC4\xB8\xCB\xB8\x6D";

std::vector<VirtualAudioDevice> Devices(std::initializer_list<const char*> names) {
    std::vector<VirtualAudioDevice> devices;
    for (const char* name : names) {
        devices.emplace_back(name);
    }
    return devices;
}

class AudioDeviceSelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        audio.SetPreferredNames("Speakers (Realtek)", "Microphone (Realtek)");
        audio.SetInputDevices(Devices({"Line In", "Microphone (Realtek)"}));
    }
    platform::VirtualAudioBackEnd audio;
};

TEST_F(AudioDeviceSelectionTest, TheUsbDeviceWinsOverTheSystemsPreferredDevice) {
    audio.SetOutputDevices(Devices({"Speakers (Realtek)", "HDMI", "USB Audio Device"}));
    const AudioDeviceChoice choice = SelectAudioDevices(audio, kEnglish);
    EXPECT_EQ(choice.speakerDevice, 2u);
    EXPECT_EQ(choice.microphoneDevice, 1u);
    EXPECT_EQ(choice.speakerName, "Speakers (Realtek)");
    EXPECT_EQ(choice.microphoneName, "Microphone (Realtek)");
}

TEST_F(AudioDeviceSelectionTest, OtherInstallsKnowTheUsbDeviceOnlyByItsChineseName) {
    audio.SetOutputDevices(Devices({"Speakers (Realtek)", "HDMI", "USB Audio Device"}));
    EXPECT_EQ(SelectAudioDevices(audio, kChinese).speakerDevice, 0u);
    audio.SetOutputDevices(Devices({"Speakers (Realtek)", "HDMI", kBig5UsbName}));
    EXPECT_EQ(SelectAudioDevices(audio, kChinese).speakerDevice, 2u);
    EXPECT_EQ(SelectAudioDevices(audio, kEnglish).speakerDevice, 0u);
    EXPECT_EQ(UsbAudioDeviceName(kChinese), kBig5UsbName);
}

TEST_F(AudioDeviceSelectionTest, TheUsbDeviceEndsTheSearchAndTheLastPreferredDeviceWins) {
    audio.SetOutputDevices(Devices({"USB Audio Device", "Speakers (Realtek)"}));
    audio.SetInputDevices(
        Devices({"Microphone (Realtek)", "Microphone (Realtek)", "Microphone (Realtek)", "x"}));
    const AudioDeviceChoice choice = SelectAudioDevices(audio, kEnglish);
    EXPECT_EQ(choice.speakerDevice, 0u);
    EXPECT_EQ(choice.microphoneDevice, 2u);
}

TEST_F(AudioDeviceSelectionTest, WithoutAMatchingCaptureDeviceBothIdsAreZero) {
    audio.SetOutputDevices(Devices({"HDMI", "Speakers (Realtek)"}));
    audio.SetInputDevices(Devices({"Line In"}));
    AudioDeviceChoice found;
    EXPECT_FALSE(FindAudioDevices(audio, kEnglish, &found));
    EXPECT_EQ(found.speakerDevice, 1u);
    const AudioDeviceChoice choice = SelectAudioDevices(audio, kEnglish);
    EXPECT_EQ(choice.speakerDevice, 0u);
    EXPECT_EQ(choice.microphoneDevice, 0u);
}

TEST_F(AudioDeviceSelectionTest, AnEmptyPreferredNameSearchesNothingEvenForUsb) {
    audio.SetOutputDevices(Devices({"HDMI", "USB Audio Device"}));
    audio.SetInputDevices(Devices({"Line In", "USB Audio Device"}));
    audio.SetPreferredNames("", "Microphone (Realtek)");
    AudioDeviceChoice found;
    EXPECT_FALSE(FindAudioDevices(audio, kEnglish, &found));
    EXPECT_EQ(found.microphoneDevice, 1u);
    const AudioDeviceChoice choice = SelectAudioDevices(audio, kEnglish);
    EXPECT_EQ(choice.speakerDevice, 0u);
    EXPECT_EQ(choice.microphoneDevice, 0u);
    EXPECT_EQ(choice.speakerName, "");
}

TEST_F(AudioDeviceSelectionTest, DevicesWhoseCapabilitiesCannotBeReadAreSkipped) {
    auto outputs = Devices({"HDMI", "USB Audio Device", "Speakers (Realtek)"});
    outputs[1].capabilitiesReadable = false;
    audio.SetOutputDevices(outputs);
    EXPECT_EQ(SelectAudioDevices(audio, kEnglish).speakerDevice, 2u);
}

TEST_F(AudioDeviceSelectionTest, NamesCompareExactly) {
    audio.SetOutputDevices(Devices({"HDMI", "usb audio device", "speakers (realtek)"}));
    EXPECT_EQ(SelectAudioDevices(audio, kEnglish).speakerDevice, 0u);
    AudioDeviceChoice found;
    EXPECT_FALSE(FindAudioDevices(audio, kEnglish, &found));
}

}  // namespace
