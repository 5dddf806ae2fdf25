// What an idle, registered call manager costs: its thread's CPU time and wake-ups over a
// stretch of time, against a stand-in proxy on loopback (figures from /proc); then the CPU
// time of one idle cycle next to bare 5 ms sleeps, measured on this thread in interleaved
// blocks.
//   call_idle_bench [SECONDS] [ROUNDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <vector>

#include "BenchPhone.h"
#include "BenchProxy.h"
#include "ProcTaskStats.h"
#include "call/CallManagerThread.h"
#include "platform/Clock.h"
#include "platform/TThread.h"

namespace {

constexpr int kBlockCycles = 200;

// Every allocation in the process, to show that an idle cycle makes none.
std::atomic<long> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

// The thread that appeared between two listings of this process's threads.
int NewThread(const std::vector<TaskStats>& before, const std::vector<TaskStats>& after) {
    for (const TaskStats& task : after) {
        if (FindTask(before, task.tid).tid == 0) {
            return task.tid;
        }
    }
    return 0;
}

TaskStats Sum(const std::vector<TaskStats>& tasks) {
    TaskStats sum;
    for (const TaskStats& task : tasks) {
        sum.runNanoseconds += task.runNanoseconds;
        sum.cpuTicks += task.cpuTicks;
        sum.voluntarySwitches += task.voluntarySwitches;
    }
    return sum;
}

void PrintShare(const char* what, const TaskStats& start, const TaskStats& end, double seconds) {
    const double run = static_cast<double>(end.runNanoseconds - start.runNanoseconds) / 1e9;
    const double ticks = static_cast<double>(end.cpuTicks - start.cpuTicks) / TicksPerSecond();
    const double wakeUps = static_cast<double>(end.voluntarySwitches - start.voluntarySwitches);
    std::printf("  %-20s %7.3f %% of one core (schedstat), %6.2f %% (stat ticks), %6.1f wake-ups/s",
                what, 100 * run / seconds, 100 * ticks / seconds, wakeUps / seconds);
    if (wakeUps > 0) {
        std::printf(", %.1f us per wake-up", 1e6 * run / wakeUps);
    }
    std::printf("\n");
}

// The running call manager, left alone for the given time.
bool MeasureRunningThread(int seconds) {
    BenchProxy proxy;
    SilentList list;
    CallManagerThread manager(true);
    ConfigureBenchPhone(manager, list, proxy.Port());
    const std::vector<TaskStats> alone = ReadTasks();
    manager.Start();
    const std::vector<TaskStats> withTransport = ReadTasks();
    manager.Resume();
    const std::vector<TaskStats> withLoop = ReadTasks();
    const int transportTid = NewThread(alone, withTransport);
    const int loopTid = NewThread(withTransport, withLoop);
    if (!proxy.AcceptRegistration(5000)) {
        return false;
    }
    // The registration's own work is over well before this.
    platform::SleepMs(1000);

    const std::vector<TaskStats> start = ReadTasks();
    const auto wallStart = std::chrono::steady_clock::now();
    platform::SleepMs(seconds * 1000);
    const std::vector<TaskStats> end = ReadTasks();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("idle, registered call manager on its own thread, %.1f s:\n", wall);
    PrintShare("call manager thread", FindTask(start, loopTid), FindTask(end, loopTid), wall);
    PrintShare("send/receive thread", FindTask(start, transportTid), FindTask(end, transportTid),
               wall);
    PrintShare("whole process", Sum(start), Sum(end), wall);
    return true;
}

// A bare condition variable wait with a timeout, without TThread around it: the reference
// the loop's own sleep is measured against.
class ConditionSleep {
public:
    void Sleep(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

// Gives this thread the loop's own sleep, to measure it alone.
class SleepProbe final : public TThread {
public:
    using TThread::SleepUnlessTerminated;

protected:
    void Execute() override {}
};

struct CycleCost {
    const char* name;
    std::function<void()> run;
    std::vector<double> cpuMicroseconds;  // per cycle, one entry per block
    std::vector<double> wallMicroseconds;
    long allocations = 0;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void TimeBlock(CycleCost& cost) {
    const long allocationsBefore = allocations.load();
    const int64_t cpuStart = platform::ThreadCpuNanoseconds();
    const auto wallStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kBlockCycles; ++i) {
        cost.run();
    }
    const auto wall = std::chrono::steady_clock::now() - wallStart;
    cost.allocations += allocations.load() - allocationsBefore;
    cost.cpuMicroseconds.push_back(
        static_cast<double>(platform::ThreadCpuNanoseconds() - cpuStart) / 1e3 / kBlockCycles);
    cost.wallMicroseconds.push_back(std::chrono::duration<double, std::micro>(wall).count() /
                                    kBlockCycles);
}

// Drives a second, suspended call manager's cycles on this thread, in blocks that alternate
// with blocks of bare 5 ms sleeps, so that the machine's load falls on all of them alike.
bool MeasureCycles(int rounds) {
    BenchProxy proxy;
    SilentList list;
    CallManagerThread manager(true);
    ConfigureBenchPhone(manager, list, proxy.Port());
    manager.Start();
    manager.RunCycle();  // sends the REGISTER
    if (!proxy.AcceptRegistration(2000)) {
        return false;
    }
    for (int i = 0; i < 400 && !manager.Binding.Registered; ++i) {
        manager.RunCycle();
    }
    if (!manager.Binding.Registered) {
        return false;
    }
    ConditionSleep conditionSleep;
    std::vector<CycleCost> costs;
    costs.push_back({"idle call manager cycle (RunCycle)", [&] { manager.RunCycle(); }, {}, {}});
    SleepProbe probe;
    costs.push_back({"bare sleep, TThread::SleepUnlessTerminated",
                     [&] { probe.SleepUnlessTerminated(CallManagerThread::kCycleSleepMs); },
                     {},
                     {}});
    costs.push_back({"bare sleep, condition variable",
                     [&] { conditionSleep.Sleep(CallManagerThread::kCycleSleepMs); },
                     {},
                     {}});
    costs.push_back({"bare sleep, platform::SleepMs",
                     [] { platform::SleepMs(CallManagerThread::kCycleSleepMs); },
                     {},
                     {}});
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < costs.size(); ++k) {
            TimeBlock(costs[round % 2 == 0 ? k : costs.size() - 1 - k]);
        }
    }
    std::printf("per 5 ms cycle on one thread, median of %d interleaved blocks of %d:\n", rounds,
                kBlockCycles);
    for (const CycleCost& cost : costs) {
        const double cpu = Median(cost.cpuMicroseconds);
        std::printf(
            "  %-42s %6.2f us CPU (%.3f %% of one core at 200/s), %7.1f us long, %ld "
            "allocations\n",
            cost.name, cpu, cpu * 200 / 1e4, Median(cost.wallMicroseconds), cost.allocations);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    if (!MeasureRunningThread(seconds)) {
        std::fprintf(stderr, "call_idle_bench: the call manager did not register\n");
        return 1;
    }
    if (!MeasureCycles(rounds)) {
        std::fprintf(stderr, "call_idle_bench: the driven call manager did not register\n");
        return 1;
    }
    return 0;
}
