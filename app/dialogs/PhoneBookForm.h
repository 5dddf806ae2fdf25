#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "platform/SettingsStore.h"
#include "settings/PhoneBook.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTableWidget;

namespace settings {

// The non-modal phone book dialog: a grid of the entries, a search over one column, and the
// fields to add, change and delete entries. It edits the main window's book in place and
// writes it to the settings key after every change.
class TPhoneBookForm : public QWidget {
    Q_OBJECT

public:
    // What a double click on an entry asks of the main window: put the number into its number
    // field, come to the front and dial it. The dialog has already hidden itself.
    using DialRequest = std::function<void(const std::string& number)>;

    enum EditMode { kEditNone = 0, kEditNew = 1, kEditModify = 2 };

    // book is the main window's own, edited in place; store is where a changed book is
    // written.
    TPhoneBookForm(PhoneBook& book, platform::SettingsStore& store, QWidget* parent = nullptr);
    ~TPhoneBookForm() override;

    void SetDialRequest(DialRequest request) { dialRequest_ = std::move(request); }

    // Rebuilds the grid from the lists: titles in row 0, entry i in row i + 1 with its
    // position in column 0, and an empty last row.
    void RefreshGrid();

    // Writes the book to the settings key when it has been changed since the start; the
    // window may call it when the program ends with the dialog still open or hidden.
    bool SaveIfModified();

    int CurrentEditMode() const { return editMode_; }
    int SelectedIndex() const { return selectedIndex_; }
    bool Modified() const { return modified_; }

    // Event handlers, named after their component and event.
    void PBookFindBtnClick(QObject* sender = nullptr);
    void PBookNewBtnClick(QObject* sender = nullptr);
    void PBookMdyBtnClick(QObject* sender = nullptr);
    void PBookDelBtnClick(QObject* sender = nullptr);
    void PBookOKBtnClick(QObject* sender = nullptr);
    void PBookCnlBtnClick(QObject* sender = nullptr);
    void PBookStringGridSelectCell(QObject* sender, int column, int row);
    void PBookStringGridDblClick(QObject* sender = nullptr);
    void FormClose(QObject* sender = nullptr);
    void FormClick(QObject* sender = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateComponents();
    void CreateGrid();
    void ConnectHandlers();
    void SetEditing(bool editing);
    void ShowEntry(int index);
    void ClearFields();
    void SelectGridRow(int row);
    bool AddFromFields();
    void ReportFullBook();

    PhoneBook& book_;
    platform::SettingsStore& store_;
    DialRequest dialRequest_;
    int editMode_ = kEditNone;
    int selectedIndex_ = -1;
    bool modified_ = false;

    QComboBox* PBookFindCB = nullptr;
    QLineEdit* PBookTargetEdit = nullptr;
    QPushButton* PBookFindBtn = nullptr;
    QTableWidget* PBookStringGrid = nullptr;
    QGroupBox* PBookGB = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* Label9 = nullptr;
    QLineEdit* PBookNumEdit = nullptr;
    QLineEdit* PBookNameEdit = nullptr;
    QLineEdit* PBookSpeedEdit = nullptr;
    QPushButton* PBookNewBtn = nullptr;
    QPushButton* PBookMdyBtn = nullptr;
    QPushButton* PBookDelBtn = nullptr;
    QPushButton* PBookOKBtn = nullptr;
    QPushButton* PBookCnlBtn = nullptr;
    QMessageBox* fullBookBox_ = nullptr;
};

}  // namespace settings
