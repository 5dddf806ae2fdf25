#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "platform/SettingsStore.h"
#include "settings/EffectiveSettings.h"

class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

namespace settings {

// The configuration dialog: locked until Modify, OK saves what changed and has the window
// rebuild its call manager, Cancel puts the fields back. Non-modal; closing only hides it.
class TConfigForm final : public QDialog {
    Q_OBJECT

public:
    // settings are the main window's own, read and written in place; restartCallManager is
    // called after every OK.
    TConfigForm(EffectiveSettings& settings, platform::SettingsStore& store,
                std::function<void()> restartCallManager, QWidget* parent = nullptr);

    // Copies the effective settings into the fields; called once when the program starts.
    void FillFields();
    // Offers one more local address in LIPComboBox's list; empty texts are not offered.
    void AddLocalAddress(const std::string& address);

    void FormShow();
    void FormClose();
    void ModifyBtnClick();
    void OKBtnClick();
    void CancelBtnClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildComponents();
    void Lock();
    void RestoreFields(bool selectPortItem);
    void SaveChangedSettings();
    void KeepProxyLabelWithoutDots(const QString& text);

    // Key filters: true discards the key before it reaches the control.
    bool ProxyAddressEditKeyPress(const QKeyEvent& key) const;
    bool ProxyPortCBKeyPress(const QKeyEvent& key) const;
    bool LIPComboBoxKeyDown(const QKeyEvent& key) const;
    bool LIPComboBoxKeyPress(const QKeyEvent& key) const;
    bool LRTPPortEditKeyPress(const QKeyEvent& key) const;

    EffectiveSettings& settings_;
    platform::SettingsStore& store_;
    std::function<void()> restartCallManager_;

    QGroupBox* SettingGB = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* KYRProxyLabel = nullptr;
    QLineEdit* ProxyAddressEdit = nullptr;
    QLineEdit* LRTPPortEdit = nullptr;
    QComboBox* LIPComboBox = nullptr;
    QComboBox* ProxyPortCB = nullptr;
    QLineEdit* KeyEdit = nullptr;
    QPushButton* ModifyBtn = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QLineEdit* AccountEdit = nullptr;
    QLabel* VersionLabel = nullptr;
};

}  // namespace settings
