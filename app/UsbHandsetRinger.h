#pragma once

#include "call/HandsetRinger.h"

// What the call manager rings the handset through: one burst of the handset's ring registers.
class UsbHandsetRinger final : public HandsetRinger {
public:
    void RingHandset() override;
};
