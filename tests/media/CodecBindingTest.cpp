#include "media/CodecBinding.h"

#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"

namespace {

TEST(CodecBindingTest, BindsAllFourEntryPointsOfTheCodecLibrary) {
    platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(library, nullptr);
    const CodecBinding codec(library);
    EXPECT_TRUE(codec.Bound());

    codec.InitEncoder();
    short speech[CodecBinding::kFrameSamples] = {};
    unsigned char frame[CodecBinding::kFrameBytes] = {};
    codec.Encode(speech, frame);
    codec.InitDecoder();
    codec.Decode(frame, speech);
}

TEST(CodecBindingTest, ALibraryWithoutTheEntryPointsLeavesTheCodecUnbound) {
    // Any library that is not the codec: it lacks all four names.
    platform::LibraryHandle other = platform::LoadLibraryByName("libm.so.6");
    ASSERT_NE(other, nullptr);
    const CodecBinding codec(other);
    EXPECT_FALSE(codec.Bound());
    EXPECT_FALSE(codec.EncoderBound());
    EXPECT_FALSE(codec.DecoderBound());
}

TEST(CodecBindingTest, NoLibraryBindsNothingAndCallsDoNothing) {
    const CodecBinding codec(nullptr);
    EXPECT_FALSE(codec.Bound());
    codec.InitDecoder();
    unsigned char frame[CodecBinding::kFrameBytes] = {1, 2, 3};
    short speech[CodecBinding::kFrameSamples] = {7};
    codec.Decode(frame, speech);
    EXPECT_EQ(speech[0], 7);
}

TEST(CodecBindingTest, OneMissingEntryPointIsEnoughToRefuseTheVoiceChannel) {
    platform::LibraryHandle library = platform::LoadLibraryByName("libKYR_Codec.so");
    ASSERT_NE(library, nullptr);
    CodecBinding codec(library);
    codec.g729a_decoder = nullptr;  // as bound from a library that lacks "g729a_decoder"
    EXPECT_TRUE(codec.EncoderBound());
    EXPECT_FALSE(codec.DecoderBound());
    EXPECT_FALSE(codec.Bound());
}

}  // namespace
