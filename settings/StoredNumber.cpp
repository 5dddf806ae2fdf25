#include "settings/StoredNumber.h"

#include <charconv>

namespace settings {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::optional<int> ParseStoredNumber(std::string_view text, int lowest, int highest) {
    const std::string_view digits = TrimBlanks(text);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value < lowest ||
        value > highest) {
        return std::nullopt;
    }
    return value;
}

}  // namespace settings
