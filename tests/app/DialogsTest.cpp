#include <QTableWidget>

#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "settings/LoadSettings.h"
#include "settings/ProxyAddress.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

class PhoneBookFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        form_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form_));
    }
    QTableWidget* Grid() { return Find<QTableWidget>(&form_, "PBookStringGrid"); }
    void ClickRow(int row) {
        Grid()->scrollToItem(Grid()->item(row, 1));
        QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {},
                          Grid()->visualItemRect(Grid()->item(row, 1)).center());
    }
    // The grid rows below the caption row: position, number, name, speed code.
    std::string Rows() {
        std::string text;
        for (int cell = 4; cell < 12; ++cell) {
            const QTableWidgetItem* item = Grid()->item(cell / 4, cell % 4);
            text += (item ? item->text().toStdString() : "") + (cell % 4 == 3 ? "/" : "|");
        }
        return text;
    }
    void Edit(const char* button, const QString& number, const QString& name,
              const QString& speed = "") {
        Click(&form_, button);
        Type(&form_, "PBookNumEdit", number);
        Type(&form_, "PBookNameEdit", name);
        Type(&form_, "PBookSpeedEdit", speed);
        Click(&form_, "PBookOKBtn");
    }
    std::string Stored() {
        return SettingsTestHome::Stored("PhoneBookCount") + "/" +
               SettingsTestHome::Stored("PhoneAddress.1");
    }

    SettingsTestHome home_;
    platform::IniSettingsStore store_;
    settings::PhoneBook book_;
    settings::TPhoneBookForm form_{book_, store_};
};

// Every change shows in the grid and is written at once; a refused
// entry leaves the book and keeps the typed fields.
TEST_F(PhoneBookFormTest, NewModifyAndDeleteShowInTheGridAndTheFile) {
    Edit("PBookNewBtn", "20", "Twenty");
    Edit("PBookNewBtn", "100", "Hundred", "1");
    EXPECT_EQ(Rows(), "1|100|Hundred|1/2|20|Twenty|/");
    EXPECT_EQ(Stored(), "2/100*%*Hundred*:*1");
    Edit("PBookNewBtn", "600", "HUNDRED");
    EXPECT_EQ(Text(&form_, "PBookNameEdit"), "HUNDRED");
    EXPECT_EQ(book_.Count(), 2);

    Click(&form_, "PBookCnlBtn");
    ClickRow(1);
    EXPECT_EQ(Text(&form_, "PBookSpeedEdit"), "1");
    Edit("PBookMdyBtn", "100", "Head office", "1");
    EXPECT_EQ(Rows(), "1|100|Head office|1/2|20|Twenty|/");
    EXPECT_EQ(Stored(), "2/100*%*Head office*:*1");
    ClickRow(1);
    Click(&form_, "PBookDelBtn");
    EXPECT_EQ(Rows(), "1|20|Twenty|/|||/");
    EXPECT_EQ(Stored(), "1/20*%*Twenty*:*nil");
}

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
}  // namespace app_testing
