#include "settings/PhoneBookForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "platform/IniSettingsStore.h"
#include "settings/PhoneBookStorage.h"
#include "tests/settings/PhoneBookTestHome.h"

using settings::PhoneBook;
using settings::TPhoneBookForm;
using Strings = std::vector<std::string>;

namespace {

class PhoneBookFormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        form_ = std::make_unique<TPhoneBookForm>(book_, store_);
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    }

    template <typename Widget>
    Widget* Find(const char* name) {
        auto* widget = form_->findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }

    void Type(const char* edit, const std::string& text) {
        QLineEdit* field = Find<QLineEdit>(edit);
        field->clear();
        QTest::keyClicks(field, QString::fromStdString(text));
    }

    std::string Text(const char* edit) { return Find<QLineEdit>(edit)->text().toStdString(); }

    QPoint CellCentre(int row, int column) {
        QTableWidget* grid = Grid();
        grid->scrollToItem(grid->item(row, column));
        return grid->visualItemRect(grid->item(row, column)).center();
    }

    void ClickRow(int row) {
        QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(row, 2));
    }

    std::string Cell(int row, int column) {
        const QTableWidgetItem* item = Grid()->item(row, column);
        return item ? item->text().toStdString() : std::string("<none>");
    }

    QTableWidget* Grid() { return Find<QTableWidget>("PBookStringGrid"); }

    void AddByHand(const std::string& number, const std::string& name,
                   const std::string& speed = "") {
        Click("PBookNewBtn");
        Type("PBookNumEdit", number);
        Type("PBookNameEdit", name);
        Type("PBookSpeedEdit", speed);
        Click("PBookOKBtn");
    }

    PhoneBookTestHome home_;
    platform::IniSettingsStore store_;
    PhoneBook book_;
    std::unique_ptr<TPhoneBookForm> form_;
};

TEST_F(PhoneBookFormTest, StartsLockedWithItsComponentsAndAnEmptyGrid) {
    EXPECT_EQ(form_->windowTitle(), "PhoneBook");
    QComboBox* findColumn = Find<QComboBox>("PBookFindCB");
    EXPECT_EQ(findColumn->currentText(), "Select");
    EXPECT_EQ(findColumn->currentIndex(), -1);
    ASSERT_EQ(findColumn->count(), 3);
    EXPECT_EQ(findColumn->itemText(0), "Number");
    EXPECT_EQ(findColumn->itemText(1), "Name");
    EXPECT_EQ(findColumn->itemText(2), "Speed");
    EXPECT_EQ(Find<QLabel>("Label7")->text(), "Number");
    EXPECT_EQ(Find<QLabel>("Label8")->text(), "Name");
    EXPECT_EQ(Find<QLabel>("Label9")->text(), "Speed");
    Find<QLineEdit>("PBookTargetEdit");
    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"PBookFindBtn", "Find"},  {"PBookNewBtn", "New"}, {"PBookMdyBtn", "Modify"},
        {"PBookDelBtn", "Delete"}, {"PBookOKBtn", "OK"},   {"PBookCnlBtn", "Cancel"}};
    for (const auto& [name, caption] : buttons) {
        EXPECT_EQ(Find<QPushButton>(name)->text(), caption);
    }
    EXPECT_FALSE(Find<QGroupBox>("PBookGB")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("PBookOKBtn")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("PBookCnlBtn")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("PBookNewBtn")->isEnabled());

    QTableWidget* grid = Grid();
    ASSERT_EQ(grid->columnCount(), 4);
    EXPECT_EQ(grid->columnWidth(0), 40);
    EXPECT_EQ(grid->columnWidth(1), 76);
    EXPECT_EQ(grid->columnWidth(2), 71);
    EXPECT_EQ(grid->columnWidth(3), 62);
    EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(grid->rowCount(), 2);
    EXPECT_EQ(Cell(0, 1), "Number");
    EXPECT_EQ(Cell(0, 2), "Name");
    EXPECT_EQ(Cell(0, 3), "Speed");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_EQ(form_->SelectedIndex(), -1);
}

