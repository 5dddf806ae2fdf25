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

using InitFunction = void (*)();
using EncoderFunction = void (*)(const short*, unsigned char*);
using DecoderFunction = void (*)(const unsigned char*, short*, int);

class CodecLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        library_ = platform::LoadLibraryByName("libKYR_Codec.so");
        ASSERT_NE(library_, nullptr) << "libKYR_Codec.so not found beside the test program";
        initEncoder_ =
            reinterpret_cast<InitFunction>(platform::FindEntry(library_, "g729a_init_encoder"));
        encoder_ =
            reinterpret_cast<EncoderFunction>(platform::FindEntry(library_, "g729a_encoder"));
        initDecoder_ =
            reinterpret_cast<InitFunction>(platform::FindEntry(library_, "g729a_init_decoder"));
        decoder_ =
            reinterpret_cast<DecoderFunction>(platform::FindEntry(library_, "g729a_decoder"));
        ASSERT_NE(initEncoder_, nullptr);
        ASSERT_NE(encoder_, nullptr);
        ASSERT_NE(initDecoder_, nullptr);
        ASSERT_NE(decoder_, nullptr);
    }

    static std::vector<short> Sine(double hz, double amplitude, int samples) {
        std::vector<short> pcm(samples);
        for (int n = 0; n < samples; ++n) {
            pcm[n] = static_cast<short>(
                std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * n / kSampleRate)));
        }
        return pcm;
    }

    std::vector<unsigned char> Encode(const std::vector<short>& pcm) {
        initEncoder_();
        std::vector<unsigned char> coded;
        for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
            unsigned char frame[kFrameBytes + 4];
            std::fill(std::begin(frame), std::end(frame), 0xEE);
            encoder_(&pcm[at], frame);
            // Exactly ten bytes written: the guard bytes stay as they were.
            EXPECT_EQ(frame[kFrameBytes], 0xEE);
            coded.insert(coded.end(), frame, frame + kFrameBytes);
        }
        return coded;
    }

    std::vector<short> Decode(const std::vector<unsigned char>& coded) {
        initDecoder_();
        std::vector<short> pcm;
        for (size_t at = 0; at + kFrameBytes <= coded.size(); at += kFrameBytes) {
            short frame[kFrameSamples + 2];
            frame[kFrameSamples] = 0x5A5A;
            decoder_(&coded[at], frame, 0);
            EXPECT_EQ(frame[kFrameSamples], 0x5A5A);
            pcm.insert(pcm.end(), frame, frame + kFrameSamples);
        }
        return pcm;
    }

    // Power of a frequency by the Goertzel filter, normalised to the signal's length.
    static double ToneLevel(const std::vector<short>& pcm, size_t from, double hz) {
        const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / kSampleRate);
        double previous = 0, beforePrevious = 0;
        for (size_t n = from; n < pcm.size(); ++n) {
            const double current = pcm[n] + coefficient * previous - beforePrevious;
            beforePrevious = previous;
            previous = current;
        }
        const double power = previous * previous + beforePrevious * beforePrevious -
                             coefficient * previous * beforePrevious;
        return std::sqrt(power) / static_cast<double>(pcm.size() - from);
    }

    platform::LibraryHandle library_ = nullptr;
    InitFunction initEncoder_ = nullptr;
    EncoderFunction encoder_ = nullptr;
    InitFunction initDecoder_ = nullptr;
    DecoderFunction decoder_ = nullptr;
};

TEST_F(CodecLibraryTest, OneSecondOfToneBecomesHundredFramesAndComesBackAtTheSameFrequency) {
    const std::vector<short> input = Sine(1000, 8000, kSampleRate);
    const std::vector<unsigned char> coded = Encode(input);
    ASSERT_EQ(coded.size(), 100u * kFrameBytes);

    const std::vector<short> output = Decode(coded);
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
    const double inputLevel = ToneLevel(input, from, 1000);
    EXPECT_NEAR(20 * std::log10(atTone / inputLevel), 0.0, 3.0);
}

TEST_F(CodecLibraryTest, InitResetsTheStateSoTheSameInputCodesTheSameWay) {
    const std::vector<short> input = Sine(440, 6000, 1600);
    EXPECT_EQ(Encode(input), Encode(input));
    const std::vector<unsigned char> coded = Encode(input);
    EXPECT_EQ(Decode(coded), Decode(coded));
}

TEST_F(CodecLibraryTest, SilenceStaysQuiet) {
    const std::vector<short> output = Decode(Encode(std::vector<short>(1600, 0)));
    for (short sample : output) {
        ASSERT_LT(std::abs(sample), 100);
    }
}

}  // namespace
