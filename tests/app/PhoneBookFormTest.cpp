#include "app/dialogs/PhoneBookForm.h"

#include <QMessageBox>
#include <QTableWidget>
#include <filesystem>
#include <vector>

#include "tests/app/DialogTest.h"

using settings::PhoneBook;
using settings::TPhoneBookForm;
using Strings = std::vector<std::string>;

namespace {

class PhoneBookFormTest : public app_testing::DialogTest<TPhoneBookForm> {
protected:
    void SetUp() override {
        form_ = std::make_unique<TPhoneBookForm>(book_, store_);
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    }

    QTableWidget* Grid() { return Find<QTableWidget>("PBookStringGrid"); }
    QPoint CellCentre(int row, int column) {
        Grid()->scrollToItem(Grid()->item(row, column));
        return Grid()->visualItemRect(Grid()->item(row, column)).center();
    }
    void ClickRow(int row) {
        QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(row, 2));
    }
    std::string Cell(int row, int column) {
        const QTableWidgetItem* item = Grid()->item(row, column);
        return item ? item->text().toStdString() : std::string("<none>");
    }
    // The grid row below the caption row: position, number, name, speed code.
    Strings Row(int row) { return {Cell(row, 0), Cell(row, 1), Cell(row, 2), Cell(row, 3)}; }

    void AddByHand(const std::string& number, const std::string& name,
                   const std::string& speed = "") {
        Click("PBookNewBtn");
        Type("PBookNumEdit", number);
        Type("PBookNameEdit", name);
        Type("PBookSpeedEdit", speed);
        Click("PBookOKBtn");
    }

    platform::IniSettingsStore store_;
    PhoneBook book_;
};

// Every change is written at once, for the owner only; refused candidates leave the book
// and keep the typed fields.
TEST_F(PhoneBookFormTest, NewModifyFindAndDeleteShowInTheGridAndTheFile) {
    const auto expectStored = [&](const char* count, const char* first) {
        EXPECT_EQ(Stored("PhoneBookCount"), count);
        EXPECT_EQ(Stored("PhoneAddress.1"), first);
        namespace fs = std::filesystem;
        EXPECT_EQ(fs::status(home_.File()).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_TRUE(form_->isVisible());
    };
    Click("PBookNewBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNew);
    EXPECT_TRUE(Enabled("PBookGB"));
    EXPECT_FALSE(Enabled("PBookStringGrid") || Enabled("PBookFindBtn") || Enabled("PBookDelBtn"));
    Type("PBookNumEdit", "20");
    Type("PBookNameEdit", "Twenty");
    Click("PBookOKBtn");
    AddByHand("100", "Hundred", "1");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "20"}));
    EXPECT_TRUE(form_->Modified());
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_TRUE(Enabled("PBookStringGrid"));
    EXPECT_FALSE(Enabled("PBookOKBtn"));
    ASSERT_EQ(Grid()->rowCount(), 4);
    EXPECT_EQ(Row(1), (Strings{"1", "100", "Hundred", "1"}));
    EXPECT_EQ(Row(2), (Strings{"2", "20", "Twenty", ""}));
    EXPECT_EQ(Cell(3, 1), "");
    expectStored("2", "100*%*Hundred*:*1");

    // Twenty has no code, so a typed placeholder clashes with it.
    AddByHand("600", "HUNDRED");
    EXPECT_EQ(Text("PBookNameEdit"), "HUNDRED");
    AddByHand("600", "Shop", "nil");
    AddByHand("6*%*00", "Shop");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "20"}));
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_EQ(Grid()->rowCount(), 4);

    // Modify keeps the entry's own values out of its way, and needs a selected entry.
    Click("PBookMdyBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone) << "nothing selected";
    Type("PBookNumEdit", "300");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "20"}));
    ClickRow(1);
    EXPECT_EQ(form_->SelectedIndex(), 0);
    EXPECT_EQ(Text("PBookSpeedEdit"), "1");
    Click("PBookMdyBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditModify);
    Type("PBookNameEdit", "Head office");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"Head office", "Twenty"}));
    EXPECT_EQ(book_.PhoneBookSpeedCodes(), (Strings{"1", "nil"}));
    EXPECT_EQ(Cell(1, 2), "Head office");
    expectStored("2", "100*%*Head office*:*1");
    ClickRow(1);
    Click("PBookMdyBtn");
    Type("PBookNumEdit", "20");
    Type("PBookNameEdit", "Clash");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "20"}));
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"Head office", "Twenty"}));
    EXPECT_EQ(book_.PhoneBookSpeedCodes(), (Strings{"1", "nil"}));
    Click("PBookCnlBtn");
    Click("PBookNewBtn");
    Type("PBookNumEdit", "300");
    Click("PBookCnlBtn");
    EXPECT_EQ(book_.Count(), 2);
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_FALSE(Enabled("PBookGB"));

    // Find looks up the chosen column ignoring case.
    Type("PBookTargetEdit", "twenty");
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), -1) << "no column chosen";
    Find<QComboBox>("PBookFindCB")->setCurrentIndex(1);
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), 1);
    EXPECT_EQ(Text("PBookNumEdit"), "20");
    EXPECT_EQ(Grid()->currentRow(), 2);
    Find<QComboBox>("PBookFindCB")->setCurrentIndex(2);
    Type("PBookTargetEdit", "8");
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), -1);
    EXPECT_EQ(Text("PBookNameEdit"), "");

    // Deleting twice removes the entry that moved up.
    AddByHand("300", "C");
    ClickRow(1);
    Click("PBookDelBtn");
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_EQ(form_->SelectedIndex(), 0);
    Click("PBookDelBtn");
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"C"}));
    ASSERT_EQ(Grid()->rowCount(), 3);
    EXPECT_EQ(Row(1), (Strings{"1", "300", "C", ""}));
    EXPECT_EQ(Row(2), (Strings{"", "", "", ""}));
    expectStored("1", "300*%*C*:*nil");
    ClickRow(1);
    Click("PBookDelBtn");
    expectStored("0", "300*%*C*:*nil");
}

TEST_F(PhoneBookFormTest, AFiftyFirstEntryIsRefusedWithTheReasonAndADoubleClickDials) {
    for (int i = 0; i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book_.Add(std::to_string(100 + i), "Name " + std::to_string(i), "nil"), 0);
    }
    AddByHand("999", "One more");
    EXPECT_EQ(book_.Count(), PhoneBook::kMaxEntries);
    EXPECT_EQ(Text("PBookNumEdit"), "999");
    auto* box = form_->findChild<QMessageBox*>("PBookFullBox");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->text(), "The phone book is full: it holds 50 entries");
    // Nothing was changed through the dialog, so closing it writes nothing.
    form_->close();
    EXPECT_FALSE(form_->isVisible());
    EXPECT_FALSE(std::filesystem::exists(home_.File()));

    // A real double click starts with the press of a single click, which selects the row.
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    Strings dialled;
    form_->SetDialRequest([&dialled](const std::string& number) { dialled.push_back(number); });
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(2, 1));
    QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(2, 1));
    EXPECT_EQ(dialled, (Strings{"101"}));
    EXPECT_FALSE(form_->isVisible());
}

}  // namespace
