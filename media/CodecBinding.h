#pragma once

#include "platform/DynamicLibrary.h"

// The G.729a codec library's entry points, bound by name from the loaded library
// ("libKYR_Codec.so"). The library keeps one encoder and one decoder state per process;
// the init calls reset them before the first frame of a call.
class CodecBinding {
public:
    using InitFunction = void (*)();
    using EncoderFunction = void (*)(const short* speech, unsigned char* frame);
    using DecoderFunction = void (*)(const unsigned char* frame, short* speech, int erased);

    static constexpr int kFrameSamples = 80;
    static constexpr int kFrameBytes = 10;
    static constexpr int kPcmFrameBytes = kFrameSamples * 2;

    CodecBinding() = default;
    // library may be nullptr (no codec): nothing is bound then.
    explicit CodecBinding(platform::LibraryHandle library);

    // All four entry points are there: the voice channel may start only then.
    bool Bound() const { return EncoderBound() && DecoderBound(); }
    bool EncoderBound() const { return g729a_init_encoder && g729a_encoder; }
    bool DecoderBound() const { return g729a_init_decoder && g729a_decoder; }

    // Each does nothing when its entry point is missing.
    void InitEncoder() const;
    // 80 samples in, 10 bytes out.
    void Encode(const short* speech, unsigned char* frame) const;
    void InitDecoder() const;
    // 10 bytes in, 80 samples out.
    void Decode(const unsigned char* frame, short* speech) const;
    // 80 samples for a frame that never came: the decoder's frame erasure extrapolates them
    // from the last good frames (a library that ignores the flag decodes a silent frame).
    void Conceal(short* speech) const;

    InitFunction g729a_init_encoder = nullptr;
    EncoderFunction g729a_encoder = nullptr;
    InitFunction g729a_init_decoder = nullptr;
    DecoderFunction g729a_decoder = nullptr;
};
