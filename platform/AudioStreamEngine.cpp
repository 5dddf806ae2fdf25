#include "platform/AudioStreamEngine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace platform {

AudioStreamEngine::AudioStreamEngine(AudioDirection direction,
                                     std::unique_ptr<AudioEndpoint> endpoint,
                                     AudioCallback callback, void* context)
    : direction_(direction),
      endpoint_(std::move(endpoint)),
      callback_(callback),
      context_(context),
      periodFrames_(kAudioPeriodFrames *
                    std::clamp<size_t>(endpoint_->PeriodsPerTransfer(), 1, kAudioMaxPeriods)) {
    periodDone_.reserve(32);
    callsBack_ = endpoint_->Attach(this);
}

AudioStreamEngine::~AudioStreamEngine() {
    Close();
}

int AudioStreamEngine::Prepare(AudioBufferHeader* header) {
    if (header == nullptr) {
        return kAudioInvalidParam;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return kAudioInvalidHandle;
    }
    header->flags |= kAudioBufferPrepared;
    return kAudioOk;
}

int AudioStreamEngine::Unprepare(AudioBufferHeader* header) {
    if (header == nullptr) {
        return kAudioInvalidParam;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return kAudioInvalidHandle;
    }
    if ((header->flags & kAudioBufferInQueue) != 0) {
        return kAudioStillPlaying;
    }
    header->flags &= ~kAudioBufferPrepared;
    return kAudioOk;
}

int AudioStreamEngine::Queue(AudioBufferHeader* header) {
    if (header == nullptr || (header->data == nullptr && header->bufferLength > 0)) {
        return kAudioInvalidParam;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return kAudioInvalidHandle;
    }
    if ((header->flags & kAudioBufferPrepared) == 0) {
        return kAudioUnprepared;
    }
    if ((header->flags & kAudioBufferInQueue) != 0) {
        return kAudioStillPlaying;
    }
    // A reset hands every buffer back; one queued again meanwhile would outlive the reset.
    if (flushing_) {
        return kAudioError;
    }
    header->flags = (header->flags & ~kAudioBufferDone) | kAudioBufferInQueue;
    if (direction_ == AudioDirection::Capture) {
        header->bytesRecorded = 0;
    }
    queue_.push_back(header);
    if (direction_ == AudioDirection::Playback && !paused_) {
        StartThreadLocked();
    }
    return kAudioOk;
}

int AudioStreamEngine::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return kAudioInvalidHandle;
    }
    paused_ = false;
    StartThreadLocked();
    return kAudioOk;
}

int AudioStreamEngine::Pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return kAudioInvalidHandle;
    }
    if (direction_ == AudioDirection::Capture) {
        return kAudioNotSupported;
    }
    paused_ = true;
    return kAudioOk;
}

int AudioStreamEngine::Stop() {
    if (direction_ == AudioDirection::Playback) {
        return Pause();
    }
    if (OnAudioThread()) {
        return kAudioError;
    }
    std::lock_guard<std::mutex> control(controlMutex_);
    if (Closed()) {
        return kAudioInvalidHandle;
    }
    StopThread();
    return kAudioOk;
}

int AudioStreamEngine::Reset() {
    if (OnAudioThread()) {
        return kAudioError;
    }
    std::lock_guard<std::mutex> control(controlMutex_);
    if (Closed()) {
        return kAudioInvalidHandle;
    }
    StopAndFlush(false);
    return kAudioOk;
}

bool AudioStreamEngine::Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void AudioStreamEngine::StopAndFlush(bool closing) {
    // Refusing new buffers from the start keeps another thread from restarting the stream
    // while it stops.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        flushing_ = true;
    }
    StopThread();
    // The thread is gone, so the remaining buffers come back on the caller's thread.
    DoneList done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!queue_.empty()) {
            AudioBufferHeader* header = queue_.front();
            queue_.pop_front();
            MarkDoneLocked(header, &done);
        }
        playOffset_ = 0;
    }
    HandBack(done);
    std::lock_guard<std::mutex> lock(mutex_);
    flushing_ = false;
    closed_ = closing;
}

int AudioStreamEngine::SetVolume(uint32_t volume) {
    if (direction_ == AudioDirection::Capture) {
        return kAudioNotSupported;
    }
    volume_.store(volume, std::memory_order_relaxed);
    return kAudioOk;
}

