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

std::string ReadFileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFileText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

ino_t InodeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_ino;
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

    fs::path configHome_;
    fs::path file_;
};

TEST_F(SettingsStoreTest, MissingKeyOpensOnlyWhenCreatingAndFileAppearsWithFirstWrite) {
    auto store = platform::CreateUserSettingsStore();
    EXPECT_FALSE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
    EXPECT_FALSE(store->KeyOpen());
    EXPECT_EQ(store->ReadString("UserAccount"), "");
    EXPECT_FALSE(store->WriteString("UserAccount", "alice"));

    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    EXPECT_EQ(store->ReadString("UserAccount"), "");
    EXPECT_TRUE(store->CloseKey());
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_FALSE(fs::exists(file_.parent_path()));

    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    ASSERT_TRUE(store->WriteString("UserAccount", "alice"));
    EXPECT_TRUE(store->CloseKey());
    EXPECT_TRUE(fs::exists(file_));
    EXPECT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
}

TEST_F(SettingsStoreTest, ValuesAreStringsInTheIniFileAndReadBack) {
    WriteValues({{"UserAccount", "alice"},
                 {"UserKey", "s3cret"},
                 {"SIPProxyAddress", "op"},
                 {"SIPProxyPort", "5060"},
                 {"LocalIPAddress", "192.168.1.20"},
                 {"LocalRTPPort", "18598"},
                 {"PhoneBookCount", "1"},
                 {"PhoneAddress.1", "100*%*Office*:*nil"}});
    const std::string text = ReadFileText(file_);
    for (const char* line :
         {"UserAccount=alice\n", "UserKey=s3cret\n", "SIPProxyAddress=op\n", "SIPProxyPort=5060\n",
          "LocalIPAddress=192.168.1.20\n", "LocalRTPPort=18598\n", "PhoneBookCount=1\n",
          "PhoneAddress.1=100*%*Office*:*nil\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    EXPECT_EQ(ReadValue("UserKey"), "s3cret");
    EXPECT_EQ(ReadValue("PhoneAddress.1"), "100*%*Office*:*nil");
    EXPECT_EQ(ReadValue("Missing"), "");
}

TEST_F(SettingsStoreTest, FileIsOwnerOnlyAndEverySaveReplacesItWhole) {
    WriteValues({{"UserKey", "first"}});
    EXPECT_EQ(ModeOf(file_), 0600u);
    EXPECT_EQ(ModeOf(file_.parent_path()), 0700u);
    const ino_t before = InodeOf(file_);

    WriteValues({{"UserKey", "second"}});
    // A new inode means the save went to a temporary file renamed over the old one.
    EXPECT_NE(InodeOf(file_), before);
    EXPECT_EQ(ModeOf(file_), 0600u);
    EXPECT_EQ(ReadValue("UserKey"), "second");
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(file_.parent_path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1) << "temporary files left behind";
}

TEST_F(SettingsStoreTest, FileReadableByOthersIsTightenedOnWriteAndKeepsItsValues) {
    WriteFileText(file_, "[General]\nUserAccount=bob\n");
    chmod(file_.c_str(), 0644);
    WriteValues({{"UserKey", "k"}});
    EXPECT_EQ(ModeOf(file_), 0600u);
    EXPECT_EQ(ReadValue("UserAccount"), "bob");
    EXPECT_EQ(ReadValue("UserKey"), "k");
}

TEST_F(SettingsStoreTest, AwkwardTextsSurviveTheRoundTrip) {
    const std::string texts[] = {"a,b, c",      "\"quoted\"",  "@Variant(junk)", "semi;colon",
                                 "x=y",         "back\\slash", "Grüße €",        " padded ",
                                 "line\nbreak", "[General]",   "#not a comment", "tab\there"};
    auto store = platform::CreateUserSettingsStore();
    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    for (size_t i = 0; i < std::size(texts); ++i) {
        ASSERT_TRUE(store->WriteString("Value." + std::to_string(i), texts[i]));
    }
    ASSERT_TRUE(store->CloseKey());
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(ReadValue("Value." + std::to_string(i)), texts[i]);
    }
}

TEST_F(SettingsStoreTest, UnusableNamesAndOverlongValuesAreBounded) {
    auto store = platform::CreateUserSettingsStore();
    ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
    EXPECT_FALSE(store->WriteString("", "x"));
    EXPECT_FALSE(store->WriteString("a/b", "x"));
    EXPECT_FALSE(store->WriteString("a\\b", "x"));
    ASSERT_TRUE(store->WriteString("Long", std::string(100'000, 'x')));
    ASSERT_TRUE(store->CloseKey());
    EXPECT_EQ(ReadValue("Long").size(), platform::kMaxSettingsValueLength);
}

TEST_F(SettingsStoreTest, DamagedFileLoadsWhatItCanAndTheNextSaveRepairsIt) {
    std::string damaged =
        "[General]\nUserAccount=alice\n\x01\x02\xff\xfe garbage without equals\n"
        "[broken section\nLocalRTPPort=18600\n";
    damaged += std::string("\0\0\0", 3);
    damaged += "\nSIPProxyAddress=a,b\n=novalue\nSIPProxyPort=\"50";  // cut off mid-value
    WriteFileText(file_, damaged);

    EXPECT_EQ(ReadValue("UserAccount"), "alice");
    EXPECT_EQ(ReadValue("LocalRTPPort"), "18600");
    EXPECT_EQ(ReadValue("SIPProxyAddress"), "a,b");
    EXPECT_EQ(ReadValue("SIPProxyPort"), "50");
    EXPECT_EQ(ReadValue("UserKey"), "");

    WriteValues({{"UserKey", "k"}});
    EXPECT_EQ(ReadValue("UserAccount"), "alice");
    EXPECT_EQ(ReadValue("UserKey"), "k");
    EXPECT_EQ(ReadValue("LocalRTPPort"), "18600");
    EXPECT_EQ(ModeOf(file_), 0600u);
}

TEST_F(SettingsStoreTest, EmptyOrBinaryFileIsAKeyWithoutValues) {
    WriteFileText(file_, "");
    EXPECT_EQ(ReadValue("UserAccount"), "");
    WriteFileText(file_, std::string("\xff\xfe\0\x01\x02", 5));
    EXPECT_EQ(ReadValue("UserAccount"), "");
}

TEST_F(SettingsStoreTest, KeysMapToFilesBelowTheUserConfigurationFolder) {
    using platform::IniSettingsStore;
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\KYRSoftPhone"), file_.string());
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("Software\\KYRSoftPhone"), file_.string());
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\Microsoft\\Multimedia\\Sound Mapper"),
              (configHome_ / "Microsoft/Multimedia/Sound Mapper/Sound Mapper.ini").string());
    for (const char* refused : {"\\Software", "\\Software\\", "\\System\\KYRSoftPhone",
                                "\\Software\\..", "\\Software\\a\\\\b", "\\Software\\a/b"}) {
        EXPECT_EQ(IniSettingsStore::FilePathOfKey(refused), "") << refused;
        EXPECT_FALSE(platform::CreateUserSettingsStore()->OpenKey(refused, true)) << refused;
    }

    unsetenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    setenv("HOME", configHome_.c_str(), 1);
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\KYRSoftPhone"),
              (configHome_ / ".config/KYRSoftPhone/KYRSoftPhone.ini").string());
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    EXPECT_EQ(IniSettingsStore::FilePathOfKey("\\Software\\KYRSoftPhone"),
              (configHome_ / ".config/KYRSoftPhone/KYRSoftPhone.ini").string());
    if (home != nullptr) {
        setenv("HOME", home, 1);
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

        auto store = platform::CreateUserSettingsStore();
        ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, false));
        const std::string first = store->ReadString("Payload.0");
        ASSERT_EQ(first.size(), platform::kMaxSettingsValueLength);
        const std::string text = ReadFileText(file_);
        for (int v = 0; v < 8; ++v) {
            const std::string line =
                "Payload." + std::to_string(v) + "=" + std::string(10'000, first[0]) + "\n";
            EXPECT_NE(text.find(line), std::string::npos) << "value " << v << " incomplete";
        }
    }
}

}  // namespace
