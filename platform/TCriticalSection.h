#pragma once

#include <mutex>

// The framework's critical section. Also usable with std::lock_guard.
class TCriticalSection {
public:
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }
    void Enter() { Acquire(); }
    void Leave() { Release(); }
    void lock() { Acquire(); }
    void unlock() { Release(); }

private:
    std::mutex mutex_;
};