TEST_F(PhoneBookFormTest, NewEntriesAreSortedAsTextAndShownInTheGrid) {
    Click("PBookNewBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNew);
    EXPECT_TRUE(Find<QGroupBox>("PBookGB")->isEnabled());
    EXPECT_FALSE(Grid()->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("PBookFindBtn")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("PBookDelBtn")->isEnabled());
    Type("PBookNumEdit", "20");
    Type("PBookNameEdit", "Twenty");
    Click("PBookOKBtn");
    AddByHand("100", "Hundred", "1");

    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "20"}));
    EXPECT_EQ(book_.PhoneBookSpeedCodes(), (Strings{"1", "nil"}));
    EXPECT_TRUE(form_->Modified());
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_TRUE(Grid()->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("PBookOKBtn")->isEnabled());

    ASSERT_EQ(Grid()->rowCount(), 4);
    EXPECT_EQ(Cell(1, 0), "1");
    EXPECT_EQ(Cell(1, 1), "100");
    EXPECT_EQ(Cell(1, 2), "Hundred");
    EXPECT_EQ(Cell(1, 3), "1");
    EXPECT_EQ(Cell(2, 0), "2");
    EXPECT_EQ(Cell(2, 1), "20");
    EXPECT_EQ(Cell(2, 3), "");
    EXPECT_EQ(Cell(3, 1), "");
}

TEST_F(PhoneBookFormTest, RefusedCandidatesLeaveTheBookAndKeepTheTypedFields) {
    AddByHand("555", "Home");
    const Strings before = book_.PhoneBookNumbers();

    AddByHand("600", "HOME");
    EXPECT_EQ(book_.PhoneBookNumbers(), before);
    EXPECT_EQ(Text("PBookNameEdit"), "HOME");

    AddByHand("600", "Shop", "nil");
    AddByHand("6*%*00", "Shop");
    AddByHand("600", "Sh*:*op");
    AddByHand("600", "");
    EXPECT_EQ(book_.PhoneBookNumbers(), before);
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_EQ(Grid()->rowCount(), 3);
}

TEST_F(PhoneBookFormTest, TheFiftyFirstEntryIsRefused) {
    for (int i = 0; i < PhoneBook::kMaxEntries; ++i) {
        ASSERT_GE(book_.Add(std::to_string(1000 + i), "Name" + std::to_string(i), ""), 0);
    }
    form_->RefreshGrid();
    AddByHand("2000", "One more");
    EXPECT_EQ(book_.Count(), 50);
    EXPECT_EQ(book_.IndexOfNumber("2000"), -1);
    EXPECT_FALSE(form_->Modified());
}

TEST_F(PhoneBookFormTest, ModifyKeepsTheEntryOwnValuesOutOfItsWay) {
    AddByHand("100", "Office", "1");
    AddByHand("200", "Home", "2");

    ClickRow(1);
    EXPECT_EQ(form_->SelectedIndex(), 0);
    EXPECT_EQ(Text("PBookNumEdit"), "100");
    EXPECT_EQ(Text("PBookSpeedEdit"), "1");
    Click("PBookMdyBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditModify);
    Type("PBookNameEdit", "Head office");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"Head office", "Home"}));
    EXPECT_EQ(book_.PhoneBookSpeedCodes(), (Strings{"1", "2"}));
    EXPECT_EQ(Cell(1, 2), "Head office");

    ClickRow(1);
    Click("PBookMdyBtn");
    Type("PBookNumEdit", "200");
    Type("PBookNameEdit", "Clash");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100", "200"}));
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"Head office", "Home"}));
    EXPECT_EQ(book_.PhoneBookSpeedCodes(), (Strings{"1", "2"}));
    EXPECT_EQ(Text("PBookNumEdit"), "200");
}

TEST_F(PhoneBookFormTest, ModifyWithoutSelectionChangesNothing) {
    AddByHand("100", "Office");
    Click("PBookMdyBtn");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    Type("PBookNumEdit", "300");
    Type("PBookNameEdit", "Shop");
    Click("PBookOKBtn");
    EXPECT_EQ(book_.PhoneBookNumbers(), (Strings{"100"}));
}

