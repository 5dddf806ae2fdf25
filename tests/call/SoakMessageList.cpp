#include "tests/call/SoakMessageList.h"

#include <mutex>

namespace call_testing {

void SoakMessageList::AppendRow(const std::string& row) {
    std::lock_guard<TCriticalSection> guard(lock_);
    if (kept_.size() == kKeptRows) {
        kept_.pop_front();
    }
    kept_.push_back(row);
    ++count_;
}

size_t SoakMessageList::RowCount() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return count_;
}

std::vector<std::string> SoakMessageList::RowsFrom(size_t first) {
    std::lock_guard<TCriticalSection> guard(lock_);
    const size_t oldest = count_ - kept_.size();
    const size_t skip = first > oldest ? first - oldest : 0;
    if (skip >= kept_.size()) {
        return {};
    }
    return std::vector<std::string>(kept_.begin() + static_cast<long>(skip), kept_.end());
}

bool SoakMessageList::Find(const std::string& row, size_t first, size_t* number) {
    std::lock_guard<TCriticalSection> guard(lock_);
    const size_t oldest = count_ - kept_.size();
    for (size_t at = first > oldest ? first : oldest; at < count_; ++at) {
        if (kept_[at - oldest] == row) {
            if (number != nullptr) {
                *number = at;
            }
            return true;
        }
    }
    return false;
}

}  // namespace call_testing
