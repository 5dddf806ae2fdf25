#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "platform/DynamicLibrary.h"

namespace {

// One second of 1 kHz through the library loaded by name, each way from a reset coder as
// each new call does: the same frames each time, and the tone back, 40 samples late (the
// encoder's look-ahead), with the waveform's SNR above 9 dB after 100 ms of settling. A lost
// frame after it is extrapolated from the tone, whatever bytes stand in for it.
TEST(CodecLibraryTest, OneSecondOfToneComesBackAndALostFrameIsExtrapolated) {
    platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(library, nullptr) << "libKYR_Codec.so not found beside the test program";
    const auto entry = [&]<typename F>(F*, const char* name) {
        return reinterpret_cast<F*>(platform::FindEntry(library, name));
    };
    const auto initEncoder = entry((void (*)()) nullptr, "g729a_init_encoder");
    const auto initDecoder = entry((void (*)()) nullptr, "g729a_init_decoder");
    const auto encode = entry((void (*)(const short*, unsigned char*)) nullptr, "g729a_encoder");
    const auto decode =
        entry((void (*)(const unsigned char*, short*, int)) nullptr, "g729a_decoder");
    ASSERT_TRUE(initEncoder && initDecoder && encode && decode);
    std::vector<short> input(8080), output(8080);
    for (int n = 0; n < 8080; ++n) {
        input[n] = static_cast<short>(std::lround(8000 * std::sin(std::numbers::pi * n / 4)));
    }
    // The 101st frame lost, its bytes `filler`.
    const auto code = [&](std::vector<short>* pcm, unsigned char filler) {
        std::vector<unsigned char> coded(1000);
        initEncoder(), initDecoder();
        for (size_t f = 0; f < 100; ++f) {
            encode(&input[80 * f], &coded[10 * f]);
            decode(&coded[10 * f], &(*pcm)[80 * f], 0);
        }
        const std::vector<unsigned char> lost(10, filler);
        decode(lost.data(), &(*pcm)[8000], 1);
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
    std::vector<short> again(8080);
    EXPECT_EQ(code(&again, 0x5A), coded);
    EXPECT_EQ(again, output);
}

}  // namespace
