#include "settings/TConfigForm.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "settings/LoadSettings.h"
#include "settings/LocalAddressChoice.h"
#include "settings/ProxyAddress.h"
#include "tests/settings/SettingsTestHome.h"

namespace {

using settings::EffectiveSettings;
using settings::TConfigForm;

// Plays the main window: loads the settings, builds the dialog, chooses the local address at
// start, and reloads the settings when the dialog asks for a restart.
class TConfigFormTest : public ::testing::Test {
  protected:
    void StartUp(const std::vector<std::string>& machineAddresses = {"127.0.0.1"}) {
        settings::LoadSettings(*store_, settings_);
        form_ = std::make_unique<TConfigForm>(settings_, *store_, [this] {
            ++restarts_;
            settings::LoadSettings(*store_, settings_);
        });
        settings::ChooseStartupLocalAddress(
            settings_, [this](const std::string& address) { form_->AddLocalAddress(address); },
            [&] { return machineAddresses; });
        form_->FillFields();
    }

    template <typename Widget>
    Widget* Find(const char* name) {
        auto* widget = form_->findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
    QComboBox* Combo(const char* name) { return Find<QComboBox>(name); }
    QPushButton* Button(const char* name) { return Find<QPushButton>(name); }

    void Click(const char* button) { QTest::mouseClick(Button(button), Qt::LeftButton); }

    void ExpectLocked(bool locked) {
        EXPECT_EQ(Find<QGroupBox>("SettingGB")->isEnabled(), !locked);
        EXPECT_EQ(Button("ModifyBtn")->isEnabled(), locked);
        EXPECT_EQ(Button("OKBtn")->isEnabled(), !locked);
        EXPECT_EQ(Button("CancelBtn")->isEnabled(), !locked);
    }

    std::string Stored(const std::string& name) {
        auto reader = platform::CreateUserSettingsStore();
        return reader->OpenKey(platform::kSoftPhoneSettingsKey, false) ? reader->ReadString(name)
                                                                       : "<no key>";
    }

    SettingsTestHome home_;
    std::unique_ptr<platform::SettingsStore> store_ = platform::CreateUserSettingsStore();
    EffectiveSettings settings_;
    std::unique_ptr<TConfigForm> form_;
    int restarts_ = 0;
};

TEST_F(TConfigFormTest, ComponentsCarryTheirCaptionsAndTheDialogStartsLockedAndHidden) {
    StartUp();
    EXPECT_EQ(form_->windowTitle(), "Config");
    EXPECT_FALSE(form_->isModal());
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(Find<QGroupBox>("SettingGB")->title(), "Settings");
    const std::pair<const char*, const char*> labels[] = {
        {"Label1", "User Account"}, {"Label2", "User Key"},       {"Label3", "Proxy address"},
        {"Label4", "Proxy Port"},   {"Label5", "Local RTP Port"}, {"Label6", "Local IP Address"}};
    for (const auto& [name, caption] : labels) {
        EXPECT_EQ(Find<QLabel>(name)->text(), caption) << name;
    }
    EXPECT_EQ(Find<QLabel>("KYRProxyLabel")->text().toStdString(), settings::OperatorDomain());
    EXPECT_EQ(Button("ModifyBtn")->text(), "Modify");
    EXPECT_EQ(Button("OKBtn")->text(), "OK");
    EXPECT_EQ(Button("CancelBtn")->text(), "Cancel");
    EXPECT_TRUE(Combo("LIPComboBox")->isEditable());
    ASSERT_TRUE(Combo("ProxyPortCB")->isEditable());
    ASSERT_EQ(Combo("ProxyPortCB")->count(), 2);
    EXPECT_EQ(Combo("ProxyPortCB")->itemText(0), "5060");
    EXPECT_EQ(Combo("ProxyPortCB")->itemText(1), "7000");
    EXPECT_EQ(Edit("LRTPPortEdit")->text(), "18598");
    for (const char* name : {"AccountEdit", "ProxyAddressEdit"}) {
        EXPECT_NE(Edit(name), nullptr);
    }
    Find<QLabel>("VersionLabel");
    ExpectLocked(true);

    Edit("KeyEdit")->setText("abc");
    EXPECT_EQ(Edit("KeyEdit")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit("KeyEdit")->displayText(), "***");
}

TEST_F(TConfigFormTest, ShowingSetsTheVersionAndClosingOnlyHidesWithoutChangingTheState) {
    StartUp();
    form_->show();
    EXPECT_EQ(Find<QLabel>("VersionLabel")->text(), "V2.0.0.1");
    EXPECT_TRUE(Edit("ProxyAddressEdit")->isVisible());
    EXPECT_TRUE(Find<QLabel>("KYRProxyLabel")->isVisible());
    Click("ModifyBtn");
    ExpectLocked(false);
    form_->close();
    EXPECT_FALSE(form_->isVisible());
    form_->show();
    ExpectLocked(false);
    Click("CancelBtn");
    ExpectLocked(true);
}

TEST_F(TConfigFormTest, FieldsShowTheLoadedSettingsAndAnyOtherProxyPortAs7000) {
    home_.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=5080\n"
        "LocalIPAddress=127.0.0.1\nLocalRTPPort=20000\n");
    StartUp();
    EXPECT_EQ(settings_.SIPProxyPort, 5080);
    EXPECT_EQ(Edit("AccountEdit")->text(), "alice");
    EXPECT_EQ(Edit("KeyEdit")->text(), "s3cret");
    EXPECT_EQ(Edit("ProxyAddressEdit")->text(), "op");
    EXPECT_EQ(Combo("ProxyPortCB")->currentText(), "7000");
    EXPECT_EQ(Edit("LRTPPortEdit")->text(), "20000");
    EXPECT_EQ(Combo("LIPComboBox")->currentText(), "127.0.0.1");
}

TEST_F(TConfigFormTest, StartupReplacesAnUnknownAddressInMemoryButAnOkDoesNot) {
    home_.WriteFile("[General]\nLocalIPAddress=10.9.9.9\n");
    StartUp({"192.168.1.20", "127.0.0.1", ""});
    EXPECT_EQ(settings_.LocalIPAddress, "192.168.1.20");
    EXPECT_EQ(Stored("LocalIPAddress"), "10.9.9.9") << "the start-up choice is not stored";
    ASSERT_EQ(Combo("LIPComboBox")->count(), 2) << "empty texts are not offered";
    EXPECT_EQ(Combo("LIPComboBox")->itemText(0), "192.168.1.20");
    EXPECT_EQ(Combo("LIPComboBox")->currentText(), "192.168.1.20");

    Click("ModifyBtn");
    Combo("LIPComboBox")->setEditText("10.9.9.9");
    Click("OKBtn");
    EXPECT_EQ(restarts_, 1);
    EXPECT_EQ(Stored("LocalIPAddress"), "10.9.9.9");
    EXPECT_EQ(settings_.LocalIPAddress, "10.9.9.9");
}

TEST_F(TConfigFormTest, RtpPortFieldTakesDigitsUpTo65535Only) {
    StartUp();
    form_->show();
    Click("ModifyBtn");
    QLineEdit* port = Edit("LRTPPortEdit");
    port->clear();
    QTest::keyClicks(port, "700000");
    EXPECT_EQ(port->text(), "7000");

    port->clear();
    QTest::keyClicks(port, "0");
    EXPECT_EQ(port->text(), "0") << "any first digit is taken";
    QTest::keyClicks(port, "0");
    EXPECT_EQ(port->text(), "0");
    QTest::keyClicks(port, "5");
    EXPECT_EQ(port->text(), "05");

    port->clear();
    QTest::keyClicks(port, "65536");
    EXPECT_EQ(port->text(), "6553");
    QTest::keyClicks(port, "5");
    EXPECT_EQ(port->text(), "65535");

    QTest::keyClicks(port, "a-. ");
    QTest::keyClick(port, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(port->text(), "65535");
    QTest::keyClick(port, Qt::Key_Backspace);
    EXPECT_EQ(port->text(), "6553");
    QTest::keyClick(port, Qt::Key_Home);
    QTest::keyClick(port, Qt::Key_Delete);
    EXPECT_EQ(port->text(), "553") << "moving and deleting forward are no typed characters";
}

TEST_F(TConfigFormTest, ProxyAndAddressFieldsRefuseTheirKeys) {
    StartUp();
    form_->show();
    Click("ModifyBtn");
    QLineEdit* proxy = Edit("ProxyAddressEdit");
    QTest::keyClicks(proxy, "sip.1");
    EXPECT_EQ(proxy->text(), "sip1");

    QComboBox* port = Combo("ProxyPortCB");
    port->setEditText("5060");
    port->lineEdit()->end(false);
    QTest::keyClick(port->lineEdit(), Qt::Key_Backspace);
    QTest::keyClick(port, Qt::Key_Backspace);
    EXPECT_EQ(port->currentText(), "5060");
    QTest::keyClicks(port->lineEdit(), "1");
    EXPECT_EQ(port->currentText(), "50601");

    QComboBox* address = Combo("LIPComboBox");
    address->setEditText("10.0.0.1");
    address->lineEdit()->end(false);
    QTest::keyClick(address->lineEdit(), Qt::Key_Backspace);
    QTest::keyClick(address, Qt::Key_Backspace);
    address->lineEdit()->home(false);
    QTest::keyClick(address->lineEdit(), Qt::Key_Delete);
    QTest::keyClick(address, Qt::Key_Delete);
    EXPECT_EQ(address->currentText(), "10.0.0.1");
    QTest::keyClicks(address->lineEdit(), "2");
    EXPECT_EQ(address->currentText(), "210.0.0.1");
    QTest::keyClick(address->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(address->count(), 1) << "Enter adds nothing to the list";
}

TEST_F(TConfigFormTest, OkWritesOnlyWhatChangedAndAlwaysRestarts) {
    StartUp();
    Click("ModifyBtn");
    QTest::keyClicks(Edit("AccountEdit"), "alice");
    QTest::keyClicks(Edit("KeyEdit"), "s3cret");
    QTest::keyClicks(Edit("ProxyAddressEdit"), "op");
    Click("OKBtn");
    ExpectLocked(true);
    EXPECT_EQ(restarts_, 1);
    const std::string text = home_.FileText();
    EXPECT_NE(text.find("UserAccount=alice\n"), std::string::npos) << text;
    EXPECT_NE(text.find("UserKey=s3cret\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SIPProxyAddress=op\n"), std::string::npos) << text;
    EXPECT_NE(text.find("LocalIPAddress=127.0.0.1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SIPProxyPort"), std::string::npos) << "unchanged port is not written";
    EXPECT_EQ(text.find("LocalRTPPort"), std::string::npos) << "unchanged port is not written";
    EXPECT_EQ(settings_.UserAccount, "alice");
    EXPECT_EQ(settings_.SIPProxyAddress, "op" + settings::OperatorDomain());

    Click("ModifyBtn");
    Click("OKBtn");
    EXPECT_EQ(restarts_, 2) << "an OK without changes restarts too";
    EXPECT_EQ(home_.FileText(), text);
}

TEST_F(TConfigFormTest, OkStoresTheShownPortsAndTheDefaultRtpPortForAnEmptyField) {
    home_.WriteFile("[General]\nSIPProxyPort=5080\nLocalRTPPort=20000\n");
    StartUp();
    Click("ModifyBtn");
    Edit("LRTPPortEdit")->clear();
    Click("OKBtn");
    EXPECT_EQ(Stored("LocalRTPPort"), "18598");
    EXPECT_EQ(Stored("SIPProxyPort"), "7000") << "the port shown as 7000 is stored as shown";
    EXPECT_EQ(settings_.LocalRTPPort, 18598);
    EXPECT_EQ(settings_.SIPProxyPort, 7000);
}

TEST_F(TConfigFormTest, EmptiedFieldsNeverEraseWhatIsStored) {
    home_.WriteFile("[General]\nUserAccount=alice\nUserKey=k\nSIPProxyAddress=op\n");
    StartUp();
    Click("ModifyBtn");
    for (const char* name : {"AccountEdit", "KeyEdit", "ProxyAddressEdit"}) {
        Edit(name)->clear();
    }
    Combo("LIPComboBox")->setEditText("");
    Click("OKBtn");
    EXPECT_EQ(Stored("UserAccount"), "alice");
    EXPECT_EQ(Stored("UserKey"), "k");
    EXPECT_EQ(Stored("SIPProxyAddress"), "op");
    EXPECT_EQ(Stored("LocalIPAddress"), "");
    EXPECT_EQ(settings_.UserAccount, "alice");
}

TEST_F(TConfigFormTest, PortsThatAreNotNumbersAtOkLeaveTheStoredPortsAlone) {
    home_.WriteFile("[General]\nSIPProxyPort=7000\nLocalRTPPort=20000\n");
    StartUp();
    Click("ModifyBtn");
    Combo("ProxyPortCB")->setEditText("70x0");
    Edit("LRTPPortEdit")->setText("2x");  // as pasted from the context menu
    Click("OKBtn");
    EXPECT_EQ(restarts_, 1);
    EXPECT_EQ(Stored("SIPProxyPort"), "7000");
    EXPECT_EQ(Stored("LocalRTPPort"), "20000");
    EXPECT_EQ(settings_.SIPProxyPort, 7000);
    EXPECT_EQ(settings_.LocalRTPPort, 20000);

    Click("ModifyBtn");
    Combo("ProxyPortCB")->setEditText("70000");
    Click("OKBtn");
    EXPECT_EQ(Stored("SIPProxyPort"), "7000");
}

TEST_F(TConfigFormTest, CancelRestoresTheFieldsAndWritesNothing) {
    home_.WriteFile(
        "[General]\nUserAccount=alice\nUserKey=k\nSIPProxyAddress=op\nSIPProxyPort=5060\n"
        "LocalIPAddress=127.0.0.1\nLocalRTPPort=20000\n");
    StartUp();
    const std::string before = home_.FileText();
    Click("ModifyBtn");
    QTest::keyClicks(Edit("AccountEdit"), "x");
    QTest::keyClicks(Edit("ProxyAddressEdit"), "x");
    Combo("ProxyPortCB")->setCurrentIndex(1);
    Combo("ProxyPortCB")->setEditText("12");
    Edit("LRTPPortEdit")->setText("1");
    Combo("LIPComboBox")->setEditText("10.0.0.9");
    Click("CancelBtn");
    ExpectLocked(true);
    EXPECT_EQ(Edit("AccountEdit")->text(), "alice");
    EXPECT_EQ(Edit("ProxyAddressEdit")->text(), "op");
    EXPECT_EQ(Combo("ProxyPortCB")->currentIndex(), 0);
    EXPECT_EQ(Combo("ProxyPortCB")->currentText(), "5060");
    EXPECT_EQ(Edit("LRTPPortEdit")->text(), "20000");
    EXPECT_EQ(Combo("LIPComboBox")->currentText(), "127.0.0.1");
    EXPECT_EQ(restarts_, 0);
    EXPECT_EQ(home_.FileText(), before);

    settings_.SIPProxyPort = 5080;
    Click("ModifyBtn");
    Click("CancelBtn");
    EXPECT_EQ(Combo("ProxyPortCB")->currentIndex(), 1);
    EXPECT_EQ(Combo("ProxyPortCB")->currentText(), "7000");
}

}  // namespace
