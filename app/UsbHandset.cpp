#include "app/UsbHandset.h"

#include <QComboBox>
#include <QMetaObject>

#include "app/SoftPhoneForm.h"
#include "handset/HandsetLibrary.h"
#include "settings/PhoneBookForm.h"

UsbHandset::~UsbHandset() {
    // The library keeps calling back for as long as the process runs.
    DetachHandsetKeySink();
}

bool UsbHandset::Probe() {
    return BindHandsetLibrary(*this);
}

HandsetRinger* UsbHandset::Ringer() {
    return usbHandsetPresent ? &ringer_ : nullptr;
}

void UsbHandset::DeliverKey(int keyCode) {
    // Queued on the window: the call is dropped if the window is gone by then.
    QMetaObject::invokeMethod(
        &window_, [this, keyCode] { HandleHandsetKey(*this, keyCode); }, Qt::QueuedConnection);
}

void UsbHandset::ClickDialPadButton(int button) {
    using Handler = void (TSoftPhoneForm::*)(QObject*);
    static constexpr Handler kHandlers[] = {
        &TSoftPhoneForm::BitBtn1Click,  &TSoftPhoneForm::BitBtn2Click,
        &TSoftPhoneForm::BitBtn3Click,  &TSoftPhoneForm::BitBtn4Click,
        &TSoftPhoneForm::BitBtn5Click,  &TSoftPhoneForm::BitBtn6Click,
        &TSoftPhoneForm::BitBtn7Click,  &TSoftPhoneForm::BitBtn8Click,
        &TSoftPhoneForm::BitBtn9Click,  &TSoftPhoneForm::BitBtn10Click,
        &TSoftPhoneForm::BitBtn11Click, &TSoftPhoneForm::BitBtn12Click,
    };
    if (button >= 1 && button <= 12) {
        (window_.*kHandlers[button - 1])(&window_);
    }
}

void UsbHandset::ClickDial() {
    window_.DialBitBtnClick(&window_);
}

void UsbHandset::ClickDisconnect() {
    window_.DisconnectBitBtnClick(&window_);
}

void UsbHandset::ClickClear() {
    window_.ClearBitBtnClick(&window_);
}

void UsbHandset::ClickPhoneBook() {
    window_.BookBitBtnClick(&window_);
}

bool UsbHandset::PhoneBookVisible() const {
    const settings::TPhoneBookForm* book = window_.PhoneBookForm();
    return book != nullptr && book->isVisible();
}

QComboBox* UsbHandset::NumberCB() const {
    return window_.findChild<QComboBox*>("NumberCB");
}

int UsbHandset::NumberHistoryCount() const {
    const QComboBox* numbers = NumberCB();
    return numbers == nullptr ? 0 : numbers->count();
}

// An item counts as selected only while the number field still shows it: typing, dialling or
// clearing leaves no selection.
int UsbHandset::NumberHistorySelectedIndex() const {
    const QComboBox* numbers = NumberCB();
    if (numbers == nullptr) {
        return -1;
    }
    const int index = numbers->currentIndex();
    if (index < 0 || numbers->itemText(index) != numbers->currentText()) {
        return -1;
    }
    return index;
}

void UsbHandset::SelectNumberHistoryItem(int index) {
    QComboBox* numbers = NumberCB();
    if (numbers == nullptr || index < 0 || index >= numbers->count()) {
        return;
    }
    numbers->setCurrentIndex(index);
    numbers->setEditText(numbers->itemText(index));
}
