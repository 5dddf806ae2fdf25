#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/SIPSDPMessage.h"

// The text rules of SIP header values: names, lists, parameters, numbers, and the few
// compound values the parser takes apart (tags, contacts, digest challenges).
namespace sip_text {

bool EqualsNoCase(std::string_view a, std::string_view b);
// Position of the first case-insensitive occurrence of what, npos when absent.
size_t FindNoCase(std::string_view text, std::string_view what);
// Without leading and trailing blanks (space, tab).
std::string_view TrimBlanks(std::string_view text);
// A decimal number, blanks around it allowed; -1 for anything else, including a value beyond
// 32 bits.
int32_t ReadNumber(std::string_view text);
// The entries of a comma-separated header value, trimmed, at most max of them; a comma inside
// a quoted string or inside <> separates nothing.
std::vector<std::string_view> SplitList(std::string_view value, size_t max);
// A quoted string's content without quotes and escapes; any other text as it is.
std::string Unquote(std::string_view text);
// The value of parameter name (case-insensitive) in ";a=1;b=2" text, unquoted; nullopt when
// absent.
std::optional<std::string> Parameter(std::string_view parameters, std::string_view name);

// The tag of a From or To value: everything after "tag=", empty when that holds a blank.
std::string TagOf(std::string_view value);
// One Contact entry: the URI inside <> (or, without them, up to the first ';') and the
// expires parameter that follows it.
SipContact ContactOf(std::string_view entry);

// The parameters of one digest challenge.
struct Challenge {
    std::string realm;
    std::string nonce;
    std::string opaque;
    std::string qop;
    std::string algorithm;
};

// realm, nonce, opaque, qop and algorithm of a "Digest" challenge value, in any order and
// spacing, quoted or not, reading at most maxParameters; nullopt for another scheme.
std::optional<Challenge> ChallengeOf(std::string_view value, size_t maxParameters);

}  // namespace sip_text
