#include <QComboBox>
#include <QListWidget>
#include <QSlider>

#include "app/GlyphButton.h"
#include "app/SkinPainter.h"
#include "app/SoftPhoneForm.h"
#include "app/TextBytes.h"
#include "app/dialogs/PhoneBookForm.h"
#include "call/CallManagerThread.h"

// The dial pad and the call buttons, whether clicked or pressed on the handset.

namespace {

struct DialPadKey {
    const char* name;
    QChar character;
    int keyCode;  // as the call manager sends it: 10 + digit, 20 for "*", 21 for "#"
    int row;
    int column;
};

// BitBtn1 ... BitBtn12 in order; note the bottom row: "*" is BitBtn12, "#" is BitBtn10.
constexpr std::array<DialPadKey, 12> kDialPadKeys{{
    {"BitBtn1", '1', 11, 0, 0},
    {"BitBtn2", '2', 12, 0, 1},
    {"BitBtn3", '3', 13, 0, 2},
    {"BitBtn4", '4', 14, 1, 0},
    {"BitBtn5", '5', 15, 1, 1},
    {"BitBtn6", '6', 16, 1, 2},
    {"BitBtn7", '7', 17, 2, 0},
    {"BitBtn8", '8', 18, 2, 1},
    {"BitBtn9", '9', 19, 2, 2},
    {"BitBtn10", '#', 21, 3, 2},
    {"BitBtn11", '0', 10, 3, 1},
    {"BitBtn12", '*', 20, 3, 0},
}};
constexpr std::array<int, 3> kDialPadColumns{340, 392, 444};
constexpr std::array<int, 4> kDialPadRows{148, 187, 224, 263};
constexpr QSize kDialPadKeySize{43, 37};

}  // namespace

void TSoftPhoneForm::CreateDialPad() {
    for (size_t i = 0; i < kDialPadKeys.size(); ++i) {
        const DialPadKey& key = kDialPadKeys[i];
        const QRect geometry(QPoint(kDialPadColumns[key.column], kDialPadRows[key.row]),
                             kDialPadKeySize);
        DialPad[i] = GlyphButton(this, key.name, geometry,
                                 skin::DialKeyGlyph(key.character, GlyphSizeFor(geometry)));
    }
}

void TSoftPhoneForm::PressDialPadKey(int index) {
    const DialPadKey& key = kDialPadKeys[static_cast<size_t>(index)];
    if (CallManager_) {
        CallManager_->SendDtmf(key.keyCode);
    }
    // Also during a call, so the keys pressed collect in the field.
    NumberCB->setEditText(NumberCB->currentText() + key.character);
}

void TSoftPhoneForm::BitBtn1Click(QObject*) {
    PressDialPadKey(0);
}
void TSoftPhoneForm::BitBtn2Click(QObject*) {
    PressDialPadKey(1);
}
void TSoftPhoneForm::BitBtn3Click(QObject*) {
    PressDialPadKey(2);
}
void TSoftPhoneForm::BitBtn4Click(QObject*) {
    PressDialPadKey(3);
}
void TSoftPhoneForm::BitBtn5Click(QObject*) {
    PressDialPadKey(4);
}
void TSoftPhoneForm::BitBtn6Click(QObject*) {
    PressDialPadKey(5);
}
void TSoftPhoneForm::BitBtn7Click(QObject*) {
    PressDialPadKey(6);
}
void TSoftPhoneForm::BitBtn8Click(QObject*) {
    PressDialPadKey(7);
}
void TSoftPhoneForm::BitBtn9Click(QObject*) {
    PressDialPadKey(8);
}
void TSoftPhoneForm::BitBtn10Click(QObject*) {
    PressDialPadKey(9);
}
void TSoftPhoneForm::BitBtn11Click(QObject*) {
    PressDialPadKey(10);
}
void TSoftPhoneForm::BitBtn12Click(QObject*) {
    PressDialPadKey(11);
}

void TSoftPhoneForm::DialBitBtnClick(QObject*) {
    if (!CallManager_) {
        return;
    }
    // A ringing (or answered) incoming call is answered; the typed number stays.
    if (CallManager_->ChangeState(true, CallManagerThread::Incoming)) {
        CallManager_->Answer();
        return;
    }
    QString number = NumberCB->currentText();
    if (!CallManager_->ChangeState(true, CallManagerThread::Idle) || number.isEmpty()) {
        return;
    }
    if (!phoneBook_.Empty()) {
        if (auto speedDialled = phoneBook_.SpeedDialNumber(ToBytes(number))) {
            number = FromBytes(*speedDialled);
        }
    }
    CallManager_->Dial(ToBytes(number));
    PutOnTopOfHistory(number);
    NumberCB->clearEditText();
}

void TSoftPhoneForm::PutOnTopOfHistory(const QString& number) {
    for (int i = NumberCB->count() - 1; i >= 0; --i) {
        if (NumberCB->itemText(i).compare(number, Qt::CaseInsensitive) == 0) {
            NumberCB->removeItem(i);
        }
    }
    NumberCB->insertItem(0, number);
}

void TSoftPhoneForm::DisconnectBitBtnClick(QObject*) {
    if (CallManager_) {
        CallManager_->HangUp();
    }
    if (!NumberCB->currentText().isEmpty()) {
        NumberCB->clearEditText();
    }
}

void TSoftPhoneForm::ClearBitBtnClick(QObject*) {
    NumberCB->clearEditText();
    MessageList->clear();
}

void TSoftPhoneForm::VolumeTrackBarChange(QObject*) {
    if (CallManager_) {
        CallManager_->SetVolumes(VolumeTrackBar->value(), VolumeTrackBar->maximum());
    }
}

// ---------------------------------------------------------------------------------------------
// The same actions, driven by the handset's keys

void TSoftPhoneForm::ClickDialPadButton(int button) {
    if (button >= 1 && button <= static_cast<int>(kDialPadKeys.size())) {
        PressDialPadKey(button - 1);
    }
}

void TSoftPhoneForm::ClickDial() {
    DialBitBtnClick(this);
}

void TSoftPhoneForm::ClickDisconnect() {
    DisconnectBitBtnClick(this);
}

void TSoftPhoneForm::ClickClear() {
    ClearBitBtnClick(this);
}

void TSoftPhoneForm::ClickPhoneBook() {
    BookBitBtnClick(this);
}

bool TSoftPhoneForm::PhoneBookVisible() const {
    return PhoneBookForm_ != nullptr && PhoneBookForm_->isVisible();
}

int TSoftPhoneForm::NumberHistoryCount() const {
    return NumberCB->count();
}

// An item counts as selected only while the number field still shows it: typing, dialling or
// clearing leaves no selection.
int TSoftPhoneForm::NumberHistorySelectedIndex() const {
    const int index = NumberCB->currentIndex();
    if (index < 0 || NumberCB->itemText(index) != NumberCB->currentText()) {
        return -1;
    }
    return index;
}

void TSoftPhoneForm::SelectNumberHistoryItem(int index) {
    if (index < 0 || index >= NumberCB->count()) {
        return;
    }
    NumberCB->setCurrentIndex(index);
    NumberCB->setEditText(NumberCB->itemText(index));
}
