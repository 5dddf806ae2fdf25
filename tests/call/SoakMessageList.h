#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "call/CallView.h"
#include "platform/TCriticalSection.h"

namespace call_testing {

// The window's message list for a long run of calls: it keeps only the latest rows, so
// that its own memory stays flat however many calls go by, and numbers every row so that
// the test can follow one call from the call manager's thread without missing a row.
class SoakMessageList final : public MessageListView {
public:
    static constexpr size_t kKeptRows = 64;

    void AppendRow(const std::string& row) override;
    void ShowLastRows(int /*rows*/) override {}

    // Number of rows appended so far; the next row gets this number.
    size_t RowCount();
    // The kept rows numbered from first on (all of them when first is still kept).
    std::vector<std::string> RowsFrom(size_t first);
    // Whether a row at or after first equals row; *number (if given) is the first such.
    bool Find(const std::string& row, size_t first, size_t* number = nullptr);
    bool Has(const std::string& row, size_t first) { return Find(row, first); }

private:
    TCriticalSection lock_;
    std::deque<std::string> kept_;
    size_t count_ = 0;
};

}  // namespace call_testing
