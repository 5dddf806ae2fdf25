#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"

namespace {

constexpr int kSampleRate = 8000;
constexpr int kFrameSamples = 80;
constexpr int kFrameBytes = 10;
// The encoder looks 5 ms ahead: the decoded speech lags the input by 40 samples.
constexpr int kLookAheadSamples = 40;

// Amplitude of a frequency that makes whole periods over the samples from `from` on.
double ToneLevel(const std::vector<short>& pcm, size_t from, double hz) {
    double re = 0, im = 0;
    for (size_t n = from; n < pcm.size(); ++n) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(n) / kSampleRate;
        re += pcm[n] * std::cos(phase);
        im += pcm[n] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(pcm.size() - from);
}

TEST(CodecLibraryTest, OneSecondOfToneBecomesHundredFramesAndComesBackAtTheSameFrequency) {
    platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(library, nullptr) << "libKYR_Codec.so not found beside the test program";
    auto entry = [&](const char* name) {
        void* found = platform::FindEntry(library, name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    };
    const auto initEncoder = reinterpret_cast<void (*)()>(entry("g729a_init_encoder"));
    const auto encode =
        reinterpret_cast<void (*)(const short*, unsigned char*)>(entry("g729a_encoder"));
    const auto initDecoder = reinterpret_cast<void (*)()>(entry("g729a_init_decoder"));
    const auto decode =
        reinterpret_cast<void (*)(const unsigned char*, short*, int)>(entry("g729a_decoder"));
    ASSERT_FALSE(HasFailure());

    std::vector<short> input(kSampleRate);
    for (int n = 0; n < kSampleRate; ++n) {
        input[n] = static_cast<short>(
            std::lround(8000 * std::sin(2 * std::numbers::pi * 1000 * n / kSampleRate)));
    }
    // Each call starts from a reset coder, as each new call of the phone does.
    auto encodeAll = [&](const std::vector<short>& pcm) {
        initEncoder();
        std::vector<unsigned char> coded;
        for (size_t at = 0; at < pcm.size(); at += kFrameSamples) {
            unsigned char frame[kFrameBytes + 1];
            frame[kFrameBytes] = 0xEE;
            encode(&pcm[at], frame);
            EXPECT_EQ(frame[kFrameBytes], 0xEE) << "more than ten bytes written";
            coded.insert(coded.end(), frame, frame + kFrameBytes);
        }
        return coded;
    };
    auto decodeAll = [&](const std::vector<unsigned char>& coded) {
        initDecoder();
        std::vector<short> pcm;
        for (size_t at = 0; at < coded.size(); at += kFrameBytes) {
            short frame[kFrameSamples + 1];
            frame[kFrameSamples] = 0x5A5A;
            decode(&coded[at], frame, 0);
            EXPECT_EQ(frame[kFrameSamples], 0x5A5A) << "more than 80 samples written";
            pcm.insert(pcm.end(), frame, frame + kFrameSamples);
        }
        return pcm;
    };
    const std::vector<unsigned char> coded = encodeAll(input);
    ASSERT_EQ(coded.size(), 100u * kFrameBytes);
    const std::vector<short> output = decodeAll(coded);
    ASSERT_EQ(output.size(), input.size());

    // Skip the first 100 ms while the coder settles, then compare with the input delayed by
    // the look-ahead.
    const size_t from = 800;
    double signal = 0, noise = 0;
    for (size_t n = from; n < output.size(); ++n) {
        const double expected = input[n - kLookAheadSamples];
        signal += expected * expected;
        noise += (output[n] - expected) * (output[n] - expected);
    }
    const double snrDb = 10 * std::log10(signal / noise);
    RecordProperty("snr_db", std::to_string(snrDb));
    EXPECT_GT(snrDb, 9.0) << "waveform SNR " << snrDb << " dB";

    // The tone dominates the output, at about the input's level.
    const double atTone = ToneLevel(output, from, 1000);
    EXPECT_GT(atTone, 20 * ToneLevel(output, from, 700));
    EXPECT_GT(atTone, 20 * ToneLevel(output, from, 1300));
    EXPECT_NEAR(20 * std::log10(atTone / ToneLevel(input, from, 1000)), 0.0, 3.0);

    // The init entry points reset the state: the same input codes the same way again.
    EXPECT_EQ(encodeAll(input), coded);
    EXPECT_EQ(decodeAll(coded), output);
}

}  // namespace
