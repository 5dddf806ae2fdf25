// Measures the codec library as the program uses it: loaded by name, one frame per call.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <vector>

#include "platform/DynamicLibrary.h"

namespace {

constexpr int kSampleRate = 8000;
constexpr int kFrameSamples = 80;
constexpr int kFrameBytes = 10;
constexpr int kSeconds = 30;

using InitFunction = void (*)();
using EncoderFunction = void (*)(const short*, unsigned char*);
using DecoderFunction = void (*)(const unsigned char*, short*, int);

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Speech-like test signal: two tones with a slow level change.
std::vector<short> TestSignal(int samples) {
    std::vector<short> pcm(samples);
    for (int n = 0; n < samples; ++n) {
        const double t = static_cast<double>(n) / kSampleRate;
        const double level = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t);
        pcm[n] = static_cast<short>(level * (6000 * std::sin(2 * std::numbers::pi * 300 * t) +
                                             3000 * std::sin(2 * std::numbers::pi * 1100 * t)));
    }
    return pcm;
}

}  // namespace

int main() {
    platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    auto initEncoder =
        reinterpret_cast<InitFunction>(platform::FindEntry(library, "g729a_init_encoder"));
    auto encoder = reinterpret_cast<EncoderFunction>(platform::FindEntry(library, "g729a_encoder"));
    auto initDecoder =
        reinterpret_cast<InitFunction>(platform::FindEntry(library, "g729a_init_decoder"));
    auto decoder = reinterpret_cast<DecoderFunction>(platform::FindEntry(library, "g729a_decoder"));
    if (!initEncoder || !encoder || !initDecoder || !decoder) {
        std::fprintf(stderr, "libKYR_Codec.so or one of its entry points is missing\n");
        return 1;
    }

    const int frames = kSeconds * kSampleRate / kFrameSamples;
    const std::vector<short> input = TestSignal(kSeconds * kSampleRate);
    std::vector<unsigned char> coded(static_cast<size_t>(frames) * kFrameBytes);
    std::vector<short> output(input.size());

    initEncoder();
    const double encodeStart = CpuSeconds();
    for (int f = 0; f < frames; ++f) {
        encoder(&input[static_cast<size_t>(f) * kFrameSamples],
                &coded[static_cast<size_t>(f) * kFrameBytes]);
    }
    const double encodeCpu = CpuSeconds() - encodeStart;

    initDecoder();
    const double decodeStart = CpuSeconds();
    for (int f = 0; f < frames; ++f) {
        decoder(&coded[static_cast<size_t>(f) * kFrameBytes],
                &output[static_cast<size_t>(f) * kFrameSamples], 0);
    }
    const double decodeCpu = CpuSeconds() - decodeStart;

    std::printf("audio: %d s, %d frames of 10 ms\n", kSeconds, frames);
    std::printf("encode: %.3f ms CPU per second of audio (%.2f %% of one core)\n",
                1000 * encodeCpu / kSeconds, 100 * encodeCpu / kSeconds);
    std::printf("decode: %.3f ms CPU per second of audio (%.2f %% of one core)\n",
                1000 * decodeCpu / kSeconds, 100 * decodeCpu / kSeconds);
    return 0;
}
