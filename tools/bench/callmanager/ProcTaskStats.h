#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the kernel has counted for one thread of this process: the figures the benchmarks
// compare between two moments.
struct TaskStats {
    int tid = 0;
    std::string name;
    int64_t cpuTicks = 0;           // utime + stime from .../stat, in clock ticks
    int64_t runNanoseconds = 0;     // first field of .../schedstat: time on a CPU
    int64_t voluntarySwitches = 0;  // each sleep that ended in a wake-up counts one
};

// Every thread of the process with the given id ("self" for this one).
std::vector<TaskStats> ReadTasks(const std::string& pid = "self");
// The thread with that id among tasks, or a record with tid 0.
TaskStats FindTask(const std::vector<TaskStats>& tasks, int tid);
// Clock ticks per second of the stat files.
double TicksPerSecond();
