#pragma once

#include <optional>
#include <string>

#include "platform/SettingsStore.h"
#include "settings/PhoneBook.h"

namespace settings {

// The phone book's stored form in the settings key: "PhoneBookCount" holds the number of
// entries as decimal text, "PhoneAddress.1" ... "PhoneAddress.N" one entry each as
// number "*%*" name "*:*" speed code ("nil" for none).

// The stored text of one entry.
std::string PhoneBookEntryText(const PhoneBook::Entry& entry);

// Splits a stored text at the first "*%*" and the first "*:*". Nothing when the number or the
// name would be empty; nothing after "*:*" gives the speed code "nil".
std::optional<PhoneBook::Entry> ParsePhoneBookEntryText(const std::string& text);

// Adds the stored entries to book from a key already opened in store. The book is not cleared
// first: an entry whose number, name or speed code (other than "nil") the book already holds is
// skipped, as is every malformed one. A count that is missing, not a number or above 50 loads
// nothing. Returns the number of entries added.
int LoadPhoneBook(PhoneBook& book, platform::SettingsStore& store);

// Opens the settings key (creating it), writes the count and every entry, and closes the key.
// Values numbered above the count are left alone: loading ignores them. False when the key
// cannot be opened or the values cannot be saved.
bool SavePhoneBook(const PhoneBook& book, platform::SettingsStore& store);

}  // namespace settings
