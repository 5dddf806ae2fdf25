#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "call/CallView.h"
#include "platform/TCriticalSection.h"

// The main window's message list and lamp as a probe sees them: everything the call
// manager shows, kept in order and readable from the probe's thread.
class FaultShownLines final : public MessageListView {
public:
    void AppendRow(const std::string& row) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        rows_.push_back(row);
    }
    void ShowLastRows(int) override {}

    std::vector<std::string> Rows() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return rows_;
    }
    size_t Count() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return rows_.size();
    }
    // Rows from index first on.
    std::vector<std::string> RowsFrom(size_t first) {
        std::lock_guard<TCriticalSection> guard(lock_);
        return first < rows_.size()
                   ? std::vector<std::string>(rows_.begin() + static_cast<long>(first), rows_.end())
                   : std::vector<std::string>();
    }

private:
    TCriticalSection lock_;
    std::vector<std::string> rows_;
};

class FaultLamp final : public StatusLampView {
public:
    void SetBrushColor(uint32_t rgb) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        // Repeats of one colour change nothing on the screen.
        if (colours_.empty() || colours_.back() != rgb) {
            colours_.push_back(rgb);
        }
    }
    std::vector<uint32_t> Colours() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return colours_;
    }
    uint32_t Last() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return colours_.empty() ? 0 : colours_.back();
    }

private:
    TCriticalSection lock_;
    std::vector<uint32_t> colours_;
};
