#pragma once

#include <memory>
#include <string>

#include "platform/SettingsStore.h"

namespace platform {

// The settings store kept as INI files (QSettings) below the user's configuration folder.
// Files hold the account key, so they are created readable by the owner only, and every save
// replaces the file through a temporary copy: a program killed while saving leaves either the
// old or the new file, never a half-written one.
class IniSettingsStore final : public SettingsStore {
public:
    IniSettingsStore();
    ~IniSettingsStore() override;

    bool OpenKey(const std::string& key, bool canCreate) override;
    bool KeyOpen() const override;
    std::string ReadString(const std::string& name) override;
    bool WriteString(const std::string& name, const std::string& value) override;
    bool CloseKey() override;

    // The file that stands for a key, looked up afresh on every call so that a changed
    // XDG_CONFIG_HOME is followed; empty for a key outside "\Software\..." or with unusable parts.
    static std::string FilePathOfKey(const std::string& key);

private:
    struct OpenFile;
    bool PrepareFileForWriting();

    std::unique_ptr<OpenFile> open_;
};

}  // namespace platform
