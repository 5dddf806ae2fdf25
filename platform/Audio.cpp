#include "platform/Audio.h"

#include <atomic>

#include "platform/AudioPortAudio.h"

namespace platform {
namespace {

std::atomic<AudioBackEnd*> replacement{nullptr};

AudioBackEnd& SoundSystem() {
    // Never destroyed: streams of other static objects may still be closing at exit.
    static auto* backEnd = new PortAudioBackEnd;
    return *backEnd;
}

}  // namespace

AudioBackEnd& CurrentAudioBackEnd() {
    AudioBackEnd* backEnd = replacement.load(std::memory_order_acquire);
    return backEnd != nullptr ? *backEnd : SoundSystem();
}

void SetAudioBackEnd(AudioBackEnd* backEnd) {
    replacement.store(backEnd, std::memory_order_release);
}

}  // namespace platform
