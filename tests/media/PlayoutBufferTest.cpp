#include "media/PlayoutBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Arrival {
    int atMs, firstFrame, frames;  // frame numbers count 10 ms from the start of the stream
};

// One character a slot, asked for every 10 ms from 0 ms, two at a time as a device does: the
// frame's number in base 36, 'c' concealed, '.' silence. The slots from quietFrom on decode to a
// pause.
std::string Play(std::vector<Arrival> arrivals, size_t slots, PlayoutBuffer* buffer,
                 int quietFrom = 1 << 30, uint32_t firstTimestamp = 1000) {
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    std::string played;
    size_t next = 0;
    for (int slot = 0; played.size() < slots; ++slot) {
        const int now = slot * 10;
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next) {
            const Arrival& a = arrivals[next];
            std::vector<unsigned char> frames(10 * a.frames);
            for (int f = 0; f < a.frames; ++f) {
                frames[10 * f] = static_cast<unsigned char>(a.firstFrame + f);
            }
            buffer->Put(firstTimestamp + 80u * a.firstFrame, frames.data(), a.frames, 8u * a.atMs);
        }
        unsigned char frame[10] = {};
        const PlayoutBuffer::Slot got = buffer->Next(8u * (now - now % 20), frame);
        played += got == PlayoutBuffer::Slot::Frame
                      ? "0123456789abcdefghijklmnopqrstuvwxyz"[frame[0] % 36]
                  : got == PlayoutBuffer::Slot::Concealed ? 'c'
                                                          : '.';
        buffer->HeardQuiet(slot >= quietFrom);
    }
    return played;
}

// Packets of two frames every 20 ms, frames [from, to), each 5 ms late, but those `changed`
// names by their first frame, which arrive as it says (frames < 0: lost); then the `extra` ones.
std::vector<Arrival> Steady(int from, int to, const std::vector<Arrival>& changed = {},
                            const std::vector<Arrival>& extra = {}) {
    std::vector<Arrival> arrivals;
    for (int f = from; f < to; f += 2) {
        const auto c = std::find_if(changed.begin(), changed.end(),
                                    [&](const Arrival& a) { return a.firstFrame == f; });
        if (c == changed.end() || c->frames > 0) {
            arrivals.push_back(c == changed.end() ? Arrival{f * 10 + 5, f, 2} : *c);
        }
    }
    arrivals.insert(arrivals.end(), extra.begin(), extra.end());
    return arrivals;
}

TEST(PlayoutBufferTest, EachSlotGetsTheFrameDueInIt) {
    const std::vector<Arrival> overtaken = {{65, 6, 2}, {66, 8, 2}};
    const struct {
        const char* name;
        std::vector<Arrival> arrivals;
        std::string played;
        int quietFrom = 1 << 30;
        uint32_t firstTimestamp = 1000;
    } cases[] = {
        {"overtaken: played in its place, 2 frames behind once 3 are seen",
         Steady(0, 16, overtaken), ".....0123456789abcde"},
        {"a duplicate: played once", Steady(0, 16, {}, {{46, 2, 2}}), ".....0123456789abcde"},
        {"lost: concealed", Steady(0, 16, {{0, 8, -1}}), ".....01234567ccabcde"},
        {"late before its slots: played", Steady(0, 16, {{125, 8, 2}}), ".....0123456789abcde"},
        {"later than its slots: dropped", Steady(0, 16, {{145, 8, 2}}), ".....01234567ccabcde"},
        {"a dry speaker waits for the late ones",
         Steady(0, 16, {{160, 8, 2}, {161, 10, 2}, {162, 12, 2}, {163, 14, 2}}),
         ".....01234567ccc89abcdef"},
        {"silent far end: 6 concealed, then silence", Steady(0, 8), ".....01234567cccccc....."},
        {"far ahead while frames are held: dropped", Steady(0, 16, {}, {{45, 1000, 2}}),
         ".....0123456789abcde"},
        {"a new time line 1000 frames on (printed from 'g'), once dry: played from its start",
         Steady(0, 8, {}, {{305, 1000, 2}, {325, 1002, 2}, {345, 1004, 2}, {365, 1006, 2}}),
         ".....01234567cccccc................ghijklmnc"},
        {"in a pause the lag goes, a frame at a time, once three quiet slots are heard",
         Steady(0, 24), ".....012345789abcdefghijklnc", 8},
        {"timestamps wrapping 2^32", Steady(0, 16, overtaken), ".....0123456789abcde", 1 << 30,
         0xFFFFFF60u},
    };
    for (const auto& c : cases) {
        PlayoutBuffer buffer;
        EXPECT_EQ(Play(c.arrivals, c.played.size(), &buffer, c.quietFrom, c.firstTimestamp),
                  c.played)
            << c.name;
    }
}

// The delay: the shortest without jitter; four times the jitter and two frames with transit
// alternating 5 and 45 ms (|D| = 40 ms each packet, J tends to 320 ticks). Over an hour with the
// far end's clock 0.1 % off the sound card's, either way, it stays within its bounds, by about one
// frame dropped or concealed every ten seconds.
TEST(PlayoutBufferTest, DelayFollowsTheJitterAndTheClockDriftWithinItsBounds) {
    const struct {
        double farEndRate;
        int jitterMs, slots, delay, droppedOrConcealed;
    } cases[] = {{1, 0, 200, PlayoutBuffer::kMinDelayFrames, 0},
                 {1, 40, 200, 4 * 4 + 2, 0},
                 {1.001, 0, 360000, PlayoutBuffer::kMinDelayFrames, 360},
                 {0.999, 0, 360000, PlayoutBuffer::kMinDelayFrames, 360}};
    for (const auto& c : cases) {
        std::vector<Arrival> arrivals;
        for (int f = 0; f * 10 / c.farEndRate <= c.slots * 10; f += 2) {
            arrivals.push_back({int(f * 10 / c.farEndRate) + 5 + (f % 4 ? c.jitterMs : 0), f, 2});
        }
        PlayoutBuffer buffer;
        Play(arrivals, c.slots, &buffer);
        const PlayoutBuffer::Counters& stats = buffer.Stats();
        EXPECT_EQ(std::tuple(buffer.TargetDelayFrames(), stats.late), std::tuple(c.delay, 0u));
        EXPECT_LE(buffer.Held(), PlayoutBuffer::kMaxDelayFrames);
        EXPECT_NEAR(stats.dropped + stats.concealed, c.droppedOrConcealed,
                    1 + c.droppedOrConcealed / 6);
    }
}

}  // namespace
