#include "app/dialogs/TConfigForm.h"

#include "settings/LoadSettings.h"
#include "settings/ProxyAddress.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace {

using app_testing::Find;
using app_testing::Text;
using app_testing::Type;

// Plays the main window: loads the settings, builds the dialog, and reloads the settings when
// the dialog asks for a restart.
class TConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_.WriteFile(
            "[General]\nUserAccount=alice\nSIPProxyAddress=op\nSIPProxyPort=5080\n"
            "LocalIPAddress=127.0.0.1\nLocalRTPPort=20000\n");
        settings::LoadSettings(*store_, settings_);
        form_ = std::make_unique<settings::TConfigForm>(settings_, *store_, [this] {
            ++restarts_;
            settings::LoadSettings(*store_, settings_);
        });
        form_->AddLocalAddress("127.0.0.1");
        form_->FillFields();
    }
    void Click(const char* button) { app_testing::Click(form_.get(), button); }
    QComboBox* Port() { return Find<QComboBox>(form_.get(), "ProxyPortCB"); }
    std::string Shown() {
        return Text(form_.get(), "AccountEdit") + "|" + Text(form_.get(), "ProxyAddressEdit") +
               "|" + Port()->currentText().toStdString() + "|" + Text(form_.get(), "LRTPPortEdit") +
               (Find(form_.get(), "SettingGB")->isEnabled() ? "|editable" : "|locked");
    }

    SettingsTestHome home_;
    std::unique_ptr<platform::SettingsStore> store_ = platform::CreateUserSettingsStore();
    settings::EffectiveSettings settings_;
    std::unique_ptr<settings::TConfigForm> form_;
    int restarts_ = 0;
};

// A stored port other than 5060 shows as 7000; Cancel restores the fields and writes nothing;
// OK stores what changed (an emptied field never erases what is stored, an empty RTP port
// stores the default, an unusable port nothing) and restarts with the reloaded settings.
TEST_F(TConfigFormTest, CancelRestoresTheFieldsAndOkStoresWhatChangedAndRestarts) {
    EXPECT_EQ(Shown(), "alice|op|7000|20000|locked");
    const std::string before = home_.FileText();
    Click("ModifyBtn");
    EXPECT_EQ(Shown(), "alice|op|7000|20000|editable");
    Type(form_.get(), "AccountEdit", "bob");
    Port()->setCurrentIndex(0);
    Click("CancelBtn");
    EXPECT_EQ(Shown(), "alice|op|7000|20000|locked");
    EXPECT_EQ(home_.FileText(), before);
    EXPECT_EQ(restarts_, 0);

    Click("ModifyBtn");
    Type(form_.get(), "AccountEdit", "bob");
    QTest::keyClicks(Find<QLineEdit>(form_.get(), "ProxyAddressEdit"), ".x");
    Find<QLineEdit>(form_.get(), "LRTPPortEdit")->clear();
    Click("OKBtn");
    EXPECT_EQ(restarts_, 1);
    EXPECT_EQ(Shown(), "bob|opx|7000||locked");
    EXPECT_EQ(settings_.UserAccount + "|" + settings_.SIPProxyAddress + "|" +
                  std::to_string(settings_.SIPProxyPort) + "|" +
                  std::to_string(settings_.LocalRTPPort),
              "bob|opx" + settings::OperatorDomain() + "|7000|18598");
    EXPECT_EQ(SettingsTestHome::Stored("UserKey"), "") << "unchanged, not written";

    Click("ModifyBtn");
    Find<QLineEdit>(form_.get(), "AccountEdit")->clear();
    Port()->setEditText("70000");
    Click("OKBtn");
    EXPECT_EQ(restarts_, 2);
    EXPECT_EQ(
        SettingsTestHome::Stored("UserAccount") + "|" + SettingsTestHome::Stored("SIPProxyPort"),
        "bob|7000");
}

}  // namespace
