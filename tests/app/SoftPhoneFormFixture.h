#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <map>
#include <memory>
#include <string>

#include "app/SoftPhoneForm.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"
#include "tests/app/LoopbackProxy.h"
#include "tests/settings/SettingsTestHome.h"

namespace app_testing {

constexpr int kWaitMs = 5000;

template <typename Condition>
bool Eventually(Condition condition) {
    return QTest::qWaitFor(condition, kWaitMs);
}

// A private settings folder holding the given values, and the window built over it.
class SoftPhoneFormTest : public ::testing::Test {
public:
    using Values = std::map<std::string, std::string>;

protected:
    // A complete account whose proxy is kyr.voip.test (127.0.0.2 in the test hosts file).
    static Values Account(uint16_t port) {
        return {{"UserAccount", "1001"},         {"UserKey", "secret"},
                {"SIPProxyAddress", "kyr"},      {"SIPProxyPort", std::to_string(port)},
                {"LocalIPAddress", "127.0.0.1"}, {"LocalRTPPort", "0"}};
    }
    void Build(const Values& values, std::vector<std::string> machineAddresses = {"127.0.0.1"}) {
        SettingsTestHome::Store(values);
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
        ASSERT_NE(Child<QPushButton>(button), nullptr) << button;
        QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton);
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

    SettingsTestHome home;
    std::unique_ptr<TSoftPhoneForm> form;
};

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
        extra.merge(Account(proxy.Port()));
        Build(extra);
        ASSERT_NE(form->CallManager(), nullptr);
        ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    }

    LoopbackProxy proxy;
};

}  // namespace app_testing
