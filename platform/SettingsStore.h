#pragma once

#include <memory>
#include <string>

namespace platform {

// The key under the current user that holds the softphone's settings and phone book.
inline constexpr const char* kSoftPhoneSettingsKey = "\\Software\\KYRSoftPhone";

// The current user's settings, shaped like a registry key so that a registry back end can take
// the place of the file-based one: open a key, read and write string values, close it.
// Values are 8-bit text; numbers are kept as decimal text by the callers.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Opens a key below the current user ("\Software\Vendor[\...]"), closing any key opened
    // before. Without canCreate a key that does not exist yet does not open. With canCreate the
    // key opens, but nothing appears on disk until the first value is written.
    virtual bool OpenKey(const std::string& key, bool canCreate) = 0;

    virtual bool KeyOpen() const = 0;

    // A value that is missing, or no open key, reads as empty text.
    virtual std::string ReadString(const std::string& name) = 0;

    // Stages a value; it reaches the disk when the key is closed. False when no key is open or
    // the name is not a usable value name.
    virtual bool WriteString(const std::string& name, const std::string& value) = 0;

    // Saves what was written and releases the key. False when written values could not be
    // saved; closing a key that was only read always succeeds.
    virtual bool CloseKey() = 0;
};

// The store of the user running the program: one INI file per key below $XDG_CONFIG_HOME
// (or ~/.config), "\Software\KYRSoftPhone" being KYRSoftPhone/KYRSoftPhone.ini.
std::unique_ptr<SettingsStore> CreateUserSettingsStore();

// Longest value text handed out by ReadString; longer stored texts are cut.
inline constexpr size_t kMaxSettingsValueLength = 4096;

}  // namespace platform
