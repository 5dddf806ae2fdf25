#include "app/dialogs/PhoneBookForm.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>

#include "settings/PhoneBookStorage.h"

namespace settings {

namespace {

constexpr int kGridColumns = 4;
constexpr int kColumnWidths[kGridColumns] = {40, 76, 71, 62};
constexpr int kNumberColumn = 1;
constexpr int kFindNumber = 0;
constexpr int kFindName = 1;
constexpr int kFindSpeed = 2;

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

std::string ToStdString(const QString& text) {
    return text.toStdString();
}

// The speed field leaves the placeholder of entries without a code empty.
QString ShownSpeedCode(const std::string& speedCode) {
    return speedCode == PhoneBook::kNoSpeedCode ? QString() : ToQString(speedCode);
}

template <typename Widget>
Widget* Named(Widget* widget, const char* name, QRect geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

}  // namespace

TPhoneBookForm::TPhoneBookForm(PhoneBook& book, platform::SettingsStore& store, QWidget* parent)
    : QWidget(parent, Qt::Dialog), book_(book), store_(store) {
    setObjectName(QStringLiteral("PhoneBookForm"));
    setWindowTitle(QStringLiteral("PhoneBook"));
    setFixedSize(464, 292);
    CreateComponents();
    ConnectHandlers();
    RefreshGrid();
}

TPhoneBookForm::~TPhoneBookForm() = default;

void TPhoneBookForm::CreateComponents() {
    PBookFindCB = Named(new QComboBox(this), "PBookFindCB", {8, 8, 90, 22});
    PBookFindCB->setEditable(true);
    PBookFindCB->setInsertPolicy(QComboBox::NoInsert);
    PBookFindCB->addItems(
        {QStringLiteral("Number"), QStringLiteral("Name"), QStringLiteral("Speed")});
    PBookFindCB->setCurrentIndex(-1);
    PBookFindCB->setEditText(QStringLiteral("Select"));
    PBookTargetEdit = Named(new QLineEdit(this), "PBookTargetEdit", {104, 8, 100, 22});
    PBookFindBtn =
        Named(new QPushButton(QStringLiteral("Find"), this), "PBookFindBtn", {210, 8, 56, 22});
    CreateGrid();

    PBookGB = Named(new QGroupBox(this), "PBookGB", {276, 34, 180, 112});
    Label7 = Named(new QLabel(QStringLiteral("Number"), PBookGB), "Label7", {8, 16, 50, 22});
    Label8 = Named(new QLabel(QStringLiteral("Name"), PBookGB), "Label8", {8, 46, 50, 22});
    Label9 = Named(new QLabel(QStringLiteral("Speed"), PBookGB), "Label9", {8, 76, 50, 22});
    PBookNumEdit = Named(new QLineEdit(PBookGB), "PBookNumEdit", {60, 16, 112, 22});
    PBookNameEdit = Named(new QLineEdit(PBookGB), "PBookNameEdit", {60, 46, 112, 22});
    PBookSpeedEdit = Named(new QLineEdit(PBookGB), "PBookSpeedEdit", {60, 76, 112, 22});
    PBookGB->setEnabled(false);

    PBookNewBtn =
        Named(new QPushButton(QStringLiteral("New"), this), "PBookNewBtn", {276, 156, 56, 24});
    PBookMdyBtn =
        Named(new QPushButton(QStringLiteral("Modify"), this), "PBookMdyBtn", {338, 156, 56, 24});
    PBookDelBtn =
        Named(new QPushButton(QStringLiteral("Delete"), this), "PBookDelBtn", {400, 156, 56, 24});
    PBookOKBtn =
        Named(new QPushButton(QStringLiteral("OK"), this), "PBookOKBtn", {300, 192, 64, 24});
    PBookCnlBtn =
        Named(new QPushButton(QStringLiteral("Cancel"), this), "PBookCnlBtn", {372, 192, 64, 24});
    PBookOKBtn->setEnabled(false);
    PBookCnlBtn->setEnabled(false);
}

// Row 0 and column 0 are the fixed title row and position column; the handlers count rows
// the same way, so entry i is row i + 1.
void TPhoneBookForm::CreateGrid() {
    PBookStringGrid = Named(new QTableWidget(this), "PBookStringGrid", {8, 38, 262, 246});
    PBookStringGrid->setColumnCount(kGridColumns);
    PBookStringGrid->horizontalHeader()->hide();
    PBookStringGrid->verticalHeader()->hide();
    PBookStringGrid->verticalHeader()->setDefaultSectionSize(20);
    for (int column = 0; column < kGridColumns; ++column) {
        PBookStringGrid->setColumnWidth(column, kColumnWidths[column]);
    }
    PBookStringGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    PBookStringGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    PBookStringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TPhoneBookForm::ConnectHandlers() {
    connect(PBookFindBtn, &QPushButton::clicked, this, [this] { PBookFindBtnClick(PBookFindBtn); });
    connect(PBookNewBtn, &QPushButton::clicked, this, [this] { PBookNewBtnClick(PBookNewBtn); });
    connect(PBookMdyBtn, &QPushButton::clicked, this, [this] { PBookMdyBtnClick(PBookMdyBtn); });
    connect(PBookDelBtn, &QPushButton::clicked, this, [this] { PBookDelBtnClick(PBookDelBtn); });
    connect(PBookOKBtn, &QPushButton::clicked, this, [this] { PBookOKBtnClick(PBookOKBtn); });
    connect(PBookCnlBtn, &QPushButton::clicked, this, [this] { PBookCnlBtnClick(PBookCnlBtn); });
    connect(PBookStringGrid, &QTableWidget::currentCellChanged, this,
            [this](int row, int column, int, int) {
                PBookStringGridSelectCell(PBookStringGrid, column, row);
            });
    // A click on the row already current shows its entry again (after Delete cleared the
    // fields, say), which the change of the current cell alone would not.
    connect(PBookStringGrid, &QTableWidget::cellClicked, this, [this](int row, int column) {
        PBookStringGridSelectCell(PBookStringGrid, column, row);
    });
    connect(PBookStringGrid, &QTableWidget::cellDoubleClicked, this,
            [this](int, int) { PBookStringGridDblClick(PBookStringGrid); });
}

void TPhoneBookForm::RefreshGrid() {
    // Rebuilding moves the grid's current cell; that is not the user selecting an entry.
    const QSignalBlocker blocker(PBookStringGrid);
    const int entries = book_.Count();
    PBookStringGrid->setRowCount(entries + 2);
    const auto fixedCell = [this](const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(palette().button());
        return item;
    };
    const auto entryCell = [](const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        return item;
    };
    PBookStringGrid->setItem(0, 0, fixedCell(QString()));
    PBookStringGrid->setItem(0, 1, fixedCell(QStringLiteral("Number")));
    PBookStringGrid->setItem(0, 2, fixedCell(QStringLiteral("Name")));
    PBookStringGrid->setItem(0, 3, fixedCell(QStringLiteral("Speed")));
    for (int index = 0; index < entries; ++index) {
        const PhoneBook::Entry entry = book_.At(index);
        const int row = index + 1;
        PBookStringGrid->setItem(row, 0, fixedCell(QString::number(row)));
        PBookStringGrid->setItem(row, 1, entryCell(ToQString(entry.number)));
        PBookStringGrid->setItem(row, 2, entryCell(ToQString(entry.name)));
        PBookStringGrid->setItem(row, 3, entryCell(ShownSpeedCode(entry.speedCode)));
    }
    const int lastRow = entries + 1;
    PBookStringGrid->setItem(lastRow, 0, fixedCell(QString()));
    for (int column = 1; column < kGridColumns; ++column) {
        PBookStringGrid->setItem(lastRow, column, entryCell(QString()));
    }
}

bool TPhoneBookForm::SaveIfModified() {
    if (!modified_) {
        return true;
    }
    return SavePhoneBook(book_, store_);
}

void TPhoneBookForm::SetEditing(bool editing) {
    PBookGB->setEnabled(editing);
    PBookStringGrid->setEnabled(!editing);
    PBookOKBtn->setEnabled(editing);
    PBookCnlBtn->setEnabled(editing);
    PBookNewBtn->setEnabled(!editing);
    PBookMdyBtn->setEnabled(!editing);
    PBookDelBtn->setEnabled(!editing);
    PBookFindBtn->setEnabled(!editing);
}

void TPhoneBookForm::ShowEntry(int index) {
    const PhoneBook::Entry entry = book_.At(index);
    PBookNumEdit->setText(ToQString(entry.number));
    PBookNameEdit->setText(ToQString(entry.name));
    PBookSpeedEdit->setText(ShownSpeedCode(entry.speedCode));
}

void TPhoneBookForm::ClearFields() {
    PBookNumEdit->clear();
    PBookNameEdit->clear();
    PBookSpeedEdit->clear();
}

void TPhoneBookForm::SelectGridRow(int row) {
    const QSignalBlocker blocker(PBookStringGrid);
    PBookStringGrid->setCurrentCell(row, kNumberColumn);
    PBookStringGrid->selectRow(row);
}

void TPhoneBookForm::PBookFindBtnClick(QObject*) {
    const QString target = PBookTargetEdit->text();
    const int column = PBookFindCB->currentIndex();
    if (column < 0 || target.isEmpty()) {
        return;
    }
    const std::string wanted = ToStdString(target);
    int found = -1;
    switch (column) {
        case kFindNumber:
            found = book_.IndexOfNumber(wanted);
            break;
        case kFindName:
            found = book_.IndexOfName(wanted);
            break;
        case kFindSpeed:
            found = book_.IndexOfSpeedCode(wanted);
            break;
        default:
            return;
    }
    selectedIndex_ = found;
    if (found < 0) {
        ClearFields();
        return;
    }
    ShowEntry(found);
    SelectGridRow(found + 1);
}

void TPhoneBookForm::PBookNewBtnClick(QObject*) {
    SetEditing(true);
    ClearFields();
    editMode_ = kEditNew;
    selectedIndex_ = -1;
    PBookNumEdit->setFocus();
}

void TPhoneBookForm::PBookMdyBtnClick(QObject*) {
    SetEditing(true);
    editMode_ = book_.ValidIndex(selectedIndex_) ? kEditModify : kEditNone;
    PBookNumEdit->setFocus();
}

void TPhoneBookForm::PBookDelBtnClick(QObject*) {
    if (!book_.Delete(selectedIndex_)) {
        return;
    }
    // The selected index stays, so it now stands for the entry that moved into its place.
    ClearFields();
    modified_ = true;
    SaveIfModified();
    RefreshGrid();
}

bool TPhoneBookForm::AddFromFields() {
    const std::string number = ToStdString(PBookNumEdit->text());
    const std::string name = ToStdString(PBookNameEdit->text());
    const std::string speedCode = ToStdString(PBookSpeedEdit->text());
    if (editMode_ == kEditNew) {
        if (book_.Full()) {
            ReportFullBook();
            return false;
        }
        return book_.Accepts(number, name, speedCode) && book_.Add(number, name, speedCode) >= 0;
    }
    if (editMode_ != kEditModify || !book_.ValidIndex(selectedIndex_)) {
        return false;
    }
    // The entry itself must not stand in the way of its own new values.
    const PhoneBook::Entry previous = book_.At(selectedIndex_);
    book_.Delete(selectedIndex_);
    if (book_.Accepts(number, name, speedCode) && book_.Add(number, name, speedCode) >= 0) {
        return true;
    }
    book_.Add(previous.number, previous.name, previous.speedCode);
    return false;
}

void TPhoneBookForm::PBookOKBtnClick(QObject*) {
    SetEditing(false);
    const bool complete = !PBookNumEdit->text().isEmpty() && !PBookNameEdit->text().isEmpty();
    // A refused entry is not reported: the fields keep what the user typed.
    if (complete && AddFromFields()) {
        modified_ = true;
        // Written at once: a crash, a kill or a logout must not take the change with it.
        SaveIfModified();
        RefreshGrid();
        ClearFields();
    }
    editMode_ = kEditNone;
}

void TPhoneBookForm::PBookCnlBtnClick(QObject*) {
    SetEditing(false);
    RefreshGrid();
    ClearFields();
    editMode_ = kEditNone;
}

void TPhoneBookForm::PBookStringGridSelectCell(QObject*, int, int row) {
    // Row 0 holds the titles and the last row no entry.
    if (row < 1 || row > book_.Count()) {
        return;
    }
    selectedIndex_ = row - 1;
    ShowEntry(selectedIndex_);
}

void TPhoneBookForm::ReportFullBook() {
    // A bigger book would not load again. Not modal, like the dialog: the user may go on to
    // look for entries to delete with the message still open.
    if (fullBookBox_ == nullptr) {
        fullBookBox_ = new QMessageBox(QMessageBox::Information, windowTitle(),
                                       QStringLiteral("The phone book is full: it holds %1 entries")
                                           .arg(PhoneBook::kMaxEntries),
                                       QMessageBox::Ok, this);
        fullBookBox_->setObjectName(QStringLiteral("PBookFullBox"));
        fullBookBox_->setWindowModality(Qt::NonModal);
    }
    fullBookBox_->show();
    fullBookBox_->raise();
}

void TPhoneBookForm::PBookStringGridDblClick(QObject*) {
    if (!book_.ValidIndex(selectedIndex_)) {
        return;
    }
    const std::string number = book_.At(selectedIndex_).number;
    hide();
    if (dialRequest_) {
        dialRequest_(number);
    }
}

void TPhoneBookForm::FormClose(QObject*) {
    hide();
    // The flag stays set, so every later close writes the book again.
    SaveIfModified();
}

void TPhoneBookForm::FormClick(QObject*) {
    raise();
    activateWindow();
}

void TPhoneBookForm::closeEvent(QCloseEvent* event) {
    FormClose(this);
    event->accept();
}

void TPhoneBookForm::mousePressEvent(QMouseEvent* event) {
    FormClick(this);
    QWidget::mousePressEvent(event);
}

// The book may have changed since the grid was last filled (settings reloaded after the
// configuration dialog's OK bring back entries deleted but not yet saved).
void TPhoneBookForm::showEvent(QShowEvent* event) {
    RefreshGrid();
    QWidget::showEvent(event);
}

}  // namespace settings
