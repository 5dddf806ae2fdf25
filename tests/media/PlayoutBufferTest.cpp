// Which frame the speaker gets in which 10 ms slot, for arrival patterns a real network makes.
#include "media/PlayoutBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Arrival {
    int atMs, firstFrame, frames;  // frame numbers count 10 ms from the start of the stream
};

struct PlayoutCase {
    const char* name;
    uint32_t firstTimestamp;
    std::vector<Arrival> arrivals;
    int slots;  // asked for one every 10 ms from 0 ms, two at a time as a device does
    // One character a slot: the frame's number in base 36, 'c' concealed, '.' silence.
    std::string played;
    int quietFrom = 1 << 30;  // the slots from this one on decode to a pause
};

std::string Play(PlayoutCase c, PlayoutBuffer* buffer) {
    std::stable_sort(c.arrivals.begin(), c.arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    std::string played;
    size_t next = 0;
    for (int slot = 0; slot < c.slots; ++slot) {
        const int now = slot * 10;
        for (; next < c.arrivals.size() && c.arrivals[next].atMs <= now; ++next) {
            const Arrival& a = c.arrivals[next];
            std::vector<unsigned char> frames(10 * a.frames);
            for (int f = 0; f < a.frames; ++f) {
                frames[10 * f] = static_cast<unsigned char>(a.firstFrame + f);
            }
            buffer->Put(c.firstTimestamp + 80u * a.firstFrame, frames.data(), a.frames,
                        8u * a.atMs);
        }
        // The device's two slots of a buffer are asked for at the same moment.
        unsigned char frame[10] = {};
        const PlayoutBuffer::Slot got = buffer->Next(8u * (now - now % 20), frame);
        played += got == PlayoutBuffer::Slot::Frame
                      ? "0123456789abcdefghijklmnopqrstuvwxyz"[frame[0] % 36]
                  : got == PlayoutBuffer::Slot::Concealed ? 'c'
                                                          : '.';
        buffer->HeardQuiet(slot >= c.quietFrom);
    }
    return played;
}

// Packets of two frames every 20 ms, frames [from, to), each 5 ms late; then the
// changed arrivals of some packets (frames < 0: the packet is lost), and extra ones.
std::vector<Arrival> Steady(int from, int to, const std::vector<Arrival>& changed = {},
                            const std::vector<Arrival>& extra = {}) {
    std::vector<Arrival> arrivals;
    for (int f = from; f < to; f += 2) {
        arrivals.push_back({f * 10 + 5, f, 2});
        for (const Arrival& c : changed) {
            if (c.firstFrame == f) {
                arrivals.back() = c;
            }
        }
    }
    std::erase_if(arrivals, [](const Arrival& a) { return a.frames < 0; });
    arrivals.insert(arrivals.end(), extra.begin(), extra.end());
    return arrivals;
}

TEST(PlayoutBufferTest, EachSlotGetsTheFrameDueInIt) {
    const std::vector<Arrival> overtaken = {{65, 6, 2}, {66, 8, 2}};
    // The far end starts a new time line 1000 frames on (its frames print from 'g').
    std::vector<Arrival> newTimeLine = Steady(0, 8);
    for (int f = 0; f < 8; f += 2) {
        newTimeLine.push_back({305 + f * 10, 1000 + f, 2});
    }
    const std::vector<PlayoutCase> cases = {
        {"overtaken: played in its place, 2 frames behind once 3 are seen", 1000,
         Steady(0, 16, overtaken), 20, ".....0123456789abcde"},
        {"a duplicate: played once", 1000, Steady(0, 16, {}, {{46, 2, 2}}), 20,
         ".....0123456789abcde"},
        {"lost: concealed", 1000, Steady(0, 16, {{0, 8, -1}}), 20, ".....01234567ccabcde"},
        {"late before its slots: played", 1000, Steady(0, 16, {{125, 8, 2}}), 20,
         ".....0123456789abcde"},
        {"later than its slots: dropped", 1000, Steady(0, 16, {{145, 8, 2}}), 20,
         ".....01234567ccabcde"},
        {"a dry speaker waits for the late ones", 1000,
         Steady(0, 16, {{160, 8, 2}, {161, 10, 2}, {162, 12, 2}, {163, 14, 2}}), 24,
         ".....01234567ccc89abcdef"},
        {"silent far end: 6 concealed, then silence", 1000, Steady(0, 8), 24,
         ".....01234567cccccc....."},
        {"far ahead while frames are held: dropped", 1000, Steady(0, 16, {}, {{45, 1000, 2}}), 20,
         ".....0123456789abcde"},
        {"a new time line once dry: played from its start", 1000, newTimeLine, 44,
         ".....01234567cccccc................ghijklmnc"},
        {"in a pause the lag goes, a frame at a time, once three quiet slots are heard", 1000,
         Steady(0, 24), 28, ".....012345789abcdefghijklnc", 8},
        {"timestamps wrapping 2^32", 0xFFFFFF60u, Steady(0, 16, overtaken), 20,
         ".....0123456789abcde"},
    };
    for (const PlayoutCase& c : cases) {
        PlayoutBuffer buffer;
        EXPECT_EQ(Play(c, &buffer), c.played) << c.name;
    }
}

// Without jitter the shortest delay; transit alternating 5 and 45 ms (|D| = 40 ms each packet,
// J tends to 320 ticks): four times it, and two frames.
TEST(PlayoutBufferTest, DelayFollowsTheJitterWithinItsBounds) {
    std::vector<Arrival> jittery;
    for (int f = 0; f < 200; f += 2) {
        jittery.push_back({f * 10 + (f % 4 == 0 ? 5 : 45), f, 2});
    }
    for (const auto& [arrivals, delay] : {std::pair{Steady(0, 200), PlayoutBuffer::kMinDelayFrames},
                                          std::pair{jittery, 4 * 4 + 2}}) {
        PlayoutBuffer buffer;
        const std::string played = Play({"", 1000, arrivals, 200, ""}, &buffer);
        EXPECT_EQ(buffer.TargetDelayFrames(), delay);
        EXPECT_EQ(buffer.Stats().late, 0u) << played;
    }
}

// An hour's call with the far end's clock 0.1 % off the sound card's, either way: the delay
// stays within its bounds, by about one frame dropped or concealed every ten seconds.
TEST(PlayoutBufferTest, ClockDriftOverAnHourKeepsTheDelayInBounds) {
    for (const double farEndRate : {1.001, 0.999}) {
        SCOPED_TRACE(farEndRate);
        PlayoutBuffer buffer;
        const unsigned char frames[20] = {};
        unsigned char frame[10];
        int packet = 0, mostHeld = 0;
        for (int slot = 0; slot < 360000; ++slot) {
            const double nowMs = slot * 10.0;
            for (; packet * 20.0 / farEndRate <= nowMs; ++packet) {
                const auto arrival = static_cast<uint32_t>(8 * (packet * 20.0 / farEndRate + 5));
                buffer.Put(160u * static_cast<uint32_t>(packet), frames, 2, arrival);
            }
            buffer.Next(static_cast<uint32_t>(8 * nowMs), frame);
            mostHeld = std::max(mostHeld, buffer.Held());
        }
        const PlayoutBuffer::Counters& stats = buffer.Stats();
        EXPECT_LE(mostHeld, PlayoutBuffer::kMaxDelayFrames);
        EXPECT_EQ(stats.late, 0u);
        // 0.1 % of an hour is 360 frames.
        EXPECT_NEAR(stats.dropped + stats.concealed, 360, 60);
        EXPECT_GE(stats.played, 2u * static_cast<uint32_t>(packet) - 500);
    }
}

}  // namespace
