// The G.729a codec library over bcg729 (Annex A bit stream, Annex B off): one encoder and
// one decoder state for the whole process, as the entry points carry no context.

#include "codec/KYR_Codec.h"

#include <cstdint>
#include <mutex>

// bcg729's headers declare C functions without an extern "C" block of their own.
extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

#define KYR_CODEC_EXPORT __attribute__((visibility("default")))

namespace {

constexpr uint8_t kFrameBytes = 10;

// The capture side encodes on an audio thread while a new call may reset the state from
// another; the locks keep a reset from tearing a frame in progress.
struct EncoderState {
    std::mutex mutex;
    bcg729EncoderChannelContextStruct* context = nullptr;
    ~EncoderState() {
        if (context != nullptr) {
            closeBcg729EncoderChannel(context);
        }
    }
};

struct DecoderState {
    std::mutex mutex;
    bcg729DecoderChannelContextStruct* context = nullptr;
    ~DecoderState() {
        if (context != nullptr) {
            closeBcg729DecoderChannel(context);
        }
    }
};

EncoderState encoderState;
DecoderState decoderState;

void ResetEncoderLocked() {
    if (encoderState.context != nullptr) {
        closeBcg729EncoderChannel(encoderState.context);
    }
    encoderState.context = initBcg729EncoderChannel(0);  // no VAD: every frame is 10 bytes
}

void ResetDecoderLocked() {
    if (decoderState.context != nullptr) {
        closeBcg729DecoderChannel(decoderState.context);
    }
    decoderState.context = initBcg729DecoderChannel();
}

}  // namespace

extern "C" {

KYR_CODEC_EXPORT void g729a_init_encoder(void) {
    std::lock_guard<std::mutex> guard(encoderState.mutex);
    ResetEncoderLocked();
}

KYR_CODEC_EXPORT void g729a_encoder(const short* speech, unsigned char* frame) {
    if (speech == nullptr || frame == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(encoderState.mutex);
    // An encoder used before its init still works, from a fresh state.
    if (encoderState.context == nullptr) {
        ResetEncoderLocked();
    }
    uint8_t length = 0;
    bcg729Encoder(encoderState.context, speech, frame, &length);
}

KYR_CODEC_EXPORT void g729a_init_decoder(void) {
    std::lock_guard<std::mutex> guard(decoderState.mutex);
    ResetDecoderLocked();
}

KYR_CODEC_EXPORT void g729a_decoder(const unsigned char* frame, short* speech, int erased) {
    if (frame == nullptr || speech == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(decoderState.mutex);
    if (decoderState.context == nullptr) {
        ResetDecoderLocked();
    }
    bcg729Decoder(decoderState.context, frame, kFrameBytes, erased != 0 ? 1 : 0, 0, 0, speech);
}

}  // extern "C"
