#include "TThread.h"

#include <chrono>

TThread::TThread() = default;

TThread::~TThread() {
    TerminateAndWait();
}

void TThread::Resume() {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (started_.exchange(true)) {
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

void TThread::Run() {
    Execute();
    finished_.store(true, std::memory_order_release);
}

void TThread::Terminate() {
    {
        std::lock_guard<std::mutex> guard(sleepMutex_);
        terminated_.store(true, std::memory_order_release);
    }
    sleepWake_.notify_all();
    WakeUp();
}

void TThread::WaitFor() {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void TThread::TerminateAndWait() {
    Terminate();
    WaitFor();
}

void TThread::Nudge() {
    {
        std::lock_guard<std::mutex> guard(sleepMutex_);
        nudged_ = true;
    }
    sleepWake_.notify_all();
}

bool TThread::SleepUnlessTerminated(int ms) {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    sleepWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Terminated(); });
    return !Terminated();
}

bool TThread::SleepUntilNudged(int ms) {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    sleepWake_.wait_for(lock, std::chrono::milliseconds(ms),
                        [this] { return nudged_ || Terminated(); });
    nudged_ = false;
    return !Terminated();
}