TEST_F(PhoneBookFormTest, DeletingTwiceRemovesTheEntryThatMovedUp) {
    AddByHand("100", "A");
    AddByHand("200", "B");
    AddByHand("300", "C");

    ClickRow(1);
    Click("PBookDelBtn");
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_EQ(form_->SelectedIndex(), 0);
    Click("PBookDelBtn");
    EXPECT_EQ(book_.PhoneBookNames(), (Strings{"C"}));
    ASSERT_EQ(Grid()->rowCount(), 3);
    EXPECT_EQ(Cell(1, 1), "300");
    EXPECT_EQ(Cell(2, 1), "");
    EXPECT_EQ(Cell(2, 0), "");

    // Selecting the empty last row keeps the selection.
    ClickRow(2);
    EXPECT_EQ(form_->SelectedIndex(), 0);
    EXPECT_EQ(Text("PBookNumEdit"), "");
}

TEST_F(PhoneBookFormTest, FindLooksUpTheChosenColumnIgnoringCase) {
    AddByHand("100", "Office", "7");
    AddByHand("200", "Home");

    Type("PBookTargetEdit", "home");
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), -1);

    Find<QComboBox>("PBookFindCB")->setCurrentIndex(1);
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), 1);
    EXPECT_EQ(Text("PBookNumEdit"), "200");
    EXPECT_EQ(Text("PBookSpeedEdit"), "");
    EXPECT_EQ(Grid()->currentRow(), 2);

    Find<QComboBox>("PBookFindCB")->setCurrentIndex(2);
    Type("PBookTargetEdit", "7");
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), 0);
    EXPECT_EQ(Text("PBookNameEdit"), "Office");

    Type("PBookTargetEdit", "8");
    Click("PBookFindBtn");
    EXPECT_EQ(form_->SelectedIndex(), -1);
    EXPECT_EQ(Text("PBookNameEdit"), "");
}

TEST_F(PhoneBookFormTest, CancelLeavesTheBookAndClearsTheFields) {
    AddByHand("100", "Office");
    Click("PBookNewBtn");
    Type("PBookNumEdit", "300");
    Type("PBookNameEdit", "Shop");
    Click("PBookCnlBtn");
    EXPECT_EQ(book_.Count(), 1);
    EXPECT_EQ(Text("PBookNumEdit"), "");
    EXPECT_EQ(form_->CurrentEditMode(), TPhoneBookForm::kEditNone);
    EXPECT_FALSE(Find<QGroupBox>("PBookGB")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("PBookNewBtn")->isEnabled());
}

TEST_F(PhoneBookFormTest, DoubleClickHandsTheNumberToTheWindowAndHides) {
    AddByHand("100", "Office");
    AddByHand("200", "Home");
    std::vector<std::string> dialled;
    form_->SetDialRequest([&dialled](const std::string& number) { dialled.push_back(number); });

    // A real double click starts with the press of a single click, which selects the row.
    QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(2, 1));
    QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {}, CellCentre(2, 1));

    EXPECT_EQ(dialled, (Strings{"200"}));
    EXPECT_FALSE(form_->isVisible());
}

TEST_F(PhoneBookFormTest, ClosingSavesOnlyAChangedBookAndAgainAfterwards) {
    form_->close();
    EXPECT_FALSE(form_->isVisible());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(home_.SettingsFile())));

    form_->show();
    AddByHand("100", "Office", "7");
    form_->close();
    EXPECT_FALSE(form_->isVisible());

    form_->show();
    AddByHand("200", "Home");
    form_->close();

    PhoneBook reloaded;
    ASSERT_TRUE(store_.OpenKey(platform::kSoftPhoneSettingsKey, false));
    EXPECT_EQ(settings::LoadPhoneBook(reloaded, store_), 2);
    EXPECT_EQ(store_.ReadString("PhoneAddress.1"), "100*%*Office*:*7");
    EXPECT_EQ(store_.ReadString("PhoneAddress.2"), "200*%*Home*:*nil");
    store_.CloseKey();
}

}  // namespace

// The dialog tests need a QApplication; they run without a display.
int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
