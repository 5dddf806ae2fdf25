#include "media/PlayoutBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Whole frames from `from` to `to` on the timestamp circle, rounded down.
int FrameOffset(uint32_t from, uint32_t to) {
    const int64_t ticks = static_cast<int32_t>(to - from);
    const int64_t frame = PlayoutBuffer::kFrameTicks;
    return static_cast<int>(ticks >= 0 ? ticks / frame : -((-ticks + frame - 1) / frame));
}

// A transit time that jumps by more than this (2 s) is a new time line, not jitter.
constexpr int64_t kTransitJump = 16000;
// The smoothed lag that makes the delay move by a frame. A frame dropped is speech lost, so
// the delay must be well over the target first: by more, the more the arrivals vary.
constexpr int64_t kGrowThreshold = 2 * PlayoutBuffer::kFrameTicks;
int64_t ShrinkThreshold(int targetFrames) {
    return std::max(2, (targetFrames + 1) / 2) * int64_t{PlayoutBuffer::kFrameTicks};
}

}  // namespace

int PlayoutBuffer::Put(uint32_t timestamp, const unsigned char* frames, int count,
                       uint32_t arrival) {
    if (frames == nullptr || count <= 0) {
        return 0;
    }
    if (!started_) {
        Restart(timestamp);
    }
    int offset = FrameOffset(nextTimestamp_, timestamp);
    // Far behind or far ahead of what is being played: the far end started a new time line.
    if (offset <= -kMaxDelayFrames || offset >= kSlots) {
        if (held_ == 0) {
            Restart(timestamp);
            offset = 0;
        }
    }
    int kept = 0;
    // Only frames that had a slot say anything of the path's jitter: not a copy the network
    // made, nor one so far ahead of the stream that it was dropped (its transit would pass
    // for the quickest for the next two seconds and make the buffer drop good frames).
    bool informative = false;
    for (int i = 0; i < count; ++i) {
        const int at = offset + i;
        if (at < 0) {
            ++counters_.late;
            // Had the delay been that much longer, the frame would have been played.
            if (at > -kMaxDelayFrames) {
                lateFloor_ =
                    std::min(std::max(lateFloor_, TargetDelayFrames() - at), kMaxDelayFrames);
                sinceLate_ = 0;
            }
        } else if (at >= kSlots) {
            ++counters_.dropped;
            continue;
        } else if (At(at).filled) {
            ++counters_.duplicates;
            continue;
        } else {
            kept += StoreFrames(at, frames + i * kFrameBytes, 1);
        }
        informative = true;
    }
    if (informative) {
        TrackTransit(timestamp, arrival);
    }
    return kept;
}

int PlayoutBuffer::Append(const unsigned char* frames, int count) {
    if (frames == nullptr || count <= 0) {
        return 0;
    }
    if (!started_) {
        Restart(0);
    }
    const int kept = StoreFrames(depth_, frames, std::min(count, kSlots - depth_));
    counters_.dropped += static_cast<uint32_t>(count - kept);
    return kept;
}

PlayoutBuffer::Slot PlayoutBuffer::Next(uint32_t now, unsigned char* frame) {
    // Frames put in without a clock are played as they come.
    if (!started_ || transitCount_ == 0) {
        return NextHeld(frame);
    }
    // The timestamp due now: the quickest transit plus the target delay back from now.
    const uint32_t due = now - static_cast<uint32_t>(QuickestTransit()) -
                         static_cast<uint32_t>(TargetDelayFrames() * kFrameTicks);
    const int64_t lag = static_cast<int32_t>(due - nextTimestamp_);
    if (!playing_) {
        // A few packets first, so that the jitter has been seen before the delay is chosen;
        // a far end that sends no more than that is played once the longest delay is up.
        const bool seenEnough = transitCount_ >= kStartPackets;
        if (lag < 0 || (!seenEnough && lag < kMaxDelayFrames * kFrameTicks)) {
            return Slot::Silence;
        }
        playing_ = true;
        lateness_ = 0;
    }
    if (++sinceLate_ >= kLateMemorySlots) {
        sinceLate_ = 0;
        lateFloor_ = std::max(lateFloor_ - 1, 0);
    }
    // Dry: the next frame is late, lost or not sent. Waiting for it in place lengthens the
    // delay rather than losing the frames behind it.
    if (held_ == 0) {
        return ConcealOrSilence();
    }
    int64_t behind = lag;
    // After a silence, the empty slots up to the due one go by unheard.
    while (concealedRun_ >= kMaxConcealedRun && !At(0).filled && behind > 0) {
        Advance();
        behind -= kFrameTicks;
    }
    // The speaker asks in bursts of a buffer or two: the lag is smoothed before it counts.
    lateness_ += behind - lateness_ / 16;
    ++sinceAdjust_;
    const int64_t shrinkAt =
        quietRun_ >= kPauseSlots ? kFrameTicks / 2 : ShrinkThreshold(TargetDelayFrames());
    if (sinceAdjust_ >= kShrinkSpacing && lateness_ / 16 >= shrinkAt) {
        sinceAdjust_ = 0;
        lateness_ -= 16 * kFrameTicks;
        counters_.dropped += At(0).filled ? 1 : 0;
        Advance();
    } else if (sinceAdjust_ >= kGrowSpacing && lateness_ / 16 <= -kGrowThreshold) {
        sinceAdjust_ = 0;
        lateness_ += 16 * kFrameTicks;
        return ConcealOrSilence();
    }
    return TakeHead(frame);
}

