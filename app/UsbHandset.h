#pragma once

#include "app/UsbHandsetRinger.h"
#include "handset/HandsetKeys.h"

class HandsetRinger;
class QObject;

// The window's side of the USB handset: probes it when the window is built, carries its keys
// across to the window's thread and runs them there on the window's actions, and hands the
// call manager what rings it.
class UsbHandset final : public HandsetKeySink {
public:
    // Keys are queued on context's thread and run on actions there; both outlive this object.
    UsbHandset(QObject& context, HandsetKeyTarget& actions)
        : context_(context), actions_(actions) {}
    ~UsbHandset() override;

    UsbHandset(const UsbHandset&) = delete;
    UsbHandset& operator=(const UsbHandset&) = delete;

    // Loads the handset library and opens the handset; returns usbHandsetPresent.
    bool Probe();
    // What the call manager rings while a call rings; none without a handset.
    HandsetRinger* Ringer();

    // Called on the library's thread: only queues the key for the window's thread.
    void DeliverKey(int keyCode) override;

private:
    QObject& context_;
    HandsetKeyTarget& actions_;
    UsbHandsetRinger ringer_;
};
