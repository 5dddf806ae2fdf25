#pragma once

#include <QString>
#include <string>

// Text crosses into the core and the settings store as UTF-8, as the dialogs write it.
inline std::string ToBytes(const QString& text) {
    return text.toStdString();
}

inline QString FromBytes(const std::string& text) {
    return QString::fromStdString(text);
}
