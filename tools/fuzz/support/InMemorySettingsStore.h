#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"

namespace fuzz {

// A settings key kept in memory for the fuzz targets, behaving like the file-based store where
// the loaders can tell: only the softphone's key opens, value names holding "/" or "\" are not
// usable, a missing value reads as empty and a stored text is cut at the longest value length.
class InMemorySettingsStore : public platform::SettingsStore {
public:
    explicit InMemorySettingsStore(bool keyExists = true) : keyExists_(keyExists) {}

    bool OpenKey(const std::string& key, bool canCreate) override {
        open_ = key == platform::kSoftPhoneSettingsKey && (keyExists_ || canCreate);
        return open_;
    }

    bool KeyOpen() const override { return open_; }

    std::string ReadString(const std::string& name) override {
        if (!open_ || !UsableName(name)) {
            return {};
        }
        const auto value = values_.find(name);
        if (value == values_.end()) {
            return {};
        }
        return value->second.substr(0, platform::kMaxSettingsValueLength);
    }

    bool WriteString(const std::string& name, const std::string& value) override {
        if (!open_ || !UsableName(name)) {
            return false;
        }
        values_[name] = value;
        keyExists_ = true;
        return true;
    }

    bool CloseKey() override {
        open_ = false;
        return true;
    }

    // Stores a value without opening the key, as an earlier run of the program left it.
    void Put(const std::string& name, const std::string& value) {
        values_[name] = value;
        keyExists_ = true;
    }

private:
    static bool UsableName(const std::string& name) {
        return !name.empty() && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
    }

    bool keyExists_;
    bool open_ = false;
    std::map<std::string, std::string> values_;
};

// The fuzz input as stored texts: one per line, so a value never holds a line break, as in
// the INI file the store keeps.
inline std::vector<std::string> SplitLines(const char* data, size_t size) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(data[i]);
        }
    }
    lines.push_back(line);
    return lines;
}

}  // namespace fuzz
