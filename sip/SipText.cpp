#include "sip/SipText.h"

#include <utility>

#include <limits>

namespace sip_text {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

size_t FindNoCase(std::string_view text, std::string_view what) {
    if (what.size() > text.size()) {
        return std::string_view::npos;
    }
    for (size_t i = 0; i + what.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, what.size()), what)) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

int32_t ReadNumber(std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty()) {
        return -1;
    }
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<int32_t>::max()) {
            return -1;
        }
    }
    return static_cast<int32_t>(value);
}

std::vector<std::string_view> SplitList(std::string_view value, size_t max) {
    std::vector<std::string_view> entries;
    bool quoted = false;
    bool bracketed = false;
    size_t start = 0;
    for (size_t i = 0; i <= value.size() && entries.size() < max; ++i) {
        const char c = i < value.size() ? value[i] : ',';
        if (quoted) {
            if (c == '\\') {
                ++i;  // the escaped character, whatever it is
            } else if (c == '"') {
                quoted = false;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            bracketed = true;
        } else if (c == '>') {
            bracketed = false;
        } else if (c == ',' && !bracketed) {
            const std::string_view entry = TrimBlanks(value.substr(start, i - start));
            if (!entry.empty()) {
                entries.push_back(entry);
            }
            start = i + 1;
        }
    }
    // An unclosed quote or bracket runs to the end: the rest is one last entry.
    if ((quoted || bracketed) && entries.size() < max && start < value.size()) {
        const std::string_view entry = TrimBlanks(value.substr(start));
        if (!entry.empty()) {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::string Unquote(std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty() || text.front() != '"') {
        return std::string(text);
    }
    std::string content;
    for (size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        content.push_back(text[i]);
    }
    return content;
}

std::optional<std::string> Parameter(std::string_view parameters, std::string_view name) {
    while (!parameters.empty()) {
        const size_t end = parameters.find(';');
        const std::string_view piece = parameters.substr(0, end);
        const size_t equals = piece.find('=');
        if (EqualsNoCase(TrimBlanks(piece.substr(0, equals)), name)) {
            return equals == std::string_view::npos ? std::string()
                                                    : Unquote(piece.substr(equals + 1));
        }
        if (end == std::string_view::npos) {
            break;
        }
        parameters.remove_prefix(end + 1);
    }
    return std::nullopt;
}

// The tag of a From or To value: everything after "tag=", unless it holds a blank.
std::string TagOf(std::string_view value) {
    const size_t at = FindNoCase(value, "tag=");
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view tag = value.substr(at + 4);
    return tag.find_first_of(" \t") == std::string_view::npos ? std::string(tag) : std::string();
}

// One Contact entry: the URI inside <> (or, without them, up to the first ';') and the
// expires parameter that follows it.
SipContact ContactOf(std::string_view entry) {
    size_t from = 0;
    if (!entry.empty() && entry.front() == '"') {
        // A display name may hold '<' or ';' of its own.
        from = 1;
        while (from < entry.size() && entry[from] != '"') {
            from += entry[from] == '\\' ? 2 : 1;
        }
    }
    std::string_view uri;
    std::string_view parameters;
    const size_t open = entry.find('<', from);
    if (open != std::string_view::npos) {
        const size_t close = entry.find('>', open);
        uri = entry.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
        parameters = close == std::string_view::npos ? std::string_view() : entry.substr(close + 1);
    } else {
        const size_t semicolon = entry.find(';');
        uri = entry.substr(0, semicolon);
        parameters =
            semicolon == std::string_view::npos ? std::string_view() : entry.substr(semicolon + 1);
    }
    SipContact contact;
    contact.Uri = std::string(TrimBlanks(uri));
    const std::optional<std::string> expires = Parameter(parameters, "expires");
    contact.Expires = expires ? ReadNumber(*expires) : -1;
    return contact;
}

// realm, nonce, opaque, qop and algorithm of a "Digest" challenge value, in any order and
// spacing, quoted or not; nullopt for another scheme.
std::optional<Challenge> ChallengeOf(std::string_view value, size_t maxParameters) {
    const size_t blank = value.find_first_of(" \t");
    if (blank == std::string_view::npos || !EqualsNoCase(value.substr(0, blank), "Digest")) {
        return std::nullopt;
    }
    Challenge challenge;
    for (const std::string_view entry : SplitList(value.substr(blank + 1), maxParameters)) {
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = TrimBlanks(entry.substr(0, equals));
        std::string text = Unquote(entry.substr(equals + 1));
        if (EqualsNoCase(name, "realm")) {
            challenge.realm = std::move(text);
        } else if (EqualsNoCase(name, "nonce")) {
            challenge.nonce = std::move(text);
        } else if (EqualsNoCase(name, "opaque")) {
            challenge.opaque = std::move(text);
        } else if (EqualsNoCase(name, "qop")) {
            challenge.qop = std::move(text);
        } else if (EqualsNoCase(name, "algorithm")) {
            challenge.algorithm = std::move(text);
        }
    }
    return challenge;
}

}  // namespace sip_text
