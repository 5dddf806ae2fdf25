#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "app/SoftPhoneForm.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"
#include "platform/SettingsStore.h"
#include "tests/app/LoopbackProxy.h"

namespace app_testing {

// A private settings folder holding the given values, and the window built over it.
class SoftPhoneFormTest : public ::testing::Test {
public:
    using Values = std::map<std::string, std::string>;

protected:
    SoftPhoneFormTest() {
        char pattern[] = "/tmp/app-test-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    ~SoftPhoneFormTest() override {
        form.reset();
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(folder_);
    }

    void StoreSettings(const Values& values) {
        auto store = platform::CreateUserSettingsStore();
        ASSERT_TRUE(store->OpenKey(platform::kSoftPhoneSettingsKey, true));
        for (const auto& [name, value] : values) {
            store->WriteString(name, value);
        }
        ASSERT_TRUE(store->CloseKey());
    }

    // Stands for another program writing the settings file.
    void WriteSettingsFile(const std::string& text) {
        std::filesystem::create_directories(folder_ / "KYRSoftPhone");
        std::ofstream(folder_ / "KYRSoftPhone" / "KYRSoftPhone.ini", std::ios::binary) << text;
    }

    // A complete account whose proxy is kyr.voip.test (127.0.0.2 in the test hosts file).
    static Values AccountWithProxyPort(uint16_t port) {
        return {{"UserAccount", "1001"},         {"UserKey", "secret"},
                {"SIPProxyAddress", "kyr"},      {"SIPProxyPort", std::to_string(port)},
                {"LocalIPAddress", "127.0.0.1"}, {"LocalRTPPort", "0"}};
    }

    void BuildForm(std::vector<std::string> machineAddresses = {"127.0.0.1"}) {
        form = std::make_unique<TSoftPhoneForm>(
            [machineAddresses](size_t) { return machineAddresses; });
    }

    template <typename T>
    T* Child(const char* name) {
        return form->findChild<T*>(name);
    }
    QComboBox* NumberCB() { return Child<QComboBox>("NumberCB"); }
    QListWidget* MessageList() { return Child<QListWidget>("MessageList"); }
    void Click(const char* button) {
        QPushButton* target = Child<QPushButton>(button);
        ASSERT_NE(target, nullptr) << button;
        QTest::mouseClick(target, Qt::LeftButton);
    }
    QStringList Rows() {
        QStringList rows;
        for (int i = 0; i < MessageList()->count(); ++i) {
            rows << MessageList()->item(i)->text();
        }
        return rows;
    }
    QStringList History() {
        QStringList items;
        for (int i = 0; i < NumberCB()->count(); ++i) {
            items << NumberCB()->itemText(i);
        }
        return items;
    }
    bool CallStateIs(int state) {
        return form->CallManager() != nullptr && form->CallManager()->ChangeState(true, state);
    }

    std::unique_ptr<TSoftPhoneForm> form;

private:
    std::filesystem::path folder_;
};

constexpr int kWaitMs = 5000;

// The window with a call manager whose proxy is a LoopbackProxy on kyr.voip.test.
class WindowWithProxy : public SoftPhoneFormTest {
protected:
    void SetUp() override {
        ASSERT_EQ(platform::ResolveFirstIpv4("kyr.voip.test"), "127.0.0.2")
            << "run under scripts/with-test-env.sh (libnss-wrapper with tools/demo/hosts)";
        ASSERT_TRUE(proxy.Ready());
    }
    // The call manager goes before the proxy it talks to.
    void TearDown() override { form.reset(); }

    void StartRegistered(Values extra = {}) {
        proxy.AcceptRegistrations(true);
        Values values = AccountWithProxyPort(proxy.Port());
        values.insert(extra.begin(), extra.end());
        StoreSettings(values);
        BuildForm();
        ASSERT_NE(form->CallManager(), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }, kWaitMs));
    }

    LoopbackProxy proxy;
};

}  // namespace app_testing
