#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The worker thread base: created suspended, started once by Resume, asked to stop by
// Terminate, which Execute notices after its current wait. The owner stops a thread with
// Terminate and WaitFor before it releases anything the thread uses; a derived class calls
// TerminateAndWait in its own destructor, because Execute must not outlive its members.
class TThread {
public:
    TThread();
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Resume();
    void Terminate();
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    // Joins the thread; returns at once when it never started or was already joined.
    void WaitFor();
    void TerminateAndWait();
    // Ends a SleepUntilNudged of this thread early; one that comes before the sleep ends the
    // next sleep at once, so a nudge is never lost. Any thread may call it.
    void Nudge();
    bool Started() const { return started_.load(std::memory_order_acquire); }
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

protected:
    virtual void Execute() = 0;
    // Called by Terminate so that a loop blocked in a wait of its own can return early.
    virtual void WakeUp() {}
    // Sleeps up to ms milliseconds, less when Terminate is called meanwhile.
    // Returns false when the thread has been asked to terminate.
    bool SleepUnlessTerminated(int ms);
    // The same, but also ends at Nudge.
    bool SleepUntilNudged(int ms);

private:
    void Run();

    std::thread thread_;
    std::mutex joinMutex_;
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::mutex sleepMutex_;
    std::condition_variable sleepWake_;
    bool nudged_ = false;  // under sleepMutex_
};
