#include "call/VoiceWatch.h"

void VoiceWatch::Start(uint32_t nowMs) {
    lastPackets_ = 0;
    lastVoiceMs_ = nowMs;
    held_ = false;
    warned_ = false;
}

void VoiceWatch::SetHeld(bool held, uint32_t nowMs) {
    held_ = held;
    lastVoiceMs_ = nowMs;
    warned_ = false;
}

VoiceWatch::Verdict VoiceWatch::Observe(uint32_t packets, uint32_t nowMs) {
    if (held_ || packets != lastPackets_) {
        lastPackets_ = packets;
        lastVoiceMs_ = nowMs;
        warned_ = false;
        return Verdict::Fine;
    }
    // Unsigned, so that the tick counter's wrap does not matter.
    const uint32_t silentMs = nowMs - lastVoiceMs_;
    if (silentMs >= kGiveUpAfterMs) {
        return Verdict::Gone;
    }
    if (silentMs >= kWarnAfterMs && !warned_) {
        warned_ = true;
        return Verdict::Silent;
    }
    return Verdict::Fine;
}
