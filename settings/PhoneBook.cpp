#include "settings/PhoneBook.h"

#include <algorithm>
#include <cctype>

namespace settings {

namespace {

unsigned char FoldCase(char c) {
    return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
}

// Every look-up ignores case, so "NIL" must mean "no code" as much as "nil" does: otherwise a
// book holding both loads whole only in one order, and a save can lose an entry.
bool IsNoSpeedCode(const std::string& speedCode) {
    return speedCode.empty() || PhoneBook::SameText(speedCode, PhoneBook::kNoSpeedCode);
}

bool HoldsSeparator(const std::string& text) {
    return text.find(PhoneBook::kNumberNameSeparator) != std::string::npos ||
           text.find(PhoneBook::kNameSpeedSeparator) != std::string::npos;
}

}  // namespace

int PhoneBook::CompareText(const std::string& a, const std::string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char ca = FoldCase(a[i]);
        const unsigned char cb = FoldCase(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

PhoneBook::Entry PhoneBook::At(int index) const {
    if (!ValidIndex(index)) {
        return {};
    }
    const auto i = static_cast<size_t>(index);
    return {numbers_[i], names_[i], speedCodes_[i]};
}

int PhoneBook::IndexIn(const std::vector<std::string>& list, const std::string& item) {
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&item](const std::string& s) { return SameText(s, item); });
    return found == list.end() ? -1 : static_cast<int>(found - list.begin());
}

int PhoneBook::IndexOfNumber(const std::string& number) const {
    return IndexIn(numbers_, number);
}

int PhoneBook::IndexOfName(const std::string& name) const {
    return IndexIn(names_, name);
}

int PhoneBook::IndexOfSpeedCode(const std::string& speedCode) const {
    return IndexIn(speedCodes_, speedCode);
}

bool PhoneBook::Accepts(const std::string& number, const std::string& name,
                        const std::string& speedCode) const {
    // A separator inside a number or name would split the entry differently when the book is
    // loaded again, so such an entry is refused rather than lost later.
    if (HoldsSeparator(number) || HoldsSeparator(name)) {
        return false;
    }
    // "nil" typed by hand counts as a code here, so it is refused while some entry has none.
    const bool speedFree = speedCode.empty() || IndexOfSpeedCode(speedCode) < 0;
    return IndexOfNumber(number) < 0 && IndexOfName(name) < 0 && speedFree;
}

int PhoneBook::SortedPositionOf(const std::string& number) const {
    const auto at = std::lower_bound(
        numbers_.begin(), numbers_.end(), number,
        [](const std::string& item, const std::string& n) { return CompareText(item, n) < 0; });
    return static_cast<int>(at - numbers_.begin());
}

int PhoneBook::Add(const std::string& number, const std::string& name,
                   const std::string& speedCode) {
    if (Full() || number.empty() || name.empty()) {
        return -1;
    }
    if (IndexOfNumber(number) >= 0 || IndexOfName(name) >= 0) {
        return -1;
    }
    if (!IsNoSpeedCode(speedCode) && IndexOfSpeedCode(speedCode) >= 0) {
        return -1;
    }
    const int position = SortedPositionOf(number);
    const auto offset = static_cast<std::ptrdiff_t>(position);
    numbers_.insert(numbers_.begin() + offset, number);
    names_.insert(names_.begin() + offset, name);
    speedCodes_.insert(speedCodes_.begin() + offset, speedCode.empty() ? kNoSpeedCode : speedCode);
    return position;
}

bool PhoneBook::Delete(int index) {
    if (!ValidIndex(index)) {
        return false;
    }
    const auto offset = static_cast<std::ptrdiff_t>(index);
    numbers_.erase(numbers_.begin() + offset);
    names_.erase(names_.begin() + offset);
    speedCodes_.erase(speedCodes_.begin() + offset);
    return true;
}

std::optional<std::string> PhoneBook::SpeedDialNumber(const std::string& typed) const {
    const int index = IndexOfSpeedCode(typed);
    if (index < 0) {
        return std::nullopt;
    }
    return numbers_[static_cast<size_t>(index)];
}

}  // namespace settings
