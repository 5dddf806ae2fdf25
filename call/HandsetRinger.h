#pragma once

// Rings the USB handset once (a burst); run on the call manager's thread while a call rings.
// Declared here, where the call manager needs it, so the handset binding knows nothing of call
// control: the application binds the two.
class HandsetRinger {
public:
    virtual ~HandsetRinger() = default;
    virtual void RingHandset() = 0;
};
