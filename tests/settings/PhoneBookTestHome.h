#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>
#include <string>

#include "platform/IniSettingsStore.h"
#include "platform/SettingsStore.h"

// Points the settings store at a fresh configuration folder for the life of the object, so a
// test reads and writes a real INI file without touching the user's own settings.
class PhoneBookTestHome {
  public:
    PhoneBookTestHome()
        : hadPrevious_(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")),
          previous_(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", folder_.path().toUtf8());
    }
    ~PhoneBookTestHome() {
        if (hadPrevious_) {
            qputenv("XDG_CONFIG_HOME", previous_);
        } else {
            qunsetenv("XDG_CONFIG_HOME");
        }
    }
    PhoneBookTestHome(const PhoneBookTestHome&) = delete;
    PhoneBookTestHome& operator=(const PhoneBookTestHome&) = delete;

    std::string SettingsFile() const {
        return platform::IniSettingsStore::FilePathOfKey(platform::kSoftPhoneSettingsKey);
    }

    // Writes values into the settings key as another program run would have left them.
    static void Store(std::initializer_list<std::pair<std::string, std::string>> values) {
        platform::IniSettingsStore store;
        store.OpenKey(platform::kSoftPhoneSettingsKey, true);
        for (const auto& [name, value] : values) {
            store.WriteString(name, value);
        }
        store.CloseKey();
    }

  private:
    QTemporaryDir folder_;
    bool hadPrevious_;
    QByteArray previous_;
};