PlayoutBuffer::Slot PlayoutBuffer::NextHeld(unsigned char* frame) {
    if (held_ == 0) {
        return Slot::Silence;
    }
    return TakeHead(frame);
}

int PlayoutBuffer::TargetDelayFrames() const {
    const int64_t ticks = 4 * static_cast<int64_t>(Jitter());
    const int frames = static_cast<int>((ticks + kFrameTicks - 1) / kFrameTicks) + kMinDelayFrames;
    return std::clamp(std::max(frames, lateFloor_), kMinDelayFrames, kMaxDelayFrames);
}

PlayoutBuffer::Slot PlayoutBuffer::TakeHead(unsigned char* frame) {
    Entry& head = At(0);
    if (!head.filled) {
        Advance();
        return ConcealOrSilence();
    }
    if (frame != nullptr) {
        std::memcpy(frame, head.frame, kFrameBytes);
    }
    Advance();
    concealedRun_ = 0;
    ++counters_.played;
    return Slot::Frame;
}

PlayoutBuffer::Slot PlayoutBuffer::ConcealOrSilence() {
    if (concealedRun_ >= kMaxConcealedRun) {
        return Slot::Silence;
    }
    ++concealedRun_;
    ++counters_.concealed;
    return Slot::Concealed;
}

void PlayoutBuffer::Restart(uint32_t timestamp) {
    for (Entry& entry : slots_) {
        entry.filled = false;
    }
    head_ = 0;
    nextTimestamp_ = timestamp;
    held_ = 0;
    depth_ = 0;
    started_ = true;
    playing_ = false;
    // The old time line's transits say nothing about the new one.
    haveTransit_ = false;
    transitCount_ = 0;
    transitNext_ = 0;
}

int PlayoutBuffer::StoreFrames(int offset, const unsigned char* frames, int count) {
    for (int i = 0; i < count; ++i) {
        Entry& entry = At(offset + i);
        std::memcpy(entry.frame, frames + i * kFrameBytes, kFrameBytes);
        entry.filled = true;
    }
    held_ += std::max(count, 0);
    depth_ = std::max(depth_, offset + count);
    return std::max(count, 0);
}

void PlayoutBuffer::Advance() {
    Entry& head = At(0);
    if (head.filled) {
        head.filled = false;
        --held_;
    }
    head_ = (head_ + 1) % kSlots;
    nextTimestamp_ += kFrameTicks;
    depth_ = std::max(depth_ - 1, 0);
}

void PlayoutBuffer::TrackTransit(uint32_t timestamp, uint32_t arrival) {
    const int32_t transit = static_cast<int32_t>(arrival - timestamp);
    const int64_t difference = std::llabs(static_cast<int64_t>(transit) - lastTransit_);
    if (haveTransit_ && difference <= kTransitJump) {
        // J += (|D| - J) / 16, kept as 16 J so that the integer form loses nothing; the
        // first samples are averaged, so that the estimate is of use from the start.
        transitSamples_ = std::min(transitSamples_ + 1, 16);
        jitter_ += (16 * difference - jitter_) / transitSamples_;
    }
    haveTransit_ = true;
    lastTransit_ = transit;
    transits_[transitNext_] = transit;
    transitNext_ = (transitNext_ + 1) % kTransitWindow;
    transitCount_ = std::min(transitCount_ + 1, kTransitWindow);
}

int32_t PlayoutBuffer::QuickestTransit() const {
    // Compared as distances from the newest, so that the clock's wrap does not matter.
    const auto newest = static_cast<uint32_t>(lastTransit_);
    int32_t quickest = 0;
    for (int i = 0; i < transitCount_; ++i) {
        quickest =
            std::min(quickest, static_cast<int32_t>(static_cast<uint32_t>(transits_[i]) - newest));
    }
    return static_cast<int32_t>(newest + static_cast<uint32_t>(quickest));
}
