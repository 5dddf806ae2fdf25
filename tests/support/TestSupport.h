#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Clock.h"

namespace testing_support {

// Polls condition every few milliseconds until it holds or timeoutMs passes; returns the
// last answer. Tests wait on conditions, never blindly.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000, int pollMs = 5);

// A clock the test moves by hand. Installed for the life of the object.
class FakeClock final : public platform::Clock {
public:
    explicit FakeClock(int64_t seconds = 1'700'000'000, uint32_t tickMs = 1000);
    ~FakeClock() override;

    uint32_t TickCountMs() override { return tick_.load(); }
    int64_t SecondsSince1970() override { return seconds_.load(); }
    int64_t MicrosecondsSince1970() override { return seconds_.load() * 1'000'000; }

    void AdvanceSeconds(int64_t seconds) { seconds_ += seconds; }
    void SetTickCount(uint32_t ms) { tick_.store(ms); }

private:
    std::atomic<int64_t> seconds_;
    std::atomic<uint32_t> tick_;
};

// Installs a fixed sequence of "random" values for the life of the object (cycling).
class FixedRandom {
public:
    explicit FixedRandom(std::initializer_list<int> values);
    ~FixedRandom();
};

// Path of a file below the source tree.
std::string SourcePath(const std::string& relative);
// Path of a file below the build tree.
std::string BinaryPath(const std::string& relative);

}  // namespace testing_support
