#pragma once

#include <cstdint>

namespace platform {

// Time as the rest of the program sees it. Tests replace it to move time without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the program started; wraps like a 32-bit tick count.
    virtual uint32_t TickCountMs() = 0;
    virtual int64_t SecondsSince1970() = 0;
    virtual int64_t MicrosecondsSince1970() = 0;
};

Clock& CurrentClock();
// A clock that always reads the current one: for units that keep a clock reference.
Clock& ProcessClock();
// Replaces the clock for the whole process; nullptr restores the system clock.
// The replacement must outlive its use.
void SetClock(Clock* clock);

inline uint32_t TickCountMs() {
    return CurrentClock().TickCountMs();
}
inline int64_t SecondsSince1970() {
    return CurrentClock().SecondsSince1970();
}

// Plain sleep of the calling thread; never replaced.
void SleepMs(int ms);

// CPU time the calling thread has used so far, in nanoseconds (user and system). For
// measuring what a loop costs; never replaced.
int64_t ThreadCpuNanoseconds();

}  // namespace platform
