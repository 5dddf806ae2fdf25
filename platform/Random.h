#pragma once

#include <functional>

namespace platform {

// The process's pseudo-random generator, values 0 to 32767. Seeded once, on first use,
// from the clock in microseconds and the process id; safe to call from any thread.
int NextRandom();

// Replaces the generator for the whole process (tests); an empty function restores it.
void SetRandomSource(std::function<int()> source);

}  // namespace platform
