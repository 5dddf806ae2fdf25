#include "media/CodecBinding.h"

namespace {

template <typename Function>
Function Bind(platform::LibraryHandle library, const char* name) {
    return reinterpret_cast<Function>(platform::FindEntry(library, name));
}

}  // namespace

CodecBinding::CodecBinding(platform::LibraryHandle library)
    : g729a_init_encoder(Bind<InitFunction>(library, "g729a_init_encoder")),
      g729a_encoder(Bind<EncoderFunction>(library, "g729a_encoder")),
      g729a_init_decoder(Bind<InitFunction>(library, "g729a_init_decoder")),
      g729a_decoder(Bind<DecoderFunction>(library, "g729a_decoder")) {}

void CodecBinding::InitEncoder() const {
    if (g729a_init_encoder != nullptr) {
        g729a_init_encoder();
    }
}

void CodecBinding::Encode(const short* speech, unsigned char* frame) const {
    if (g729a_encoder != nullptr) {
        g729a_encoder(speech, frame);
    }
}

void CodecBinding::InitDecoder() const {
    if (g729a_init_decoder != nullptr) {
        g729a_init_decoder();
    }
}

void CodecBinding::Decode(const unsigned char* frame, short* speech) const {
    if (g729a_decoder != nullptr) {
        g729a_decoder(frame, speech, 0);
    }
}

void CodecBinding::Conceal(short* speech) const {
    static const unsigned char kNoFrame[kFrameBytes] = {};
    if (g729a_decoder != nullptr) {
        g729a_decoder(kNoFrame, speech, 1);
    }
}