int AudioStreamEngine::GetVolume(uint32_t* volume) {
    if (direction_ == AudioDirection::Capture) {
        return kAudioNotSupported;
    }
    if (volume == nullptr) {
        return kAudioInvalidParam;
    }
    *volume = volume_.load(std::memory_order_relaxed);
    return kAudioOk;
}

int AudioStreamEngine::Close() {
    if (OnAudioThread()) {
        return kAudioError;
    }
    std::lock_guard<std::mutex> control(controlMutex_);
    if (Closed()) {
        return kAudioInvalidHandle;
    }
    StopAndFlush(true);
    endpoint_.reset();
    return kAudioOk;
}

void AudioStreamEngine::StartThreadLocked() {
    if (running_ || stopRequested_ || flushing_ || closed_) {
        return;
    }
    running_ = true;
    if (!callsBack_) {
        thread_ = std::thread([this] { Run(); });
    }
}

void AudioStreamEngine::StopThread() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
            return;
        }
        stopRequested_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
    DoneList done;
    {
        // A device that calls back finishes the period it is in; the next finds the stream
        // stopped.
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !inPeriod_; });
        if (callsBack_ && direction_ == AudioDirection::Capture) {
            ReturnPartialCaptureLocked(&done);
        }
        running_ = false;
        stopRequested_ = false;
    }
    HandBack(done);
}

void AudioStreamEngine::OnDevicePeriod(int16_t* samples) {
    const size_t bytes = periodFrames_ * kAudioBytesPerSample;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || stopRequested_) {
            if (direction_ == AudioDirection::Playback) {
                std::memset(samples, 0, bytes);
            }
            return;
        }
        inPeriod_ = true;
    }
    threadId_.store(std::this_thread::get_id());
    periodDone_.clear();
    if (direction_ == AudioDirection::Capture) {
        StoreCapture(samples, &periodDone_);
    } else if (!FillPlayback(samples, &periodDone_)) {
        std::memset(samples, 0, bytes);
    }
    HandBack(periodDone_);
    underruns_.store(endpoint_->Underruns(), std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inPeriod_ = false;
    }
    wake_.notify_all();
}

bool AudioStreamEngine::OnAudioThread() const {
    return threadId_.load() == std::this_thread::get_id();
}

void AudioStreamEngine::Run() {
    threadId_.store(std::this_thread::get_id());
    const bool deviceRunning = endpoint_->Begin();
    int16_t samples[kAudioMaxPeriods * kAudioPeriodFrames];
    DoneList done;
    done.reserve(32);
    for (;;) {
        done.clear();
        const bool keepGoing = direction_ == AudioDirection::Playback
                                   ? RunPlaybackPeriod(samples, &done)
                                   : RunCapturePeriod(samples, &done);
        if (keepGoing && !deviceRunning) {
            // A device that failed to start still keeps the buffers moving at its pace.
            WaitOnePeriod();
        }
        HandBack(done);
        if (!keepGoing) {
            break;
        }
    }
    if (deviceRunning) {
        endpoint_->End();
    }
    threadId_.store(std::thread::id());
}

// A transfer of several periods is filled one period at a time, each finished buffer handed
// back before the next is taken: an owner that keeps a single period queued refills it in
// time, as it would for a device moving one period per transfer.
bool AudioStreamEngine::RunPlaybackPeriod(int16_t* samples, DoneList* done) {
    if (!FillPlayback(samples, done)) {
        return false;
    }
    if (!endpoint_->Transfer(samples, periodFrames_)) {
        WaitOnePeriod();
    }
    underruns_.store(endpoint_->Underruns(), std::memory_order_relaxed);
    return true;
}

bool AudioStreamEngine::FillPlayback(int16_t* samples, DoneList* done) {
    for (size_t offset = 0; offset < periodFrames_; offset += kAudioPeriodFrames) {
        if (offset > 0) {
            HandBack(*done);
            done->clear();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) {
            return false;
        }
        TakePlaybackPeriodLocked(samples + offset, done);
    }
    ApplyVolume(samples);
    return true;
}

