#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/QueuedMessageList.h"
#include "app/QueuedStatusLamp.h"
#include "handset/HandsetKeys.h"
#include "platform/SettingsStore.h"
#include "settings/EffectiveSettings.h"
#include "settings/PhoneBook.h"

class CallManagerThread;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSlider;
class QSystemTrayIcon;
class SkinImage;
class StatusLampShape;
class UsbHandset;

namespace settings {
class TConfigForm;
class TPhoneBookForm;
}  // namespace settings

// 2 when the system is installed in US English, else 1: chooses the name under which the
// handset's audio device is looked for.
extern int installLanguage;

// The softphone's main window: builds everything at start, rebuilds the call manager after a
// settings change, and turns the user's clicks and the handset's keys into call manager
// operations. Its members are spread over files by concern: the window itself
// (SoftPhoneForm.cpp), start-up and the call manager's life (SoftPhoneFormLifecycle.cpp), the
// dial pad and call buttons (SoftPhoneFormDialPad.cpp) and the tray (SoftPhoneFormTray.cpp).
class TSoftPhoneForm : public QWidget, public HandsetKeyTarget {
    Q_OBJECT

public:
    // The machine's IPv4 addresses, at most the count asked for; replaceable for tests.
    using AddressLister = std::function<std::vector<std::string>(size_t maxCount)>;

    explicit TSoftPhoneForm(QWidget* parent = nullptr);
    explicit TSoftPhoneForm(AddressLister listAddresses, QWidget* parent = nullptr);
    ~TSoftPhoneForm() override;

    static constexpr int kPayloadType = 18;
    static constexpr int kCaptureBlockSize = 320;
    static constexpr int kStartupWaitMs = 1000;
    static constexpr int kRestartStopWaitMs = 500;
    static constexpr int kRestartSettleWaitMs = 1000;
    static constexpr int kMaxLocalAddresses = 5;
    // A private network is usually behind NAT: register often enough to keep its binding.
    static constexpr int kNatRegisterInterval = 150;

    // Lifecycle operations.
    bool CheckInstallLanguage();
    bool EnsureWinsock();
    int ListLocalAddresses();
    void LoadSettings();
    void CreateCallManager();
    void RestartCallManager();

    // Event handlers, named after their component and event.
    void BitBtn1Click(QObject* sender);
    void BitBtn2Click(QObject* sender);
    void BitBtn3Click(QObject* sender);
    void BitBtn4Click(QObject* sender);
    void BitBtn5Click(QObject* sender);
    void BitBtn6Click(QObject* sender);
    void BitBtn7Click(QObject* sender);
    void BitBtn8Click(QObject* sender);
    void BitBtn9Click(QObject* sender);
    void BitBtn10Click(QObject* sender);
    void BitBtn11Click(QObject* sender);
    void BitBtn12Click(QObject* sender);
    void DialBitBtnClick(QObject* sender);
    void DisconnectBitBtnClick(QObject* sender);
    void ClearBitBtnClick(QObject* sender);
    void VolumeTrackBarChange(QObject* sender);
    void ConfigBitBtnClick(QObject* sender);
    void BookBitBtnClick(QObject* sender);
    void CDRBitBtnClick(QObject* sender);
    void Image1MouseDown(QObject* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift,
                         int x, int y);
    void TrayIcon1Click(QObject* sender);

    // The handset's keys run the same handlers as the window's buttons.
    void ClickDialPadButton(int button) override;
    void ClickDial() override;
    void ClickDisconnect() override;
    void ClickClear() override;
    void ClickPhoneBook() override;
    bool PhoneBookVisible() const override;
    int NumberHistoryCount() const override;
    int NumberHistorySelectedIndex() const override;
    void SelectNumberHistoryItem(int index) override;

    // What the window holds, for the handset binding and for tests.
    CallManagerThread* CallManager() const { return CallManager_.get(); }
    const settings::EffectiveSettings& Settings() const { return settings_; }
    settings::PhoneBook& PhoneBook() { return phoneBook_; }
    settings::TConfigForm* ConfigForm() const { return ConfigForm_.get(); }
    settings::TPhoneBookForm* PhoneBookForm() const { return PhoneBookForm_.get(); }
    const std::array<std::string, kMaxLocalAddresses>& LocalAddresses() const {
        return LocalAddresses_;
    }
    QSystemTrayIcon* TrayIcon() const { return TrayIcon1; }
    // What every call manager is handed as its message list and lamp: callable from any
    // thread, shown on the window's thread in the order of the calls.
    MessageListView& MessageListSink() { return messageListView_; }
    StatusLampView& StatusLampSink() { return statusLampView_; }

    // The read-me page the CDR button opens.
    static QString ReadMeUrl();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildWindow();
    void CreateComponents();
    void CreateDialPad();
    void SetTabOrder();
    void ConnectHandlers();
    void ApplyLook();
    void CreateTrayIcon();
    void CreateDialogs();
    void ChooseLocalAddress();
    // The playback and capture devices for the call manager's calls, a USB device first.
    void SelectAudioDevices(CallManagerThread& manager);
    void PressDialPadKey(int index);
    void PutOnTopOfHistory(const QString& number);
    void HideToTray();
    void AppendRow(const QString& row);
    void ShowLastRows(int rows);
    void SetLampColour(quint32 rgb);
    // Waits while the window keeps painting and handling events.
    void WaitKeepingEventsFlowing(int ms);
    // The previous call manager, asked to terminate, is released once its loop has ended.
    void ReleaseRetiredCallManager();

    AddressLister listAddresses_;

    // The views the call manager writes to; they outlive every call manager.
    QueuedMessageList messageListView_;
    QueuedStatusLamp statusLampView_;

    std::unique_ptr<platform::SettingsStore> store_;
    std::unique_ptr<settings::TConfigForm> ConfigForm_;
    std::unique_ptr<settings::TPhoneBookForm> PhoneBookForm_;
    settings::EffectiveSettings settings_;
    const bool registerRequired_ = true;
    std::array<std::string, kMaxLocalAddresses> LocalAddresses_;
    int localAddressCount_ = 0;
    settings::PhoneBook phoneBook_;
    std::unique_ptr<UsbHandset> handset_;
    std::unique_ptr<CallManagerThread> CallManager_;
    std::unique_ptr<CallManagerThread> retiredCallManager_;

    bool restarting_ = false;
    bool restartAgain_ = false;
    bool closing_ = false;

    // Components, in the order they are stacked: the skin first, the controls on top.
    SkinImage* Image1 = nullptr;
    QComboBox* NumberCB = nullptr;
    QListWidget* MessageList = nullptr;
    std::array<QPushButton*, 12> DialPad{};
    QLabel* NumberLabel = nullptr;
    QSlider* VolumeTrackBar = nullptr;
    QPushButton* DialBitBtn = nullptr;
    QPushButton* CDRBitBtn = nullptr;
    QPushButton* BookBitBtn = nullptr;
    QPushButton* ClearBitBtn = nullptr;
    QPushButton* ConfigBitBtn = nullptr;
    QPushButton* DisconnectBitBtn = nullptr;
    QSystemTrayIcon* TrayIcon1 = nullptr;
    StatusLampShape* RegisterStatusShape = nullptr;
};
