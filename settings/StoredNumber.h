#pragma once

#include <optional>
#include <string_view>

namespace settings {

// A number kept as decimal text (ports, counts): digits only, surrounding blanks allowed,
// between lowest and highest. Anything else, empty text included, gives no number, so a value
// damaged by hand falls back to its default instead of making the settings unusable.
std::optional<int> ParseStoredNumber(std::string_view text, int lowest, int highest);

inline constexpr int kHighestPort = 65535;

}  // namespace settings
