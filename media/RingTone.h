#pragma once

#include <array>
#include <cstdint>

// The ring tone burst: 0.6 s of a 440 Hz tone plus a 480 Hz tone 5 dB weaker, both from phase
// 0, faded in over the first 12.5 ms; 8000 Hz 16-bit mono.
constexpr int kRingToneSampleCount = 4800;
const std::array<int16_t, kRingToneSampleCount>& RingToneSamples();
