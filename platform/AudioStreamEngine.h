#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Audio.h"

namespace platform {

// The device moves audio in periods of 10 ms unless its endpoint asks for whole multiples.
constexpr size_t kAudioPeriodFrames = 80;
constexpr size_t kAudioPeriodBytes = kAudioPeriodFrames * kAudioBytesPerSample;
constexpr int kAudioPeriodMs = 10;
constexpr size_t kAudioMaxPeriods = 2;

// What a device that keeps time by calling back hands each period to: samples holds one
// transfer's worth, to fill for playback or recorded for capture.
class AudioPeriodHandler {
public:
    virtual void OnDevicePeriod(int16_t* samples) = 0;

protected:
    ~AudioPeriodHandler() = default;
};

// One opened device as a stream drives it. Begin, Transfer and End run on the stream's thread;
// the destructor (releasing the device) runs after that thread has been joined.
class AudioEndpoint {
public:
    virtual ~AudioEndpoint() = default;
    virtual bool Begin() = 0;
    // Plays or records one period; blocks until the device has taken or delivered it, so the
    // device's own clock paces the stream. false on a device error.
    virtual bool Transfer(int16_t* samples, size_t frames) = 0;
    virtual void End() = 0;
    virtual uint64_t Underruns() const { return 0; }
    // How many 10 ms periods one Transfer moves, 1 to kAudioMaxPeriods.
    virtual size_t PeriodsPerTransfer() const { return 1; }
    // A device that calls back on a thread of its own, once per transfer, from now until it is
    // destroyed, takes the handler and answers true: the stream then runs no thread, and
    // Begin, Transfer and End are not used.
    virtual bool Attach(AudioPeriodHandler*) { return false; }
};

// The buffer queue, the audio thread and the completion callbacks of a stream, common to every
// back end. The thread runs while the device plays or records: it moves one period at a time
// between the queued buffers and the endpoint, and hands finished buffers back after that
// period, never holding its lock during a callback. A device that calls back drives the same
// work from its own thread instead.
class AudioStreamEngine final : public AudioStream, private AudioPeriodHandler {
public:
    AudioStreamEngine(AudioDirection direction, std::unique_ptr<AudioEndpoint> endpoint,
                      AudioCallback callback, void* context);
    ~AudioStreamEngine() override;

    int Prepare(AudioBufferHeader* header) override;
    int Unprepare(AudioBufferHeader* header) override;
    int Queue(AudioBufferHeader* header) override;
    int Start() override;
    int Pause() override;
    int Stop() override;
    int Reset() override;
    int SetVolume(uint32_t volume) override;
    int GetVolume(uint32_t* volume) override;
    int Close() override;
    uint64_t Underruns() const override { return underruns_.load(); }

private:
    using DoneList = std::vector<AudioBufferHeader*>;

    void OnDevicePeriod(int16_t* samples) override;
    bool FillPlayback(int16_t* samples, DoneList* done);
    void StoreCapture(const int16_t* samples, DoneList* done);
    void ReturnPartialCaptureLocked(DoneList* done);
    void Run();
    bool RunPlaybackPeriod(int16_t* samples, DoneList* done);
    bool RunCapturePeriod(int16_t* samples, DoneList* done);
    void TakePlaybackPeriodLocked(int16_t* samples, DoneList* done);
    void StoreCapturePeriodLocked(const int16_t* samples, DoneList* done);
    void ApplyVolume(int16_t* samples) const;
    void MarkDoneLocked(AudioBufferHeader* header, DoneList* done);
    void HandBack(const DoneList& done);
    void StartThreadLocked();
    void StopThread();
    void StopAndFlush(bool closing);
    bool OnAudioThread() const;
    bool Closed();
    void WaitOnePeriod();

    const AudioDirection direction_;
    std::unique_ptr<AudioEndpoint> endpoint_;
    const AudioCallback callback_;
    void* const context_;
    // What one Transfer moves.
    const size_t periodFrames_;

    // Serialises the calls that join the thread (Stop, Reset, Close).
    std::mutex controlMutex_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<AudioBufferHeader*> queue_;
    uint32_t playOffset_ = 0;
    bool paused_ = false;
    bool running_ = false;
    bool stopRequested_ = false;
    // The device calls back (there is no thread of the stream to join); inPeriod_ while it is
    // in one of the stream's periods.
    bool callsBack_ = false;
    bool inPeriod_ = false;
    DoneList periodDone_;
    bool flushing_ = false;
    bool closed_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<uint32_t> volume_{0xFFFFFFFFu};
    std::atomic<uint64_t> underruns_{0};
};

}  // namespace platform
