#pragma once

#include "handset/HandsetKeys.h"
#include "handset/HandsetRegisters.h"

class HandsetRinger;
class QComboBox;
class TSoftPhoneForm;

// The window's side of the USB handset: probes it when the window is built, carries its keys
// across to the window's thread and runs them there as the window's own handlers, and hands
// the call manager what rings it.
class UsbHandset final : public HandsetKeySink, public HandsetKeyTarget {
public:
    explicit UsbHandset(TSoftPhoneForm& window) : window_(window) {}
    ~UsbHandset() override;

    UsbHandset(const UsbHandset&) = delete;
    UsbHandset& operator=(const UsbHandset&) = delete;

    // Loads the handset library and opens the handset; returns usbHandsetPresent.
    bool Probe();
    // What the call manager rings while a call rings; none without a handset.
    HandsetRinger* Ringer();

    // Called on the library's thread: only queues the key for the window's thread.
    void DeliverKey(int keyCode) override;

    // The window's actions, run on its thread.
    void ClickDialPadButton(int button) override;
    void ClickDial() override;
    void ClickDisconnect() override;
    void ClickClear() override;
    void ClickPhoneBook() override;
    bool PhoneBookVisible() const override;
    int NumberHistoryCount() const override;
    int NumberHistorySelectedIndex() const override;
    void SelectNumberHistoryItem(int index) override;

private:
    QComboBox* NumberCB() const;

    TSoftPhoneForm& window_;
    UsbHandsetRinger ringer_;
};
