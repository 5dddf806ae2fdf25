#include "IniSettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <vector>

namespace platform {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kOwnerOnlyFolder = kOwnerOnly | QFileDevice::ExeOwner;

QString UserConfigFolder() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured)) {
        return configured;
    }
    return QDir::homePath() + QStringLiteral("/.config");
}

bool IsUsableKeyPart(const std::string& part) {
    return !part.empty() && part != "." && part != ".." &&
           part.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::vector<std::string> SplitKey(const std::string& key) {
    std::vector<std::string> parts;
    size_t start = key.starts_with('\\') ? 1 : 0;
    while (start <= key.size()) {
        const size_t end = std::min(key.find('\\', start), key.size());
        parts.push_back(key.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool IsUsableValueName(const std::string& name) {
    // QSettings would read "/" and "\" as group separators.
    return !name.empty() && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Text written by another program may come back as a list (a line with commas) or as bytes.
std::string TextOf(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::QString:
            return value.toString().toStdString();
        case QMetaType::QStringList:
            return value.toStringList().join(QLatin1Char(',')).toStdString();
        case QMetaType::QByteArray:
            return value.toByteArray().toStdString();
        default:
            return value.canConvert<QString>() ? value.toString().toStdString() : std::string();
    }
}

// A key's values sit outside any INI section. A broken section line in a damaged file puts the
// values after it into a section of its own (kept so when the file is saved again); they are
// still the key's values, found when no value of that name is outside.
QVariant ValueOf(const QSettings& settings, const QString& name) {
    QVariant value = settings.value(name);
    if (value.isValid()) {
        return value;
    }
    const QString groupedName = QLatin1Char('/') + name;
    for (const QString& key : settings.allKeys()) {
        if (key.endsWith(groupedName)) {
            return settings.value(key);
        }
    }
    return value;
}

// Settings files are small; a bigger one is not ours to rewrite.
constexpr qint64 kMaxRepairedFileSize = 1 << 20;

// QSettings reads a line break inside quotes as part of the value, so one quote left open by
// a damaged file would swallow every line after it. Closes such a quote where its line ends,
// scanning as QSettings does: a backslash escapes the next character, a line that starts
// with ";" is a comment.
QByteArray WithOpenQuotesClosed(const QByteArray& text) {
    QByteArray repaired;
    repaired.reserve(text.size() + 16);
    bool inQuotes = false;
    bool lineStart = true;
    bool comment = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            if (inQuotes) {
                repaired += '"';
                inQuotes = false;
            }
            repaired += c;
            lineStart = true;
            comment = false;
            continue;
        }
        comment = comment || (lineStart && c == ';');
        lineStart = false;
        repaired += c;
        if (comment) {
            continue;
        }
        if (c == '\\' && i + 1 < text.size()) {
            repaired += text[++i];
        } else if (c == '"') {
            inQuotes = !inQuotes;
        }
    }
    if (inQuotes) {
        repaired += '"';
    }
    return repaired;
}

// Repairs open quotes in place (a temporary file renamed over it, owner-only) before QSettings
// reads the file. A file that cannot be read or rewritten is left as it is.
void CloseOpenQuotesOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    // Read with a bound: the file may have grown since anyone looked at its size.
    const QByteArray text = file.read(kMaxRepairedFileSize + 1);
    file.close();
    if (text.size() > kMaxRepairedFileSize) {
        return;
    }
    const QByteArray repaired = WithOpenQuotesClosed(text);
    if (repaired == text) {
        return;
    }
    QSaveFile save(path);
    if (save.open(QIODevice::WriteOnly) && save.write(repaired) == repaired.size() &&
        save.commit()) {
        QFile::setPermissions(path, kOwnerOnly);
    }
}

// QSettings holds "<file>.lock" around every save. A program killed between creating that file
// and writing its owner into it leaves a lock that names nobody, which QLockFile takes for
// stale only after half a minute: the next save would wait that long. A live owner writes
// itself in at once, so such a lock older than a second is a leftover and is removed. (Should
// a live owner have been held up longer than that, two saves may overlap; each still replaces
// the file whole.)
constexpr qint64 kOwnerlessLockAgeMs = 1000;
constexpr int kOwnerlessLockPollMs = 20;

bool IsOwnerlessLock(const QString& path) {
    qint64 pid = 0;
    QString host;
    QString application;
    return QFileInfo::exists(path) && !QLockFile(path).getLockInfo(&pid, &host, &application);
}

void RemoveOwnerlessLock(const QString& path) {
    QElapsedTimer waited;
    waited.start();
    while (IsOwnerlessLock(path)) {
        const qint64 age =
            QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime());
        if (age >= kOwnerlessLockAgeMs || waited.elapsed() >= kOwnerlessLockAgeMs) {
            QFile::remove(path);
            return;
        }
        QThread::msleep(kOwnerlessLockPollMs);
    }
}

