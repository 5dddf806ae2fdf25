#include "platform/AudioPulse.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform {
namespace {

constexpr size_t kTransferBytes = kAudioMaxPeriods * kAudioPeriodBytes;
constexpr uint32_t kServerDefault = static_cast<uint32_t>(-1);
// What the server keeps queued for playback. With shorter targets a null sink renders, and
// its monitor delivers, a few samples at a time, up to thousands of times a second.
constexpr uint32_t kPlaybackTargetBytes = 80 * kAudioBytesPerSecond / 1000;

pa_buffer_attr BufferAttributes(AudioDirection direction) {
    pa_buffer_attr attributes;
    attributes.maxlength = kServerDefault;
    attributes.prebuf = kServerDefault;
    if (direction == AudioDirection::Playback) {
        attributes.tlength = kPlaybackTargetBytes;
        attributes.minreq = kTransferBytes;
        attributes.fragsize = kServerDefault;
    } else {
        // One voice packet's worth per delivery, as the packet is sent when it is filled.
        attributes.tlength = kServerDefault;
        attributes.minreq = kServerDefault;
        attributes.fragsize = kTransferBytes;
    }
    return attributes;
}

}  // namespace

// One stream of the shared connection. The server's requests and deliveries come on the
// client library's thread with its lock held; so do Attach and the destructor's teardown,
// which is why no period runs into a handler once the endpoint is gone.
class PulseEndpoint final : public AudioEndpoint {
public:
    PulseEndpoint(AudioDirection direction, PulseAudioDirect* owner)
        : direction_(direction), owner_(owner), pa_(owner->pa_) {}
    ~PulseEndpoint() override {
        if (stream_ == nullptr) {
            return;  // refused by the server: the connection did not count it
        }
        pa_.MainloopLock(owner_->mainloop_);
        Detach(stream_);
        pa_.StreamDisconnect(stream_);
        pa_.StreamUnref(stream_);
        pa_.MainloopUnlock(owner_->mainloop_);
        owner_->Release();
    }

    void Connected(pa_stream* stream) { stream_ = stream; }
    void Listen(pa_stream* stream) {
        pa_.StreamSetStateCallback(stream, &OnStreamState, owner_);
        pa_.StreamSetWriteCallback(stream, &OnWritable, this);
        pa_.StreamSetReadCallback(stream, &OnReadable, this);
        pa_.StreamSetUnderflowCallback(stream, &OnUnderflow, this);
    }
    void Detach(pa_stream* stream) {
        pa_.StreamSetStateCallback(stream, nullptr, nullptr);
        pa_.StreamSetWriteCallback(stream, nullptr, nullptr);
        pa_.StreamSetReadCallback(stream, nullptr, nullptr);
        pa_.StreamSetUnderflowCallback(stream, nullptr, nullptr);
    }

    bool Attach(AudioPeriodHandler* handler) override {
        pa_.MainloopLock(owner_->mainloop_);
        handler_ = handler;
        pa_.MainloopUnlock(owner_->mainloop_);
        return true;
    }
    // A device that calls back does not use these.
    bool Begin() override { return false; }
    bool Transfer(int16_t*, size_t) override { return false; }
    void End() override {}
    uint64_t Underruns() const override { return underruns_.load(std::memory_order_relaxed); }
    size_t PeriodsPerTransfer() const override { return kAudioMaxPeriods; }

private:
    void RunPeriod() {
        if (handler_ != nullptr) {
            handler_->OnDevicePeriod(samples_);
        } else if (direction_ == AudioDirection::Playback) {
            std::memset(samples_, 0, sizeof(samples_));
        }
    }

    static void OnWritable(pa_stream* stream, size_t bytes, void* self) {
        auto* endpoint = static_cast<PulseEndpoint*>(self);
        for (; bytes >= kTransferBytes; bytes -= kTransferBytes) {
            endpoint->RunPeriod();
            if (endpoint->pa_.StreamWrite(stream, endpoint->samples_, kTransferBytes, nullptr, 0,
                                          PA_SEEK_RELATIVE) < 0) {
                return;
            }
        }
    }

    // The server delivers in its own fragments; they are gathered into whole transfers. A
    // hole (data lost by the server) is recorded as silence.
    static void OnReadable(pa_stream* stream, size_t, void* self) {
        auto* endpoint = static_cast<PulseEndpoint*>(self);
        const void* data = nullptr;
        size_t length = 0;
        while (endpoint->pa_.StreamPeek(stream, &data, &length) == 0 && length > 0) {
            endpoint->Gather(static_cast<const char*>(data), length);
            endpoint->pa_.StreamDrop(stream);
        }
    }

    void Gather(const char* data, size_t length) {
        auto* staging = reinterpret_cast<char*>(samples_);
        while (length > 0) {
            const size_t n = std::min(length, kTransferBytes - gathered_);
            if (data != nullptr) {
                std::memcpy(staging + gathered_, data, n);
                data += n;
            } else {
                std::memset(staging + gathered_, 0, n);
            }
            gathered_ += n;
            length -= n;
            if (gathered_ == kTransferBytes) {
                gathered_ = 0;
                RunPeriod();
            }
        }
    }

