#include "media/RingTone.h"

#include <cmath>
#include <numbers>

namespace {

std::array<int16_t, kRingToneSampleCount> MakeRingTone() {
    constexpr double kA = 0.35 * 32768.0;
    const double kB = kA * std::pow(10.0, -5.0 / 20.0);
    constexpr double kFadeInSamples = 100.0;
    std::array<int16_t, kRingToneSampleCount> samples{};
    for (int n = 0; n < kRingToneSampleCount; ++n) {
        const double gain = n < kFadeInSamples ? n / kFadeInSamples : 1.0;
        const double value = gain * (kA * std::sin(2.0 * std::numbers::pi * 440.0 * n / 8000.0) +
                                     kB * std::sin(2.0 * std::numbers::pi * 480.0 * n / 8000.0));
        samples[n] = static_cast<int16_t>(std::lround(value));
    }
    return samples;
}

}  // namespace

const std::array<int16_t, kRingToneSampleCount>& RingToneSamples() {
    static const std::array<int16_t, kRingToneSampleCount> samples = MakeRingTone();
    return samples;
}
