#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLocale>
#include <QSlider>
#include <QTimer>

#include "app/SoftPhoneForm.h"
#include "app/TextBytes.h"
#include "app/UsbHandset.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "handset/HandsetLibrary.h"
#include "media/AudioDeviceSelection.h"
#include "settings/LoadSettings.h"
#include "settings/LocalAddressChoice.h"
#include "settings/PhoneBookStorage.h"

// The window's start-up and the call manager's life: the settings it is built from, the local
// address, the sound devices, and its rebuilding after a settings change.

void TSoftPhoneForm::ChooseLocalAddress() {
    ListLocalAddresses();
    settings::ChooseStartupLocalAddress(
        settings_, [this](const std::string& address) { ConfigForm_->AddLocalAddress(address); },
        [this] {
            return std::vector<std::string>(LocalAddresses_.begin(),
                                            LocalAddresses_.begin() + localAddressCount_);
        });
}

bool TSoftPhoneForm::CheckInstallLanguage() {
    return QLocale::system().name() == QLatin1String("en_US");
}

// The sockets layer needs no start-up on this platform.
bool TSoftPhoneForm::EnsureWinsock() {
    return true;
}

int TSoftPhoneForm::ListLocalAddresses() {
    const std::vector<std::string> found = listAddresses_(kMaxLocalAddresses);
    localAddressCount_ = 0;
    for (const std::string& address : found) {
        if (localAddressCount_ == kMaxLocalAddresses) {
            break;
        }
        LocalAddresses_[localAddressCount_++] = address;
    }
    return static_cast<int>(found.size());
}

void TSoftPhoneForm::LoadSettings() {
    settings::LoadSettings(*store_, settings_, [this](platform::SettingsStore& openKey) {
        settings::LoadPhoneBook(phoneBook_, openKey);
    });
    NumberLabel->setText(FromBytes(settings_.UserAccount));
    if (PhoneBookForm_) {
        PhoneBookForm_->RefreshGrid();
    }
}

void TSoftPhoneForm::CreateCallManager() {
    // Otherwise the program would only stay without a call manager, with no word why.
    if (settings_.SIPProxyLabelUnusable) {
        messageListView_.AppendRow(">Proxy address invalid!");
    }
    if (settings_.UserAccount.empty() || settings_.UserKey.empty() ||
        settings_.SIPProxyAddress.empty() || settings_.LocalIPAddress.empty()) {
        return;
    }
    auto manager = std::make_unique<CallManagerThread>(registerRequired_);
    manager->SetMessageList(&messageListView_);
    manager->SetStatusLamp(&statusLampView_);
    manager->SetHandsetRinger(handset_->Ringer());
    manager->SetAccount(settings_.UserAccount, settings_.UserKey);
    manager->SetProxy(settings_.SIPProxyAddress, settings_.SIPProxyPort);
    manager->SetLocalAddress(settings_.LocalIPAddress);
    // One configured port serves as the proxy's and as our own SIP port.
    manager->SetLocalPort(settings_.SIPProxyPort);
    manager->SetRtpPort(settings_.LocalRTPPort);
    manager->SetPayloadType(kPayloadType);
    manager->SetCaptureBlockSize(kCaptureBlockSize);
    manager->Start();
    manager->ShowSettings();
    SelectAudioDevices(*manager);
    manager->SetVolumes(VolumeTrackBar->value(), VolumeTrackBar->maximum());
    if (settings_.LocalIPAddress.find("192.168") != std::string::npos) {
        manager->SetRegisterInterval(kNatRegisterInterval);
    }
    manager->Resume();
    CallManager_ = std::move(manager);
    // Through the same queue as the call manager's lines, so it follows its settings lines.
    messageListView_.AppendRow("Call Manager created!!");
}

void TSoftPhoneForm::SelectAudioDevices(CallManagerThread& manager) {
    manager.SetHandsetPresent(usbHandsetPresent);
    const AudioDeviceChoice devices = ::SelectAudioDevices(installLanguage);
    manager.SetAudioDevices(devices.speakerDevice, devices.speakerName, devices.microphoneDevice,
                            devices.microphoneName);
}

void TSoftPhoneForm::RestartCallManager() {
    // A second OK while a restart is waiting runs one more restart afterwards.
    if (restarting_) {
        restartAgain_ = true;
        return;
    }
    restarting_ = true;
    do {
        restartAgain_ = false;
        if (CallManager_) {
            CallManager_->Terminate();
        }
        WaitKeepingEventsFlowing(kRestartStopWaitMs);
        retiredCallManager_ = std::move(CallManager_);
        WaitKeepingEventsFlowing(kRestartSettleWaitMs);
        // The new call manager binds the same SIP port: the old one must have let it go.
        ReleaseRetiredCallManager();
        if (closing_) {
            break;
        }
        LoadSettings();
        CreateCallManager();
    } while (restartAgain_);
    restarting_ = false;
}

void TSoftPhoneForm::ReleaseRetiredCallManager() {
    if (!retiredCallManager_) {
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!retiredCallManager_->Finished() && retiredCallManager_->Started() &&
           waited.elapsed() < 5000) {
        WaitKeepingEventsFlowing(10);
    }
    retiredCallManager_.reset();
}

void TSoftPhoneForm::WaitKeepingEventsFlowing(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
