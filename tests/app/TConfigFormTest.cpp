#include "app/dialogs/TConfigForm.h"

#include <QClipboard>
#include <QGuiApplication>
#include <map>

#include "settings/LoadSettings.h"
#include "settings/LocalAddressChoice.h"
#include "settings/ProxyAddress.h"
#include "tests/app/DialogTest.h"

namespace {

using settings::TConfigForm;

// Plays the main window: loads the settings, builds the dialog, chooses the local address at
// start, and reloads the settings when the dialog asks for a restart.
class TConfigFormTest : public app_testing::DialogTest<TConfigForm> {
protected:
    void StartUp(const std::string& fileText = "",
                 const std::vector<std::string>& machineAddresses = {"127.0.0.1"}) {
        if (!fileText.empty()) {
            home_.WriteFile("[General]\n" + fileText);
        }
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

    void ExpectLocked(bool locked) {
        EXPECT_EQ(Enabled("SettingGB"), !locked);
        EXPECT_EQ(Enabled("ModifyBtn"), locked);
        EXPECT_EQ(Enabled("OKBtn"), !locked);
        EXPECT_EQ(Enabled("CancelBtn"), !locked);
    }

    std::unique_ptr<platform::SettingsStore> store_ = platform::CreateUserSettingsStore();
    settings::EffectiveSettings settings_;
    int restarts_ = 0;
};

// A stored port other than 5060 shows as 7000, and OK stores it so.
TEST_F(TConfigFormTest, FieldsShowTheSettingsLockedAndCancelRestoresThemWritingNothing) {
    StartUp(
        "UserAccount=alice\nUserKey=s3cret\nSIPProxyAddress=op\nSIPProxyPort=5080\n"
        "LocalIPAddress=127.0.0.1\nLocalRTPPort=20000\n");
    const auto expectShown = [&](int portItem, const char* port) {
        EXPECT_EQ(Edit("AccountEdit")->text(), "alice");
        EXPECT_EQ(Edit("KeyEdit")->text(), "s3cret");
        EXPECT_EQ(Edit("ProxyAddressEdit")->text(), "op");
        if (portItem >= 0) {
            EXPECT_EQ(Combo("ProxyPortCB")->currentIndex(), portItem);
        }
        EXPECT_EQ(Combo("ProxyPortCB")->currentText(), port);
        EXPECT_EQ(Edit("LRTPPortEdit")->text(), "20000");
        EXPECT_EQ(Combo("LIPComboBox")->currentText(), "127.0.0.1");
        ExpectLocked(true);
    };
    expectShown(-1, "7000");  // -1: the item is not looked at
    EXPECT_EQ(Edit("KeyEdit")->displayText(), "******");
    EXPECT_FALSE(form_->isModal());

    const std::string before = home_.FileText();
    Click("ModifyBtn");
    QTest::keyClicks(Edit("AccountEdit"), "x");
    Combo("ProxyPortCB")->setCurrentIndex(0);
    Combo("ProxyPortCB")->setEditText("12");
    Edit("LRTPPortEdit")->setText("1");
    Combo("LIPComboBox")->setEditText("10.0.0.9");
    Click("CancelBtn");
    expectShown(1, "7000");
    EXPECT_EQ(restarts_, 0);
    EXPECT_EQ(home_.FileText(), before);
    settings_.SIPProxyPort = 5060;
    Click("ModifyBtn");
    Click("CancelBtn");
    expectShown(0, "5060");

    Click("ModifyBtn");
    Combo("ProxyPortCB")->setCurrentIndex(1);
    Edit("LRTPPortEdit")->clear();
    Click("OKBtn");
    EXPECT_EQ(Stored("LocalRTPPort"), "18598") << "an empty field stores the default";
    EXPECT_EQ(Stored("SIPProxyPort"), "7000");
    EXPECT_EQ(settings_.LocalRTPPort, 18598);
    EXPECT_EQ(settings_.SIPProxyPort, 7000);

    // Emptied fields and unusable ports never erase what is stored.
    Click("ModifyBtn");
    for (const char* name : {"AccountEdit", "KeyEdit", "ProxyAddressEdit"}) {
        Edit(name)->clear();
    }
    Combo("ProxyPortCB")->setEditText("70x0");
    Edit("LRTPPortEdit")->setText("2x");  // as pasted from the context menu
    Click("OKBtn");
    EXPECT_EQ(restarts_, 2);
    for (const auto& [name, value] :
         std::map<std::string, std::string>{{"UserAccount", "alice"},
                                            {"UserKey", "s3cret"},
                                            {"SIPProxyAddress", "op"},
                                            {"SIPProxyPort", "7000"},
                                            {"LocalRTPPort", "18598"}}) {
        EXPECT_EQ(Stored(name), value) << name;
    }
    EXPECT_EQ(settings_.UserAccount, "alice");
    EXPECT_EQ(settings_.LocalRTPPort, 18598);
    Click("ModifyBtn");
    Combo("ProxyPortCB")->setEditText("70000");
    Click("OKBtn");
    EXPECT_EQ(Stored("SIPProxyPort"), "7000");
}

TEST_F(TConfigFormTest, StartupReplacesAnUnknownAddressInMemoryButAnOkDoesNot) {
    StartUp("LocalIPAddress=10.9.9.9\n", {"192.168.1.20", "127.0.0.1", ""});
    EXPECT_EQ(settings_.LocalIPAddress, "192.168.1.20");
    EXPECT_EQ(Stored("LocalIPAddress"), "10.9.9.9") << "the start-up choice is not stored";
    ASSERT_EQ(Combo("LIPComboBox")->count(), 2) << "empty texts are not offered";
    EXPECT_EQ(Combo("LIPComboBox")->currentText(), "192.168.1.20");

    Click("ModifyBtn");
    Combo("LIPComboBox")->setEditText("10.9.9.9");
    Click("OKBtn");
    EXPECT_EQ(restarts_, 1);
    EXPECT_EQ(Stored("LocalIPAddress"), "10.9.9.9");
    EXPECT_EQ(settings_.LocalIPAddress, "10.9.9.9");
}

// Real key events, so that the dialog's key filters see what a user types.
TEST_F(TConfigFormTest, KeyFiltersOfTheFields) {
    StartUp();
    form_->show();
    Click("ModifyBtn");
    QLineEdit* rtp = Edit("LRTPPortEdit");
    const auto typed = [rtp](const char* keys, bool clearFirst = true) {
        if (clearFirst) {
            rtp->clear();
        }
        QTest::keyClicks(rtp, keys);
        return rtp->text().toStdString();
    };
    EXPECT_EQ(typed("700000"), "7000") << "digits only up to 65535";
    EXPECT_EQ(typed("0"), "0") << "any first digit is taken";
    EXPECT_EQ(typed("0", false), "0");
    EXPECT_EQ(typed("5", false), "05");
    EXPECT_EQ(typed("65536"), "6553");
    EXPECT_EQ(typed("5a-. ", false), "65535");
    QTest::keyClick(rtp, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(rtp->text(), "65535") << "pasting is typing";
    QTest::keyClick(rtp, Qt::Key_Backspace);
    QTest::keyClick(rtp, Qt::Key_Home);
    QTest::keyClick(rtp, Qt::Key_Delete);
    EXPECT_EQ(rtp->text(), "553") << "moving and deleting are no typed characters";

    QLineEdit* proxy = Edit("ProxyAddressEdit");
    QTest::keyClicks(proxy, "sip.1");
    EXPECT_EQ(proxy->text(), "sip1");
    // No dot either when set, pasted or dropped (an insert).
    proxy->setText("a.b");
    EXPECT_EQ(proxy->text(), "ab");
    QGuiApplication::clipboard()->setText("c.d");
    proxy->clear();
    proxy->paste();
    proxy->insert(".e");
    EXPECT_EQ(proxy->text(), "cde");

    // The combo boxes refuse Backspace (and the address box Delete) in box and field alike.
    const auto pressBoth = [](QComboBox* box, Qt::Key key) {
        QTest::keyClick(box->lineEdit(), key);
        QTest::keyClick(box, key);
    };
    QComboBox* port = Combo("ProxyPortCB");
    port->setEditText("5060");
    port->lineEdit()->end(false);
    pressBoth(port, Qt::Key_Backspace);
    QTest::keyClicks(port->lineEdit(), "1");
    EXPECT_EQ(port->currentText(), "50601");

    QComboBox* address = Combo("LIPComboBox");
    address->setEditText("10.0.0.1");
    address->lineEdit()->end(false);
    pressBoth(address, Qt::Key_Backspace);
    address->lineEdit()->home(false);
    pressBoth(address, Qt::Key_Delete);
    QTest::keyClicks(address->lineEdit(), "2");
    EXPECT_EQ(address->currentText(), "210.0.0.1");
    QTest::keyClick(address->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(address->count(), 1) << "Enter adds nothing to the list";
}

TEST_F(TConfigFormTest, OkWritesOnlyWhatChangedAndAlwaysRestarts) {
    StartUp();
    Click("ModifyBtn");
    QTest::keyClicks(Edit("AccountEdit"), "alice");
    QTest::keyClicks(Edit("ProxyAddressEdit"), "op");
    Click("OKBtn");
    ExpectLocked(true);
    EXPECT_EQ(restarts_, 1);
    const std::string text = home_.FileText();
    for (const char* line :
         {"UserAccount=alice\n", "SIPProxyAddress=op\n", "LocalIPAddress=127.0.0.1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    for (const char* unchanged : {"UserKey", "SIPProxyPort", "LocalRTPPort"}) {
        EXPECT_EQ(text.find(unchanged), std::string::npos) << unchanged << " in\n" << text;
    }
    EXPECT_EQ(settings_.SIPProxyAddress, "op" + settings::OperatorDomain());

    Click("ModifyBtn");
    Click("OKBtn");
    EXPECT_EQ(restarts_, 2) << "an OK without changes restarts too";
    EXPECT_EQ(home_.FileText(), text);
}

}  // namespace
