#pragma once

#include <cstdint>

// Whether the far end's voice still arrives in a connected call: a far end that has gone
// (its network, its power, a NAT binding that timed out) sends nothing and never hangs up.
// Silence that the far end announced (a hold) is not watched.
class VoiceWatch {
public:
    static constexpr uint32_t kWarnAfterMs = 10000;
    static constexpr uint32_t kGiveUpAfterMs = 60000;

    enum class Verdict {
        Fine,
        Silent,  // no voice for kWarnAfterMs: said once for each silence
        Gone,    // no voice for kGiveUpAfterMs: the call should end
    };

    // The voice channel opened at nowMs.
    void Start(uint32_t nowMs);
    // The far end says whether it will send (it put the call on hold, or took it off).
    void SetHeld(bool held, uint32_t nowMs);
    // packets: the far end's voice packets received so far.
    Verdict Observe(uint32_t packets, uint32_t nowMs);

private:
    uint32_t lastPackets_ = 0;
    uint32_t lastVoiceMs_ = 0;
    bool held_ = false;
    bool warned_ = false;
};
