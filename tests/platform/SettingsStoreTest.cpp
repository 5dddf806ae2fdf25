#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/IniSettingsStore.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct stat StatOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

// Every test gets its own configuration folder.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/settings-store-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        configHome_ = pattern;
        setenv("XDG_CONFIG_HOME", configHome_.c_str(), 1);
        file_ = configHome_ / "KYRSoftPhone" / "KYRSoftPhone.ini";
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(configHome_);
    }

    void WriteValues(std::initializer_list<std::pair<std::string, std::string>> values) {
        auto store = platform::CreateUserSettingsStore();
        ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
        for (const auto& [name, value] : values) {
            ASSERT_TRUE(store->WriteString(name, value));
        }
        ASSERT_TRUE(store->CloseKey());
    }
    std::string ReadValue(const std::string& name) {
        auto store = platform::CreateUserSettingsStore();
        EXPECT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
        return store->ReadString(name);
    }
    std::string FileText() {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Stands for the user (or another program) editing the file.
    void WriteFileText(const std::string& text) {
        fs::create_directories(file_.parent_path());
        std::ofstream(file_, std::ios::binary) << text;
    }

    fs::path configHome_;
    fs::path file_;
};

TEST_F(SettingsStoreTest, MissingKeyOpensOnlyWhenCreatingAndFileAppearsWithFirstWrite) {
    auto store = platform::CreateUserSettingsStore();
    EXPECT_FALSE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
    EXPECT_EQ(store->ReadString("UserAccount"), "");
    EXPECT_FALSE(store->WriteString("UserAccount", "alice"));

    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    EXPECT_TRUE(store->CloseKey());
    EXPECT_FALSE(fs::exists(file_.parent_path())) << "an unwritten key creates nothing";

    WriteValues({{"UserAccount", "alice"}, {"PhoneAddress.1", "100*%*Office*:*nil"}});
    EXPECT_EQ(FileText(), "[General]\nPhoneAddress.1=100*%*Office*:*nil\nUserAccount=alice\n");
    EXPECT_EQ(ReadValue("PhoneAddress.1"), "100*%*Office*:*nil");
    EXPECT_EQ(ReadValue("Missing"), "");
}

// Commas, quotes and the like in values are covered by the phone book's round trip.
TEST_F(SettingsStoreTest, UnusableNamesAndOverlongValuesAreBounded) {
    auto store = platform::CreateUserSettingsStore();
    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    for (const char* name : {"", "a/b", "a\\b"}) {
        EXPECT_FALSE(store->WriteString(name, "x")) << name;
    }
    ASSERT_TRUE(store->WriteString("Long", std::string(100'000, 'x')));
    ASSERT_TRUE(store->CloseKey());
    EXPECT_EQ(ReadValue("Long").size(), platform::kMaxSettingsValueLength);
}

TEST_F(SettingsStoreTest, FileIsOwnerOnlyAndEverySaveReplacesItWhole) {
    WriteValues({{"UserAccount", "bob"}});
    EXPECT_EQ(StatOf(file_).st_mode & 07777, 0600u);
    EXPECT_EQ(StatOf(file_.parent_path()).st_mode & 07777, 0700u);
    // A file made readable by others is tightened again by the next save.
    chmod(file_.c_str(), 0644);
    const ino_t before = StatOf(file_).st_ino;
    WriteValues({{"UserKey", "k"}});
    EXPECT_EQ(StatOf(file_).st_mode & 07777, 0600u);
    // A new inode means the save went to a temporary file renamed over the old one.
    EXPECT_NE(StatOf(file_).st_ino, before);
    EXPECT_EQ(ReadValue("UserAccount"), "bob");
    EXPECT_EQ(ReadValue("UserKey"), "k");
    EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), {}), 1)
        << "temporary files left behind";
}

TEST_F(SettingsStoreTest, DamagedFileLoadsWhatItCanAndTheNextSaveRepairsIt) {
    WriteFileText(std::string("\xff\xfe\0\x01\x02", 5));
    EXPECT_EQ(ReadValue("UserAccount"), "");

    std::string damaged =
        "[General]\nUserAccount=alice\n\x01\x02\xff\xfe garbage without equals\n"
        "[broken section\nLocalRTPPort=18600\n";
    damaged += std::string("\0\0\0", 3);
    // A quote left open mid-file would make QSettings read every later line into its value.
    damaged +=
        "\nUserKey=\"half\nLocalIPAddress=10.1.1.1\n; a \"comment\nSIPProxyAddress=a,b\n"
        "=novalue\nSIPProxyPort=\"50";  // cut off mid-value
    WriteFileText(damaged);
    EXPECT_EQ(ReadValue("UserAccount"), "alice");
    EXPECT_EQ(ReadValue("LocalRTPPort"), "18600");
    EXPECT_EQ(ReadValue("UserKey"), "half");
    EXPECT_EQ(ReadValue("LocalIPAddress"), "10.1.1.1");
    EXPECT_EQ(ReadValue("SIPProxyAddress"), "a,b");
    EXPECT_EQ(ReadValue("SIPProxyPort"), "50");
    EXPECT_EQ(StatOf(file_).st_mode & 07777, 0600u);

    WriteValues({{"UserKey", "k"}});
    EXPECT_EQ(ReadValue("UserAccount"), "alice");
    EXPECT_EQ(ReadValue("UserKey"), "k");
    EXPECT_EQ(ReadValue("LocalRTPPort"), "18600");
}

TEST_F(SettingsStoreTest, KeysMapToFilesBelowTheUserConfigurationFolder) {
    using platform::IniSettingsStore;
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("Software\\KYRSoftPhone"), file_.string());
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\Microsoft\\Multimedia\\Sound Mapper"),
              (configHome_ / "Microsoft/Multimedia/Sound Mapper/Sound Mapper.ini").string());
    for (const char* refused : {"\\Software", "\\Software\\", "\\System\\KYRSoftPhone",
                                "\\Software\\..", "\\Software\\a\\\\b", "\\Software\\a/b"}) {
        EXPECT_EQ(IniSettingsStore::FilePathOfKey(refused), "") << refused;
    }
}

// A writer killed at any moment of a save leaves the old or the new file, each complete.
TEST_F(SettingsStoreTest, WriterKilledWhileSavingLeavesACompleteFile) {
    const std::string counterFile = (configHome_ / "saves").string();
    for (int round = 0; round < 2; ++round) {
        fs::remove(counterFile);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int n = 0;; ++n) {
                auto store = platform::CreateUserSettingsStore();
                store->OpenKey(platform::kSoftPhoneSettingsKey, true);
                // Large values make each save long enough to be interrupted.
                for (int v = 0; v < 8; ++v) {
                    store->WriteString("Payload." + std::to_string(v),
                                       std::string(10'000, static_cast<char>('a' + n % 26)));
                }
                store->CloseKey();
                std::ofstream(counterFile) << n;
            }
        }
        EXPECT_TRUE(testing_support::WaitUntil([&] {
            std::ifstream in(counterFile);
            int saves = -1;
            in >> saves;
            return saves >= 2;
        }));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        const std::string first = ReadValue("Payload.0");
        ASSERT_EQ(first.size(), platform::kMaxSettingsValueLength);
        const std::string text = FileText();
        for (int v = 0; v < 8; ++v) {
            const std::string line =
                "Payload." + std::to_string(v) + "=" + std::string(10'000, first[0]) + "\n";
            EXPECT_NE(text.find(line), std::string::npos) << "value " << v << " incomplete";
        }
    }
}

}  // namespace