bool AudioStreamEngine::RunCapturePeriod(int16_t* samples, DoneList* done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) {
            ReturnPartialCaptureLocked(done);
            return false;
        }
    }
    if (!endpoint_->Transfer(samples, periodFrames_)) {
        WaitOnePeriod();
        return true;
    }
    StoreCapture(samples, done);
    return true;
}

// The buffer being filled comes back with what it holds; empty ones stay queued.
void AudioStreamEngine::ReturnPartialCaptureLocked(DoneList* done) {
    if (!queue_.empty() && queue_.front()->bytesRecorded > 0) {
        AudioBufferHeader* header = queue_.front();
        queue_.pop_front();
        MarkDoneLocked(header, done);
    }
}

void AudioStreamEngine::StoreCapture(const int16_t* samples, DoneList* done) {
    for (size_t offset = 0; offset < periodFrames_; offset += kAudioPeriodFrames) {
        if (offset > 0) {
            HandBack(*done);
            done->clear();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        StoreCapturePeriodLocked(samples + offset, done);
    }
}

void AudioStreamEngine::TakePlaybackPeriodLocked(int16_t* samples, DoneList* done) {
    auto* out = reinterpret_cast<char*>(samples);
    size_t filled = 0;
    if (!paused_) {
        while (!queue_.empty()) {
            AudioBufferHeader* head = queue_.front();
            const size_t remaining = head->bufferLength - playOffset_;
            // Empty buffers right behind the audio go back with this period, so an idle
            // stream asks its owner again once per period rather than in a tight loop.
            if (remaining > 0 && filled == kAudioPeriodBytes) {
                break;
            }
            const size_t n = std::min(remaining, kAudioPeriodBytes - filled);
            if (n > 0) {
                std::memcpy(out + filled, head->data + playOffset_, n);
            }
            filled += n;
            playOffset_ += static_cast<uint32_t>(n);
            if (playOffset_ >= head->bufferLength) {
                queue_.pop_front();
                playOffset_ = 0;
                MarkDoneLocked(head, done);
            }
        }
    }
    // An underrun, an idle queue or a pause: the device plays silence at its own pace.
    std::memset(out + filled, 0, kAudioPeriodBytes - filled);
}

void AudioStreamEngine::StoreCapturePeriodLocked(const int16_t* samples, DoneList* done) {
    const auto* in = reinterpret_cast<const char*>(samples);
    size_t used = 0;
    // With no buffer queued the period is lost, as on a device that has nowhere to put it.
    while (!queue_.empty()) {
        AudioBufferHeader* head = queue_.front();
        const size_t space = head->bufferLength - head->bytesRecorded;
        if (space > 0 && used == kAudioPeriodBytes) {
            break;
        }
        const size_t n = std::min(space, kAudioPeriodBytes - used);
        if (n > 0) {
            std::memcpy(head->data + head->bytesRecorded, in + used, n);
        }
        used += n;
        head->bytesRecorded += static_cast<uint32_t>(n);
        if (head->bytesRecorded >= head->bufferLength) {
            queue_.pop_front();
            MarkDoneLocked(head, done);
        }
    }
}

void AudioStreamEngine::ApplyVolume(int16_t* samples) const {
    // A mono stream follows the left (low) half, as a device without separate channels does.
    const int32_t level = static_cast<int32_t>(volume_.load(std::memory_order_relaxed) & 0xFFFF);
    if (level == 0xFFFF) {
        return;
    }
    for (size_t i = 0; i < periodFrames_; ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int32_t>(samples[i]) * level / 0xFFFF);
    }
}

void AudioStreamEngine::MarkDoneLocked(AudioBufferHeader* header, DoneList* done) {
    header->flags = (header->flags & ~kAudioBufferInQueue) | kAudioBufferDone;
    done->push_back(header);
}

void AudioStreamEngine::HandBack(const DoneList& done) {
    if (callback_ == nullptr) {
        return;
    }
    for (AudioBufferHeader* header : done) {
        callback_(context_, header);
    }
}

void AudioStreamEngine::WaitOnePeriod() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock,
                   std::chrono::milliseconds(kAudioPeriodMs * periodFrames_ / kAudioPeriodFrames),
                   [this] { return stopRequested_; });
}

}  // namespace platform
