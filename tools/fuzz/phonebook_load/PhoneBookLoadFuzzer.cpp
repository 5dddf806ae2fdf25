#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"
#include "settings/PhoneBook.h"
#include "settings/PhoneBookStorage.h"
#include "tools/fuzz/support/InMemorySettingsStore.h"

// The phone book is read at start-up from text anyone with access to the user's settings file
// may have edited. The input is split into lines: the first is the stored "PhoneBookCount",
// line N is "PhoneAddress.N". Whatever was stored, the loaded book must keep its rules, loading
// the same key again must add nothing, and saving the book must load back the same book.

namespace {

using settings::PhoneBook;

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

bool IsNoSpeedCode(const std::string& code) {
    return code.empty() || PhoneBook::SameText(code, PhoneBook::kNoSpeedCode);
}

void CheckRules(const PhoneBook& book) {
    const auto& numbers = book.PhoneBookNumbers();
    const auto& names = book.PhoneBookNames();
    const auto& codes = book.PhoneBookSpeedCodes();
    Check(numbers.size() == names.size() && names.size() == codes.size());
    Check(book.Count() <= PhoneBook::kMaxEntries);
    for (size_t i = 0; i < numbers.size(); ++i) {
        Check(!numbers[i].empty() && !names[i].empty() && !codes[i].empty());
        if (i + 1 < numbers.size()) {
            // Strictly ascending: sorted, and no number twice.
            Check(PhoneBook::CompareText(numbers[i], numbers[i + 1]) < 0);
        }
        for (size_t j = i + 1; j < numbers.size(); ++j) {
            Check(!PhoneBook::SameText(numbers[i], numbers[j]));
            Check(!PhoneBook::SameText(names[i], names[j]));
            Check(IsNoSpeedCode(codes[i]) || IsNoSpeedCode(codes[j]) ||
                  !PhoneBook::SameText(codes[i], codes[j]));
        }
        // A real code dials its own entry ("nil" in any case may match an entry without one).
        if (!PhoneBook::SameText(codes[i], PhoneBook::kNoSpeedCode)) {
            const auto dialled = book.SpeedDialNumber(codes[i]);
            Check(dialled.has_value() && *dialled == numbers[i]);
        }
    }
}

bool SameBook(const PhoneBook& a, const PhoneBook& b) {
    return a.PhoneBookNumbers() == b.PhoneBookNumbers() &&
           a.PhoneBookNames() == b.PhoneBookNames() &&
           a.PhoneBookSpeedCodes() == b.PhoneBookSpeedCodes();
}

// An entry whose stored text would be longer than the store hands back cannot come back whole
// (an empty speed code is saved as "nil", three bytes more than was read).
bool FitsInStore(const PhoneBook& book) {
    for (int i = 0; i < book.Count(); ++i) {
        if (settings::PhoneBookEntryText(book.At(i)).size() > platform::kMaxSettingsValueLength) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> lines =
        fuzz::SplitLines(reinterpret_cast<const char*>(data), size);
    fuzz::InMemorySettingsStore store;
    store.Put("PhoneBookCount", lines[0]);
    for (size_t n = 1; n < lines.size(); ++n) {
        store.Put("PhoneAddress." + std::to_string(n), lines[n]);
    }
    Check(store.OpenKey(platform::kSoftPhoneSettingsKey, false));

    PhoneBook book;
    const int added = settings::LoadPhoneBook(book, store);
    Check(added >= 0 && added == book.Count());
    CheckRules(book);

    // Every stored entry is now either in the book or in conflict with it.
    const PhoneBook loaded = book;
    Check(settings::LoadPhoneBook(book, store) == 0);
    Check(SameBook(book, loaded));
    store.CloseKey();

    fuzz::InMemorySettingsStore saved(false);
    Check(settings::SavePhoneBook(book, saved));
    if (FitsInStore(book)) {
        PhoneBook reloaded;
        Check(saved.OpenKey(platform::kSoftPhoneSettingsKey, false));
        Check(settings::LoadPhoneBook(reloaded, saved) == book.Count());
        Check(SameBook(reloaded, book));
        saved.CloseKey();
    }
    return 0;
}
