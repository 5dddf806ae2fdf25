#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"

namespace {

// One second of 1 kHz through the library loaded by name, each way from a reset coder as
// each new call does: the same frames each time, and the tone back, 40 samples late (the
// encoder's look-ahead), with the waveform's SNR above 9 dB after 100 ms of settling.
TEST(CodecLibraryTest, OneSecondOfToneBecomesHundredFramesAndComesBack) {
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

    std::vector<short> input(8000);
    for (int n = 0; n < 8000; ++n) {
        input[n] = static_cast<short>(std::lround(8000 * std::sin(std::numbers::pi * n / 4)));
    }
    auto encodeAll = [&] {
        initEncoder();
        std::vector<unsigned char> coded(1000);
        for (size_t f = 0; f < 100; ++f) {
            encode(&input[80 * f], &coded[10 * f]);
        }
        return coded;
    };
    auto decodeAll = [&](const std::vector<unsigned char>& coded) {
        initDecoder();
        std::vector<short> pcm(8000);
        for (size_t f = 0; f < 100; ++f) {
            decode(&coded[10 * f], &pcm[80 * f], 0);
        }
        return pcm;
    };
    const std::vector<unsigned char> coded = encodeAll();
    const std::vector<short> output = decodeAll(coded);
    double signal = 0, noise = 0;
    for (size_t n = 800; n < output.size(); ++n) {
        const double expected = input[n - 40];
        signal += expected * expected;
        noise += (output[n] - expected) * (output[n] - expected);
    }
    const double snrDb = 10 * std::log10(signal / noise);
    RecordProperty("snr_db", std::to_string(snrDb));
    EXPECT_GT(snrDb, 9.0);
    EXPECT_EQ(encodeAll(), coded);
    EXPECT_EQ(decodeAll(coded), output);
}

}  // namespace
