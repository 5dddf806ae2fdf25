#include "Random.h"

#include <unistd.h>

#include <mutex>
#include <random>

#include "Clock.h"

namespace platform {
namespace {

std::mutex randomMutex;
std::function<int()> replacementSource;

std::minstd_rand& Generator() {
    static std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(
        CurrentClock().MicrosecondsSince1970() ^ (static_cast<long long>(getpid()) << 20)));
    return generator;
}

}  // namespace

int NextRandom() {
    std::lock_guard<std::mutex> guard(randomMutex);
    if (replacementSource) {
        return replacementSource() & 0x7FFF;
    }
    return static_cast<int>(Generator()() & 0x7FFF);
}

void SetRandomSource(std::function<int()> source) {
    std::lock_guard<std::mutex> guard(randomMutex);
    replacementSource = std::move(source);
}

}  // namespace platform
