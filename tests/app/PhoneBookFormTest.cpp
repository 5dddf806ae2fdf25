#include "app/dialogs/PhoneBookForm.h"

#include <QTableWidget>
#include <filesystem>

#include "tests/app/SoftPhoneFormFixture.h"

using app_testing::Click;
using app_testing::Find;
using app_testing::Text;
using app_testing::Type;
using settings::PhoneBook;

namespace {

class PhoneBookFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        form_ = std::make_unique<settings::TPhoneBookForm>(book_, store_);
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    }
    QTableWidget* Grid() { return Find<QTableWidget>(form_.get(), "PBookStringGrid"); }
    QPoint CellCentre(int row) {
        Grid()->scrollToItem(Grid()->item(row, 1));
        return Grid()->visualItemRect(Grid()->item(row, 1)).center();
    }
    void ClickRow(int row) {
        QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(row));
    }
    // The grid row below the caption row: position, number, name, speed code.
    std::string Row(int row) {
        std::string text;
        for (int column = 0; column < 4; ++column) {
            text += (Grid()->item(row, column) ? Grid()->item(row, column)->text().toStdString()
                                               : "<none>") +
                    (column < 3 ? "|" : "");
        }
        return text;
    }
    void Edit(const char* button, const QString& number, const QString& name,
              const QString& speed = "") {
        Click(form_.get(), button);
        Type(form_.get(), "PBookNumEdit", number);
        Type(form_.get(), "PBookNameEdit", name);
        Type(form_.get(), "PBookSpeedEdit", speed);
        Click(form_.get(), "PBookOKBtn");
    }
    std::string Stored(const char* name) { return SettingsTestHome::Stored(name); }

    SettingsTestHome home_;
    platform::IniSettingsStore store_;
    PhoneBook book_;
    std::unique_ptr<settings::TPhoneBookForm> form_;
};

// Every change shows in the grid and is written at once, for the owner only; a refused
// entry leaves the book and keeps the typed fields.
TEST_F(PhoneBookFormTest, NewModifyAndDeleteShowInTheGridAndTheFile) {
    Edit("PBookNewBtn", "20", "Twenty");
    Edit("PBookNewBtn", "100", "Hundred", "1");
    EXPECT_EQ(Row(1) + "/" + Row(2), "1|100|Hundred|1/2|20|Twenty|");
    EXPECT_EQ(Stored("PhoneBookCount") + "/" + Stored("PhoneAddress.1"), "2/100*%*Hundred*:*1");
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(home_.File()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    Edit("PBookNewBtn", "600", "HUNDRED");
    EXPECT_EQ(Text(form_.get(), "PBookNameEdit"), "HUNDRED");
    EXPECT_EQ(book_.Count(), 2);

    Click(form_.get(), "PBookCnlBtn");
    ClickRow(1);
    EXPECT_EQ(Text(form_.get(), "PBookSpeedEdit"), "1");
    Edit("PBookMdyBtn", "100", "Head office", "1");
    EXPECT_EQ(Row(1), "1|100|Head office|1");
    EXPECT_EQ(Stored("PhoneAddress.1"), "100*%*Head office*:*1");
    ClickRow(1);
    Click(form_.get(), "PBookDelBtn");
    EXPECT_EQ(Row(1) + "/" + Row(2), "1|20|Twenty|/|||");
    EXPECT_EQ(Stored("PhoneBookCount") + "/" + Stored("PhoneAddress.1"), "1/20*%*Twenty*:*nil");
}

}  // namespace
