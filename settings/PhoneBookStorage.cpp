#include "settings/PhoneBookStorage.h"

#include "settings/StoredNumber.h"

namespace settings {

namespace {

constexpr const char* kCountValue = "PhoneBookCount";
constexpr const char* kEntryValuePrefix = "PhoneAddress.";

std::string EntryValueName(int position) {
    return kEntryValuePrefix + std::to_string(position);
}

}  // namespace

std::string PhoneBookEntryText(const PhoneBook::Entry& entry) {
    const std::string& speed = entry.speedCode.empty() ? PhoneBook::kNoSpeedCode : entry.speedCode;
    return entry.number + PhoneBook::kNumberNameSeparator + entry.name +
           PhoneBook::kNameSpeedSeparator + speed;
}

std::optional<PhoneBook::Entry> ParsePhoneBookEntryText(const std::string& text) {
    const size_t nameSeparator = text.find(PhoneBook::kNumberNameSeparator);
    const size_t speedSeparator = text.find(PhoneBook::kNameSpeedSeparator);
    const size_t separatorLength = 3;
    if (nameSeparator == std::string::npos || speedSeparator == std::string::npos) {
        return std::nullopt;
    }
    const bool hasNumber = nameSeparator > 0;
    const bool hasName = speedSeparator > nameSeparator + separatorLength;
    if (!hasNumber || !hasName) {
        return std::nullopt;
    }
    const size_t nameStart = nameSeparator + separatorLength;
    PhoneBook::Entry entry;
    entry.number = text.substr(0, nameSeparator);
    entry.name = text.substr(nameStart, speedSeparator - nameStart);
    entry.speedCode = text.substr(speedSeparator + separatorLength);
    if (entry.speedCode.empty()) {
        entry.speedCode = PhoneBook::kNoSpeedCode;
    }
    return entry;
}

int LoadPhoneBook(PhoneBook& book, platform::SettingsStore& store) {
    // A bigger book than can be kept loads nothing at all, as does an unreadable count.
    const std::optional<int> count =
        ParseStoredNumber(store.ReadString(kCountValue), 0, PhoneBook::kMaxEntries);
    if (!count) {
        return 0;
    }
    int added = 0;
    for (int position = 1; position <= *count; ++position) {
        const std::optional<PhoneBook::Entry> entry =
            ParsePhoneBookEntryText(store.ReadString(EntryValueName(position)));
        if (entry && book.Add(entry->number, entry->name, entry->speedCode) >= 0) {
            ++added;
        }
    }
    return added;
}

bool SavePhoneBook(const PhoneBook& book, platform::SettingsStore& store) {
    if (!store.OpenKey(platform::kSoftPhoneSettingsKey, true)) {
        return false;
    }
    bool written = store.WriteString(kCountValue, std::to_string(book.Count()));
    for (int index = 0; index < book.Count(); ++index) {
        written =
            store.WriteString(EntryValueName(index + 1), PhoneBookEntryText(book.At(index))) &&
            written;
    }
    return store.CloseKey() && written;
}

}  // namespace settings
