#pragma once

#include <algorithm>
#include <cstdint>

// The playout side of a call's voice: the far end's 10 ms G.729 frames, placed by their RTP
// timestamp so that reordered packets fall back into place, and handed out one slot at a
// time as the speaker asks for them. A slot whose frame has not come when its turn is due is
// concealed; a frame that comes after its slot was played is dropped.
//
// When a slot is due follows from the arrivals: a frame is played the target delay after
// the quickest recent packet would have brought it, the target being four times the
// interarrival jitter (RFC 3550, section 6.4.1) plus two frames, between 20 and 300 ms, and
// at least what the last late frame would have needed (forgotten a frame a second). The
// delay moves by whole frames only: a slot is concealed in place to lengthen it (one in
// kGrowSpacing slots at most), a frame dropped to shorten it (one in kShrinkSpacing). The
// same correction absorbs a far end whose clock runs faster or slower than the sound card's.
//
// Times are in 8 kHz units of the local clock. Not locked: the receive thread's lock guards it.
class PlayoutBuffer {
public:
    static constexpr int kFrameBytes = 10;
    static constexpr int32_t kFrameTicks = 80;  // 10 ms at 8 kHz
    static constexpr int kSlots = 200;          // 2 s: nothing further ahead is kept
    static constexpr int kMinDelayFrames = 2;
    static constexpr int kMaxDelayFrames = 30;
    static constexpr int kGrowSpacing = 2;
    static constexpr int kShrinkSpacing = 4;
    // Slots without a late frame before the delay a late frame asked for is cut by one.
    static constexpr int kLateMemorySlots = 100;
    // After this many concealed slots in a row the speaker gets silence.
    static constexpr int kMaxConcealedRun = 6;
    // Transit times remembered for the quickest recent packet: 2 s of 20 ms packets.
    static constexpr int kTransitWindow = 100;
    // Quiet slots in a row before the next counts as in a pause rather than before a word.
    static constexpr int kPauseSlots = 3;
    // Packets seen before the first slot is played.
    static constexpr int kStartPackets = 3;

    enum class Slot {
        Frame,      // a received frame, copied out
        Concealed,  // lost, late or held back: decode as an erased frame
        Silence,    // nothing to play
    };

    struct Counters {
        uint32_t played = 0;      // received frames handed out
        uint32_t concealed = 0;   // slots concealed
        uint32_t late = 0;        // arrived after their slot was played
        uint32_t duplicates = 0;  // a frame already held
        uint32_t dropped = 0;     // to shorten the delay, or beyond the 2 s
    };

    // count frames of a packet whose first frame has RTP timestamp timestamp, received at
    // arrival. Returns the frames kept.
    int Put(uint32_t timestamp, const unsigned char* frames, int count, uint32_t arrival);
    // Frames that come without a timestamp: straight after the newest, no clock involved.
    int Append(const unsigned char* frames, int count);
    // The slot due at now; frame receives its 10 bytes when Frame is returned.
    Slot Next(uint32_t now, unsigned char* frame);
    // The held frames in order, whatever the clock; Silence once they are used up.
    Slot NextHeld(unsigned char* frame);
    // Whether the slot just played was quiet. A frame dropped well into a pause goes unheard,
    // so there a lag of one frame is enough to shorten the delay. The run stops counting at
    // kPauseSlots, so a pause of days cannot overflow it.
    void HeardQuiet(bool quiet) { quietRun_ = quiet ? std::min(quietRun_ + 1, kPauseSlots) : 0; }

    int Held() const { return held_; }
    int TargetDelayFrames() const;
    // RFC 3550 interarrival jitter, in 8 kHz units.
    uint32_t Jitter() const { return static_cast<uint32_t>(jitter_ / 16); }
    const Counters& Stats() const { return counters_; }

private:
    struct Entry {
        bool filled = false;
        unsigned char frame[kFrameBytes] = {};
    };

    void Restart(uint32_t timestamp);
    int StoreFrames(int offset, const unsigned char* frames, int count);
    void Advance();
    void TrackTransit(uint32_t timestamp, uint32_t arrival);
    int32_t QuickestTransit() const;
    Entry& At(int offset) { return slots_[(head_ + offset) % kSlots]; }
    Slot TakeHead(unsigned char* frame);
    Slot ConcealOrSilence();

    Entry slots_[kSlots];
    int head_ = 0;                // slot of nextTimestamp_
    uint32_t nextTimestamp_ = 0;  // of the next slot to play
    int held_ = 0;                // filled slots
    int depth_ = 0;               // one past the furthest filled slot
    bool started_ = false;        // a first frame has set the time line
    bool playing_ = false;        // the first slot has fallen due
    int quietRun_ = 0;            // quiet slots played in a row
    int concealedRun_ = 0;
    int sinceAdjust_ = 0;
    int lateFloor_ = 0;  // frames of delay the last late frame would have needed
    int sinceLate_ = 0;
    int transitSamples_ = 0;
    int64_t lateness_ = 0;  // 16 times the smoothed lag of the head behind the due slot
    int64_t jitter_ = 0;    // 16 times the estimate, as the RFC's integer form keeps it
    bool haveTransit_ = false;
    int32_t lastTransit_ = 0;
    int32_t transits_[kTransitWindow] = {};
    int transitCount_ = 0;
    int transitNext_ = 0;
    Counters counters_;
};
