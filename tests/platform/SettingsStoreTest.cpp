#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/IniSettingsStore.h"
#include "platform/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

// Every save replaces the file whole through a temporary file renamed over it; an empty
// lock, as a writer killed while saving leaves, is removed, even one dated ahead of the clock.
TEST(SettingsStoreTest, OwnerOnlyFileAppearsOnWriteIsReplacedWholeAndRepairedWhenDamaged) {
    char pattern[] = "/tmp/settings-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    setenv("XDG_CONFIG_HOME", pattern, 1);
    const fs::path home = pattern, file = home / "KYRSoftPhone" / "KYRSoftPhone.ini";
    const auto write = [](std::initializer_list<std::pair<std::string, std::string>> values) {
        auto store = platform::CreateUserSettingsStore();
        ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
        for (const auto& [name, value] : values) {
            ASSERT_TRUE(store->WriteString(name, value));
        }
        ASSERT_TRUE(store->CloseKey());
    };
    const auto read = [](const std::string& name) {
        auto store = platform::CreateUserSettingsStore();
        EXPECT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
        return store->ReadString(name);
    };
    const auto statOf = [](const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info;
    };
    // The file's and its folder's permissions, and the number of files in the folder.
    const auto modes = [&] {
        return std::tuple(statOf(file).st_mode & 07777, statOf(file.parent_path()).st_mode & 07777,
                          std::distance(fs::directory_iterator(file.parent_path()), {}));
    };
    auto store = platform::CreateUserSettingsStore();
    EXPECT_FALSE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
    EXPECT_EQ(store->ReadString("UserAccount"), "");
    EXPECT_FALSE(store->WriteString("UserAccount", "alice"));
    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    EXPECT_FALSE(store->WriteString("", "x") || store->WriteString("a/b", "x") ||
                 store->WriteString("a\\b", "x"));
    EXPECT_TRUE(store->CloseKey());
    EXPECT_FALSE(fs::exists(file.parent_path())) << "an unwritten key creates nothing";
    write({{"UserAccount", "alice"}, {"PhoneAddress.1", "100*%*Office*:*nil"}});
    EXPECT_EQ((std::ostringstream() << std::ifstream(file, std::ios::binary).rdbuf()).str(),
              "[General]\nPhoneAddress.1=100*%*Office*:*nil\nUserAccount=alice\n");
    EXPECT_EQ(modes(), std::tuple(0600u, 0700u, 1L));
    chmod(file.c_str(), 0644);
    const ino_t before = statOf(file).st_ino;
    const fs::path lock = file.string() + ".lock";
    std::ofstream{lock};
    fs::last_write_time(lock, fs::file_time_type::clock::now() + std::chrono::hours(1));
    const auto start = std::chrono::steady_clock::now();
    write({{"Long", std::string(100'000, 'x')}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(modes(), std::tuple(0600u, 0700u, 1L));
    EXPECT_NE(statOf(file).st_ino, before);
    EXPECT_EQ(read("PhoneAddress.1") + read("UserAccount") + read("Missing"),
              "100*%*Office*:*nilalice");
    EXPECT_EQ(read("Long").size(), platform::kMaxSettingsValueLength);

    // A quote left open mid-file would make QSettings read every later line into its value.
    std::ofstream(file, std::ios::binary) << std::string("\xff\xfe\0\x01\x02", 5);
    EXPECT_EQ(read("UserAccount"), "");
    std::ofstream(file, std::ios::binary)
        << "[General]\nUserAccount=alice\n\x01\x02\xff\xfe garbage without equals\n"
           "[broken section\nLocalRTPPort=18600\n"
        << std::string("\0\0\0", 3)
        << "\nUserKey=\"half\nLocalIPAddress=10.1.1.1\n; a \"comment\nSIPProxyAddress=a,b\n"
           "=novalue\nSIPProxyPort=\"50";
    chmod(file.c_str(), 0644);
    EXPECT_EQ(read("UserAccount") + read("LocalRTPPort") + read("UserKey") +
                  read("LocalIPAddress") + read("SIPProxyAddress") + read("SIPProxyPort"),
              "alice18600half10.1.1.1a,b50");
    EXPECT_EQ(statOf(file).st_mode & 0777, 0600u);
    write({{"UserKey", "k"}});
    EXPECT_EQ(read("UserAccount") + read("UserKey") + read("LocalRTPPort"), "alicek18600");

    using platform::IniSettingsStore;
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("Software\\KYRSoftPhone"), file.string());
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\Microsoft\\Multimedia\\Sound Mapper"),
              (home / "Microsoft/Multimedia/Sound Mapper/Sound Mapper.ini").string());
    for (const char* refused : {"\\Software", "\\Software\\", "\\System\\KYRSoftPhone",
                                "\\Software\\..", "\\Software\\a\\\\b", "\\Software\\a/b"}) {
        EXPECT_EQ(IniSettingsStore::FilePathOfKey(refused), "") << refused;
        EXPECT_FALSE(IniSettingsStore().OpenKey(refused, true)) << refused;
    }
    setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored, as XDG says
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("Software\\KYRSoftPhone"),
              std::string(std::getenv("HOME")) + "/.config/KYRSoftPhone/KYRSoftPhone.ini");
    fs::remove_all(home);
}

}  // namespace