// The lock QLockFile takes while it removes a stale one can be left the same way.
void RemoveOwnerlessLocksOf(const QString& settingsPath) {
    const QString lock = settingsPath + QStringLiteral(".lock");
    RemoveOwnerlessLock(lock + QStringLiteral(".rmlock"));
    RemoveOwnerlessLock(lock);
}

}  // namespace

struct IniSettingsStore::OpenFile {
    QString path;
    std::unique_ptr<QSettings> settings;
    bool written = false;
};

IniSettingsStore::IniSettingsStore() = default;

IniSettingsStore::~IniSettingsStore() {
    CloseKey();
}

std::string IniSettingsStore::FilePathOfKey(const std::string& key) {
    const std::vector<std::string> parts = SplitKey(key);
    if (parts.size() < 2 || QString::fromStdString(parts[0]).compare(QStringLiteral("Software"),
                                                                     Qt::CaseInsensitive) != 0) {
        return {};
    }
    QString path = UserConfigFolder();
    for (size_t i = 1; i < parts.size(); ++i) {
        if (!IsUsableKeyPart(parts[i])) {
            return {};
        }
        path += QLatin1Char('/') + QString::fromStdString(parts[i]);
    }
    path += QLatin1Char('/') + QString::fromStdString(parts.back()) + QStringLiteral(".ini");
    return path.toStdString();
}

bool IniSettingsStore::OpenKey(const std::string& key, bool canCreate) {
    CloseKey();
    const std::string path = FilePathOfKey(key);
    if (path.empty()) {
        return false;
    }
    const QString file = QString::fromStdString(path);
    const QFileInfo info(file);
    if (!canCreate && !(info.isFile() && info.isReadable())) {
        return false;
    }
    if (info.isFile()) {
        CloseOpenQuotesOf(file);
    }
    open_ = std::make_unique<OpenFile>();
    open_->path = file;
    open_->settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
    // Never fall back to overwriting the file in place: that is what could leave it half written.
    open_->settings->setAtomicSyncRequired(true);
    return true;
}

bool IniSettingsStore::KeyOpen() const {
    return open_ != nullptr;
}

std::string IniSettingsStore::ReadString(const std::string& name) {
    if (!open_ || !IsUsableValueName(name)) {
        return {};
    }
    std::string text = TextOf(ValueOf(*open_->settings, QString::fromStdString(name)));
    if (text.size() > kMaxSettingsValueLength) {
        text.resize(kMaxSettingsValueLength);
    }
    return text;
}

bool IniSettingsStore::WriteString(const std::string& name, const std::string& value) {
    if (!open_ || !IsUsableValueName(name)) {
        return false;
    }
    // The file must exist with its final mode before QSettings first saves, which may also
    // happen from the event loop, so that the key is never readable by others.
    if (!open_->written && !PrepareFileForWriting()) {
        return false;
    }
    open_->written = true;
    open_->settings->setValue(QString::fromStdString(name), QString::fromStdString(value));
    return true;
}

bool IniSettingsStore::PrepareFileForWriting() {
    const QFileInfo info(open_->path);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            return false;
        }
        QFile::setPermissions(folder, kOwnerOnlyFolder);
    }
    if (!info.exists()) {
        QFile file(open_->path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly)) {
            return false;
        }
        return true;
    }
    // A file left by another program may be readable by others; the save keeps this mode.
    return info.permissions() == (info.permissions() & kOwnerOnly) ||
           QFile::setPermissions(open_->path, info.permissions() & kOwnerOnly);
}

bool IniSettingsStore::CloseKey() {
    if (!open_) {
        return true;
    }
    bool saved = true;
    if (open_->written) {
        RemoveOwnerlessLocksOf(open_->path);
        open_->settings->sync();
        // A damaged file is still replaced by what could be read plus the new values.
        saved = open_->settings->status() != QSettings::AccessError;
    }
    open_.reset();
    return saved;
}

std::unique_ptr<SettingsStore> CreateUserSettingsStore() {
    return std::make_unique<IniSettingsStore>();
}

}  // namespace platform
