#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "media/CodecBinding.h"

namespace {

// One second of 1 kHz through the library loaded by name, each way from a reset coder as
// each new call does: the same frames each time, and the tone back, 40 samples late (the
// encoder's look-ahead), with the waveform's SNR above 9 dB after 100 ms of settling. A lost
// frame after it is extrapolated from the tone, whatever bytes stand in for it.
TEST(CodecLibraryTest, OneSecondOfToneComesBackAndALostFrameIsExtrapolated) {
    const CodecBinding codec(platform::LoadLibraryByName("libKYR_Codec.so"));
    ASSERT_TRUE(codec.Bound()) << "libKYR_Codec.so not found beside the test program";
    std::vector<short> input(8080), output(8080), again(8080);
    for (int n = 0; n < 8080; ++n) {
        input[n] = static_cast<short>(std::lround(8000 * std::sin(std::numbers::pi * n / 4)));
    }
    // The 101st frame lost, its bytes `filler`.
    const auto code = [&](std::vector<short>* pcm, unsigned char filler) {
        std::vector<unsigned char> coded(1000), lost(10, filler);
        codec.InitEncoder(), codec.InitDecoder();
        for (size_t f = 0; f < 100; ++f) {
            codec.Encode(&input[80 * f], &coded[10 * f]);
            codec.Decode(&coded[10 * f], &(*pcm)[80 * f]);
        }
        codec.g729a_decoder(lost.data(), &(*pcm)[8000], 1);
        return coded;
    };
    const std::vector<unsigned char> coded = code(&output, 0);
    const auto snrDb = [&](size_t from, size_t to) {
        double signal = 0, noise = 0;
        for (size_t n = from; n < to; ++n) {
            const double expected = input[n - 40];
            signal += expected * expected;
            noise += (output[n] - expected) * (output[n] - expected);
        }
        return 10 * std::log10(signal / noise);
    };
    RecordProperty("snr_db", std::to_string(snrDb(800, 8000)));
    EXPECT_GT(snrDb(800, 8000), 9.0);
    EXPECT_GT(snrDb(8000, 8080), 6.0) << "the lost frame";
    EXPECT_EQ(code(&again, 0x5A), coded);
    EXPECT_EQ(again, output);
}

}  // namespace
