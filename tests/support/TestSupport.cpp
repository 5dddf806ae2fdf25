#include "tests/support/TestSupport.h"

#include <memory>
#include <thread>
#include <vector>

#include "platform/Random.h"

namespace testing_support {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

FakeClock::FakeClock(int64_t seconds, uint32_t tickMs) : seconds_(seconds), tick_(tickMs) {
    platform::SetClock(this);
}

FakeClock::~FakeClock() {
    platform::SetClock(nullptr);
}

FixedRandom::FixedRandom(std::initializer_list<int> values) {
    auto sequence = std::make_shared<std::vector<int>>(values);
    auto next = std::make_shared<size_t>(0);
    platform::SetRandomSource([sequence, next] {
        const int value = (*sequence)[*next % sequence->size()];
        ++*next;
        return value;
    });
}

FixedRandom::~FixedRandom() {
    platform::SetRandomSource({});
}

std::string SourcePath(const std::string& relative) {
    return std::string(SOFTPHONE_SOURCE_DIR) + "/" + relative;
}

std::string BinaryPath(const std::string& relative) {
    return std::string(SOFTPHONE_BINARY_DIR) + "/" + relative;
}

}  // namespace testing_support
