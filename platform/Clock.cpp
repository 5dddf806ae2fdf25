#include "Clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class SystemClock final : public Clock {
public:
    uint32_t TickCountMs() override {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }
    int64_t SecondsSince1970() override {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    int64_t MicrosecondsSince1970() override {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

private:
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

SystemClock& TheSystemClock() {
    static SystemClock clock;
    return clock;
}

std::atomic<Clock*> replacement{nullptr};

}  // namespace

Clock& CurrentClock() {
    Clock* clock = replacement.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : TheSystemClock();
}

namespace {

// Reads whichever clock is current at each call, so a unit built before a test replaces
// the clock still follows the replacement.
class ForwardingClock final : public Clock {
public:
    uint32_t TickCountMs() override { return CurrentClock().TickCountMs(); }
    int64_t SecondsSince1970() override { return CurrentClock().SecondsSince1970(); }
    int64_t MicrosecondsSince1970() override { return CurrentClock().MicrosecondsSince1970(); }
};

}  // namespace

Clock& ProcessClock() {
    static ForwardingClock clock;
    return clock;
}

void SetClock(Clock* clock) {
    replacement.store(clock, std::memory_order_release);
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t ThreadCpuNanoseconds() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        return 0;
    }
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace platform
