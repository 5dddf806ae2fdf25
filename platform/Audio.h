#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The waveform audio layer: device lists with product names, the system's preferred devices,
// and capture and playback streams of 8000 Hz mono 16-bit PCM that run on buffers handed back
// through a completion callback. Every stream uses that one format.
constexpr int kAudioSampleRate = 8000;
constexpr int kAudioBytesPerSample = 2;
constexpr int kAudioBytesPerSecond = kAudioSampleRate * kAudioBytesPerSample;
// Product names are cut to this many characters, as the device capabilities hold them.
constexpr size_t kAudioProductNameMax = 31;

// Results, numbered like the waveform audio API's so callers can report them the same way.
enum AudioResult : int {
    kAudioOk = 0,
    kAudioError = 1,
    kAudioBadDeviceId = 2,
    kAudioAllocated = 4,
    kAudioInvalidHandle = 5,
    kAudioNotSupported = 8,
    kAudioInvalidParam = 11,
    kAudioStillPlaying = 33,
    kAudioUnprepared = 34,
};

// Buffer flags, with the bit values of the waveform headers.
enum AudioBufferFlag : uint32_t {
    kAudioBufferDone = 0x01,
    kAudioBufferPrepared = 0x02,
    kAudioBufferInQueue = 0x10,
};

// One buffer as it travels between its owner and a stream. The owner keeps the header and its
// memory alive while the buffer is prepared; the layer writes bytesRecorded and flags only while
// the buffer is queued and just before it hands it back.
struct AudioBufferHeader {
    char* data = nullptr;
    uint32_t bufferLength = 0;   // bytes to play, or room to record into
    uint32_t bytesRecorded = 0;  // capture: bytes filled in
    uintptr_t user = 0;          // the owner's own value
    uint32_t flags = 0;
};

// Called on an audio thread of the layer with each buffer that is done (played, or filled);
// it may queue the buffer again. Buffers that Stop, Reset or Close hand back come through it
// too. Real-time: it must do no blocking work beyond short locks, and must not call Stop,
// Reset or Close of its own stream (they answer kAudioError from there).
using AudioCallback = void (*)(void* context, AudioBufferHeader* header);

enum class AudioDirection { Playback, Capture };

// One open capture or playback device, in the manner of a waveform handle. Destroying it
// closes it.
class AudioStream {
public:
    virtual ~AudioStream() = default;

    virtual int Prepare(AudioBufferHeader* header) = 0;
    // kAudioStillPlaying while the buffer is queued.
    virtual int Unprepare(AudioBufferHeader* header) = 0;
    // Playback: queues a buffer to play (starts playing unless paused).
    // Capture: queues an empty buffer to record into.
    virtual int Queue(AudioBufferHeader* header) = 0;
    // Capture: starts recording. Playback: resumes after Pause.
    virtual int Start() = 0;
    // Playback: holds the queued buffers; the device plays silence meanwhile.
    virtual int Pause() = 0;
    // Capture: stops recording; the buffer being filled comes back if it holds anything, the
    // empty ones stay queued. Playback: same as Pause.
    virtual int Stop() = 0;
    // Stops the device and hands every queued buffer back, marked done. When it returns no
    // thread of the stream runs and the layer holds no buffer.
    virtual int Reset() = 0;
    // Playback only: left volume in the low 16 bits, right in the high 16 bits, 0xFFFF full.
    virtual int SetVolume(uint32_t volume) = 0;
    virtual int GetVolume(uint32_t* volume) = 0;
    // Reset, then releases the device. Further calls answer kAudioInvalidHandle.
    virtual int Close() = 0;
    // Playback: the times the device ran dry before the next period reached it, as far as
    // the device tells; 0 where it cannot.
    virtual uint64_t Underruns() const { return 0; }
};

// One way of reaching sound devices.
class AudioBackEnd {
public:
    virtual ~AudioBackEnd() = default;

    virtual uint32_t OutputDeviceCount() = 0;
    virtual uint32_t InputDeviceCount() = 0;
    // The product name of a device; false when its capabilities cannot be read.
    virtual bool OutputDeviceName(uint32_t id, std::string* name) = 0;
    virtual bool InputDeviceName(uint32_t id, std::string* name) = 0;
    // The names of the devices the system prefers for playback and recording; empty when the
    // system names none.
    virtual std::string PreferredPlaybackName() = 0;
    virtual std::string PreferredRecordName() = 0;

    virtual int Open(AudioDirection direction, uint32_t deviceId, AudioCallback callback,
                     void* context, std::unique_ptr<AudioStream>* stream) = 0;
};

// The back end the whole process uses: the sound system's by default. Tests and benchmarks
// install another one; nullptr restores the default. The replacement must outlive its use.
AudioBackEnd& CurrentAudioBackEnd();
void SetAudioBackEnd(AudioBackEnd* backEnd);

// Shortcuts on the current back end.
inline int OpenAudio(AudioDirection direction, uint32_t deviceId, AudioCallback callback,
                     void* context, std::unique_ptr<AudioStream>* stream) {
    return CurrentAudioBackEnd().Open(direction, deviceId, callback, context, stream);
}

}  // namespace platform
