#pragma once

#include <optional>
#include <string>
#include <vector>

namespace settings {

// The user's phone book as three parallel lists: entry i is item i of PhoneBookNumbers,
// PhoneBookNames and PhoneBookSpeedCodes. The numbers stay sorted as text, ignoring case, so
// the book is always ordered by number ("100" before "20"). Every look-up ignores case and
// matches whole items.
//
// Kept by every change: no two entries share a number, no two share a name, and no two share a
// speed code other than the placeholder "nil" of entries without one.
class PhoneBook {
public:
    // Speed code stored for an entry that has none.
    static constexpr const char* kNoSpeedCode = "nil";
    // The parts of an entry's stored text: number, "*%*", name, "*:*", speed code.
    static constexpr const char* kNumberNameSeparator = "*%*";
    static constexpr const char* kNameSpeedSeparator = "*:*";
    // The stored form loads at most this many entries, so the book never grows beyond it: a
    // bigger book would be saved and then load empty.
    static constexpr int kMaxEntries = 50;

    struct Entry {
        std::string number;
        std::string name;
        std::string speedCode;
    };

    const std::vector<std::string>& PhoneBookNumbers() const { return numbers_; }
    const std::vector<std::string>& PhoneBookNames() const { return names_; }
    const std::vector<std::string>& PhoneBookSpeedCodes() const { return speedCodes_; }

    int Count() const { return static_cast<int>(numbers_.size()); }
    bool Empty() const { return numbers_.empty(); }
    bool Full() const { return Count() >= kMaxEntries; }
    bool ValidIndex(int index) const { return index >= 0 && index < Count(); }
    Entry At(int index) const;

    // Position of the first whole-item match ignoring case, or -1.
    int IndexOfNumber(const std::string& number) const;
    int IndexOfName(const std::string& name) const;
    int IndexOfSpeedCode(const std::string& speedCode) const;

    // Whether an entry typed by the user may join the book: number and name not present and
    // free of the stored form's separators, speed code empty (none) or not present.
    bool Accepts(const std::string& number, const std::string& name,
                 const std::string& speedCode) const;

    // Inserts the entry at the sorted position of its number and returns that position; an
    // empty speed code is stored as "nil". Returns -1 and changes nothing when the number or
    // name is empty or present, the speed code (other than "nil") is present, or the book is
    // full.
    int Add(const std::string& number, const std::string& name, const std::string& speedCode);

    // Removes entry index from all three lists; false for an index out of range.
    bool Delete(int index);

    // The number to dial for what the user typed: the number of the first entry whose speed
    // code equals it (ignoring case), or nothing when no entry has that code.
    std::optional<std::string> SpeedDialNumber(const std::string& typed) const;

    // Case-insensitive text order of two items; negative, zero or positive.
    static int CompareText(const std::string& a, const std::string& b);
    static bool SameText(const std::string& a, const std::string& b) {
        return CompareText(a, b) == 0;
    }

private:
    static int IndexIn(const std::vector<std::string>& list, const std::string& item);
    int SortedPositionOf(const std::string& number) const;

    std::vector<std::string> numbers_;
    std::vector<std::string> names_;
    std::vector<std::string> speedCodes_;
};

}  // namespace settings
