#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A private configuration folder for one test, so that the user's own settings stay untouched.
class SettingsTestHome {
  public:
    SettingsTestHome() {
        char pattern[] = "/tmp/settings-test-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    ~SettingsTestHome() {
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(folder_);
    }
    SettingsTestHome(const SettingsTestHome&) = delete;
    SettingsTestHome& operator=(const SettingsTestHome&) = delete;

    std::filesystem::path File() const { return folder_ / "KYRSoftPhone" / "KYRSoftPhone.ini"; }

    // Stands for the user (or another program) editing the file.
    void WriteFile(const std::string& text) const {
        std::filesystem::create_directories(File().parent_path());
        std::ofstream(File(), std::ios::binary) << text;
    }

    std::string FileText() const {
        std::ifstream in(File(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path folder_;
};
