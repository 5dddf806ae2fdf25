#include "app/UsbHandset.h"

#include <QMetaObject>
#include <QObject>

#include "handset/HandsetLibrary.h"

UsbHandset::~UsbHandset() {
    // The library keeps calling back for as long as the process runs.
    DetachHandsetKeySink();
}

bool UsbHandset::Probe() {
    return BindHandsetLibrary(*this);
}

HandsetRinger* UsbHandset::Ringer() {
    return usbHandsetPresent ? &ringer_ : nullptr;
}

void UsbHandset::DeliverKey(int keyCode) {
    // Queued on the window: the call is dropped if the window is gone by then.
    QMetaObject::invokeMethod(
        &context_, [this, keyCode] { HandleHandsetKey(actions_, keyCode); }, Qt::QueuedConnection);
}
