#include "app/UsbHandsetRinger.h"

#include "handset/HandsetRegisters.h"

void UsbHandsetRinger::RingHandset() {
    ::RingHandset();
}
