#include "call/CallCommandQueue.h"

#include <mutex>
#include <utility>

bool CallCommandQueue::Post(Command command) {
    std::lock_guard<TCriticalSection> guard(lock_);
    if (closed_) {
        return false;
    }
    commands_.push_back(std::move(command));
    return true;
}

std::vector<CallCommandQueue::Command> CallCommandQueue::TakeAll() {
    std::lock_guard<TCriticalSection> guard(lock_);
    std::vector<Command> taken(std::make_move_iterator(commands_.begin()),
                               std::make_move_iterator(commands_.end()));
    commands_.clear();
    return taken;
}

void CallCommandQueue::Close() {
    std::deque<Command> dropped;
    {
        std::lock_guard<TCriticalSection> guard(lock_);
        closed_ = true;
        dropped.swap(commands_);
    }
}
