#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/IniSettingsStore.h"

// A private configuration folder for one test: the test reads and writes a real INI file
// while the user's own settings stay untouched.
class SettingsTestHome {
public:
    SettingsTestHome() { setenv("XDG_CONFIG_HOME", folder_.c_str(), 1); }
    ~SettingsTestHome() { unsetenv("XDG_CONFIG_HOME"), std::filesystem::remove_all(folder_); }

    std::filesystem::path File() const { return folder_ / "KYRSoftPhone" / "KYRSoftPhone.ini"; }
    // Stands for the user (or another program) editing the file.
    void WriteFile(const std::string& text) const {
        std::filesystem::create_directories(File().parent_path());
        std::ofstream(File(), std::ios::binary) << text;
    }
    // As an earlier run of the program would have written them.
    static void Store(const std::map<std::string, std::string>& values) {
        platform::IniSettingsStore store;
        store.OpenKey(platform::kSoftPhoneSettingsKey, true);
        for (const auto& [name, value] : values) {
            store.WriteString(name, value);
        }
        store.CloseKey();
    }
    static std::string Stored(const std::string& name) {
        platform::IniSettingsStore store;
        return store.OpenKey(platform::kSoftPhoneSettingsKey, false) ? store.ReadString(name) : "";
    }

private:
    std::filesystem::path folder_ = [] {
        char pattern[] = "/tmp/settings-test-XXXXXX";
        return std::filesystem::path(mkdtemp(pattern));
    }();
};