    static void OnUnderflow(pa_stream*, void* self) {
        static_cast<PulseEndpoint*>(self)->underruns_.fetch_add(1, std::memory_order_relaxed);
    }
    static void OnStreamState(pa_stream*, void* owner) {
        auto* direct = static_cast<PulseAudioDirect*>(owner);
        direct->pa_.MainloopSignal(direct->mainloop_, 0);
    }

    const AudioDirection direction_;
    PulseAudioDirect* const owner_;
    const PulseAudioLibrary& pa_;
    pa_stream* stream_ = nullptr;
    AudioPeriodHandler* handler_ = nullptr;
    int16_t samples_[kTransferBytes / kAudioBytesPerSample] = {};
    size_t gathered_ = 0;
    std::atomic<uint64_t> underruns_{0};
};

PulseAudioDirect::~PulseAudioDirect() {
    std::lock_guard<std::mutex> lock(mutex_);
    DisconnectLocked();
}

std::unique_ptr<AudioEndpoint> PulseAudioDirect::Open(AudioDirection direction) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ConnectLocked()) {
        return nullptr;
    }
    auto endpoint = std::make_unique<PulseEndpoint>(direction, this);
    pa_.MainloopLock(mainloop_);
    pa_stream* stream = NewStreamLocked(direction, endpoint.get());
    pa_.MainloopUnlock(mainloop_);
    if (stream == nullptr) {
        if (openStreams_ == 0) {
            DisconnectLocked();
        }
        return nullptr;
    }
    ++openStreams_;
    endpoint->Connected(stream);
    return endpoint;
}

pa_stream* PulseAudioDirect::NewStreamLocked(AudioDirection direction, PulseEndpoint* endpoint) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, kAudioSampleRate, 1};
    const bool playback = direction == AudioDirection::Playback;
    pa_stream* stream =
        pa_.StreamNew(context_, playback ? "Call playback" : "Call capture", &format, nullptr);
    if (stream == nullptr) {
        return nullptr;
    }
    endpoint->Listen(stream);
    const pa_buffer_attr attributes = BufferAttributes(direction);
    const int connected =
        playback ? pa_.StreamConnectPlayback(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY,
                                             nullptr, nullptr)
                 : pa_.StreamConnectRecord(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY);
    pa_stream_state_t state = PA_STREAM_FAILED;
    if (connected == 0) {
        while ((state = pa_.StreamState(stream)) == PA_STREAM_CREATING) {
            pa_.MainloopWait(mainloop_);
        }
    }
    if (state != PA_STREAM_READY) {
        endpoint->Detach(stream);
        pa_.StreamDisconnect(stream);
        pa_.StreamUnref(stream);
        return nullptr;
    }
    return stream;
}

bool PulseAudioDirect::ConnectLocked() {
    if (context_ != nullptr) {
        pa_.MainloopLock(mainloop_);
        const bool ready = pa_.ContextState(context_) == PA_CONTEXT_READY;
        pa_.MainloopUnlock(mainloop_);
        // A server that went away is given up until its last stream is closed; the next
        // stream then connects afresh.
        return ready;
    }
    if (!pa_.Load()) {
        return false;
    }
    mainloop_ = pa_.MainloopNew();
    context_ =
        mainloop_ != nullptr ? pa_.ContextNew(pa_.MainloopApi(mainloop_), "Softphone") : nullptr;
    if (context_ == nullptr) {
        DisconnectLocked();
        return false;
    }
    pa_.ContextSetStateCallback(context_, &OnContextState, this);
    // A server that is not running is not started for a call: PortAudio's devices remain.
    if (pa_.ContextConnect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_.MainloopStart(mainloop_) < 0) {
        DisconnectLocked();
        return false;
    }
    pa_.MainloopLock(mainloop_);
    pa_context_state_t state;
    while ((state = pa_.ContextState(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state)) {
        pa_.MainloopWait(mainloop_);
    }
    pa_.MainloopUnlock(mainloop_);
    if (state != PA_CONTEXT_READY) {
        DisconnectLocked();
        return false;
    }
    return true;
}

void PulseAudioDirect::OnContextState(pa_context*, void* self) {
    auto* direct = static_cast<PulseAudioDirect*>(self);
    direct->pa_.MainloopSignal(direct->mainloop_, 0);
}

void PulseAudioDirect::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--openStreams_ == 0) {
        DisconnectLocked();
    }
}

void PulseAudioDirect::DisconnectLocked() {
    if (mainloop_ != nullptr) {
        pa_.MainloopStop(mainloop_);
    }
    if (context_ != nullptr) {
        pa_.ContextSetStateCallback(context_, nullptr, nullptr);
        pa_.ContextDisconnect(context_);
        pa_.ContextUnref(context_);
        context_ = nullptr;
    }
    if (mainloop_ != nullptr) {
        pa_.MainloopFree(mainloop_);
        mainloop_ = nullptr;
    }
    pa_.Unload();
}

}  // namespace platform
