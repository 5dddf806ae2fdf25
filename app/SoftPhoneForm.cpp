#include "app/SoftPhoneForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include "app/GlyphButton.h"
#include "app/SkinImage.h"
#include "app/SkinPainter.h"
#include "app/StatusLampShape.h"
#include "app/TextBytes.h"
#include "app/UsbHandset.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"

#ifndef SOFTPHONE_OPERATOR_WEB_HOST
#error "SOFTPHONE_OPERATOR_WEB_HOST must name the operator's web host"
#endif

int installLanguage = 1;

namespace {

constexpr QPoint kScreenPosition{249, 109};

// What a number may hold: digits, "*" and "#", and "+" only in front. Anything else would go
// into the Request-URI and the To header of the INVITE as it is.
QString DiallablePart(const QString& text) {
    QString number;
    for (const QChar c : text) {
        const bool key = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         c == QLatin1Char('*') || c == QLatin1Char('#');
        if (key || (c == QLatin1Char('+') && number.isEmpty())) {
            number += c;
        }
    }
    return number;
}

// Keeps an edit line to the diallable part of whatever reached it: typed, pasted, dropped or
// set by the program. The cursor stays after the same kept character.
void KeepDiallable(QLineEdit* edit, const QString& text) {
    const QString number = DiallablePart(text);
    if (number == text) {
        return;
    }
    const int cursor = static_cast<int>(DiallablePart(text.left(edit->cursorPosition())).size());
    edit->setText(number);
    edit->setCursorPosition(cursor);
}

// Rows of the list and items of the history have fixed heights, as the window was laid out.
class FixedRowHeightDelegate : public QStyledItemDelegate {
public:
    FixedRowHeightDelegate(int height, QObject* parent)
        : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
    }

private:
    int height_;
};

QFont FormFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies({"MS Sans Serif", "DejaVu Sans", "Sans Serif"});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

const char* kStyleSheet = R"(
QPushButton {
    border: 1px solid #0b0e12;
    border-radius: 8px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f7f9fb, stop:1 #c3cbd4);
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #d3dae2); }
QPushButton:pressed { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #aab4bf, stop:1 #dde3e9); }
QPushButton:focus { border: 1px solid #3d8ee0; }
QPushButton#DialBitBtn {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #eafbef, stop:1 #b5e2c1);
}
QPushButton#DisconnectBitBtn {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdeeee, stop:1 #e8b9b9);
}
QPushButton#ClearBitBtn {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fff8e6, stop:1 #ecd9a6);
}
QPushButton#ConfigBitBtn, QPushButton#BookBitBtn, QPushButton#CDRBitBtn {
    border-radius: 9px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4d5866, stop:1 #2b323c);
}
QPushButton#ConfigBitBtn:pressed, QPushButton#BookBitBtn:pressed, QPushButton#CDRBitBtn:pressed {
    background: #1d232b;
}
QComboBox#NumberCB {
    border: 1px solid #7d9a83;
    border-radius: 4px;
    padding-left: 4px;
    background: #f4fbf4;
    color: #14261a;
}
QComboBox#NumberCB::drop-down { border: none; width: 18px; }
QListWidget#MessageList {
    border: 1px solid #7d9a83;
    background: #eaf5ea;
    color: #163020;
}
QLabel#NumberLabel { color: #163020; }
)";

}  // namespace

TSoftPhoneForm::TSoftPhoneForm(QWidget* parent)
    : TSoftPhoneForm(AddressLister(platform::LocalIpv4Addresses), parent) {}

TSoftPhoneForm::TSoftPhoneForm(AddressLister listAddresses, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      listAddresses_(std::move(listAddresses)),
      store_(platform::CreateUserSettingsStore()) {
    // The order matters: the settings must be loaded before the dialogs are filled, and the
    // local address chosen before the call manager is built from it.
    BuildWindow();
    if (CheckInstallLanguage()) {
        installLanguage = 2;
    }
    handset_ = std::make_unique<UsbHandset>(*this, *this);
    handset_->Probe();
    LoadSettings();
    EnsureWinsock();
    CreateDialogs();
    // The start-up lines stay only while the registration is still going on after a second.
    CreateCallManager();
    WaitKeepingEventsFlowing(kStartupWaitMs);
    if (CallManager_ && CallManager_->ChangeState(true, CallManagerThread::Idle)) {
        ClearBitBtnClick(this);
    }
}

TSoftPhoneForm::~TSoftPhoneForm() {
    // The call manager writes into views owned here: stop both before they go.
    CallManager_.reset();
    retiredCallManager_.reset();
    if (PhoneBookForm_) {
        PhoneBookForm_->SaveIfModified();
    }
}

// ---------------------------------------------------------------------------------------------
// Building the window

void TSoftPhoneForm::BuildWindow() {
    setWindowTitle("SoftPhone");
    setWindowIcon(skin::ApplicationIcon());
    setFont(FormFont(11, false));
    setFixedSize(skin::kClientSize);
    move(kScreenPosition);
    CreateComponents();
    SetTabOrder();
    ApplyLook();
    ConnectHandlers();
    CreateTrayIcon();
}

void TSoftPhoneForm::CreateComponents() {
    Image1 = new SkinImage(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(QRect(QPoint(0, 0), skin::kImageSize));

    NumberCB = new QComboBox(this);
    NumberCB->setObjectName("NumberCB");
    NumberCB->setGeometry(91, 71, 195, 28);
    NumberCB->setEditable(true);
    // The history is kept by the Dial action alone; Return must not add to it.
    NumberCB->setInsertPolicy(QComboBox::NoInsert);
    NumberCB->setFont(FormFont(16, true));
    NumberCB->setItemDelegate(new FixedRowHeightDelegate(20, NumberCB));
    NumberCB->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoPredictiveText);
    NumberCB->lineEdit()->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoPredictiveText);
    connect(NumberCB->lineEdit(), &QLineEdit::textChanged, this,
            [this](const QString& text) { KeepDiallable(NumberCB->lineEdit(), text); });

    MessageList = new QListWidget(this);
    MessageList->setObjectName("MessageList");
    MessageList->setGeometry(91, 96, 195, 97);
    MessageList->setUniformItemSizes(true);
    MessageList->setItemDelegate(new FixedRowHeightDelegate(13, MessageList));
    MessageList->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoPredictiveText);
    MessageList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    CreateDialPad();

    NumberLabel = new QLabel(this);
    NumberLabel->setObjectName("NumberLabel");
    NumberLabel->setGeometry(99, 226, 180, 22);
    NumberLabel->setAlignment(Qt::AlignCenter);
    NumberLabel->setFont(FormFont(20, true));

    VolumeTrackBar = new QSlider(Qt::Horizontal, this);
    VolumeTrackBar->setObjectName("VolumeTrackBar");
    VolumeTrackBar->setGeometry(99, 200, 180, 27);
    VolumeTrackBar->setRange(0, 25);
    VolumeTrackBar->setValue(13);
    VolumeTrackBar->setTickInterval(1);
    VolumeTrackBar->setSingleStep(1);
    VolumeTrackBar->setPageStep(1);
    VolumeTrackBar->setTickPosition(QSlider::TicksBelow);

    const QRect dial(332, 74, 56, 39), clear(389, 74, 46, 39), hangUp(436, 74, 58, 39);
    const QRect config(139, 262, 38, 37), book(187, 262, 40, 37), readMe(237, 262, 38, 37);
    DialBitBtn = GlyphButton(this, "DialBitBtn", dial,
                             skin::ButtonGlyph(skin::Glyph::Dial, GlyphSizeFor(dial)));
    CDRBitBtn = GlyphButton(this, "CDRBitBtn", readMe,
                            skin::ButtonGlyph(skin::Glyph::ReadMe, GlyphSizeFor(readMe)));
    BookBitBtn = GlyphButton(this, "BookBitBtn", book,
                             skin::ButtonGlyph(skin::Glyph::Book, GlyphSizeFor(book)));
    ClearBitBtn = GlyphButton(this, "ClearBitBtn", clear,
                              skin::ButtonGlyph(skin::Glyph::Clear, GlyphSizeFor(clear)));
    ConfigBitBtn = GlyphButton(this, "ConfigBitBtn", config,
                               skin::ButtonGlyph(skin::Glyph::Config, GlyphSizeFor(config)));
    DisconnectBitBtn = GlyphButton(this, "DisconnectBitBtn", hangUp,
                                   skin::ButtonGlyph(skin::Glyph::HangUp, GlyphSizeFor(hangUp)));
    DialBitBtn->setToolTip("Dial / answer");
    CDRBitBtn->setToolTip("Read me");
    BookBitBtn->setToolTip("Phone book");
    ClearBitBtn->setToolTip("Clear");
    ConfigBitBtn->setToolTip("Settings");
    DisconnectBitBtn->setToolTip("Hang up");

    RegisterStatusShape = new StatusLampShape(this);
    RegisterStatusShape->setObjectName("RegisterStatusShape");
    RegisterStatusShape->setGeometry(106, 274, 12, 13);
    RegisterStatusShape->SetBrushColor(QColor::fromRgb(clRed));
    RegisterStatusShape->SetPenColor(QColor::fromRgb(clMaroon));
    RegisterStatusShape->setToolTip("Registration");
}

void TSoftPhoneForm::SetTabOrder() {
    std::vector<QWidget*> order{NumberCB, MessageList};
    order.insert(order.end(), DialPad.begin(), DialPad.end());
    order.insert(order.end(), {VolumeTrackBar, DialBitBtn, CDRBitBtn, BookBitBtn, ClearBitBtn,
                               ConfigBitBtn, DisconnectBitBtn});
    for (size_t i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void TSoftPhoneForm::ApplyLook() {
    setStyleSheet(kStyleSheet);
}

void TSoftPhoneForm::ConnectHandlers() {
    using Handler = void (TSoftPhoneForm::*)(QObject*);
    constexpr std::array<Handler, 12> dialPadHandlers{
        &TSoftPhoneForm::BitBtn1Click,  &TSoftPhoneForm::BitBtn2Click,
        &TSoftPhoneForm::BitBtn3Click,  &TSoftPhoneForm::BitBtn4Click,
        &TSoftPhoneForm::BitBtn5Click,  &TSoftPhoneForm::BitBtn6Click,
        &TSoftPhoneForm::BitBtn7Click,  &TSoftPhoneForm::BitBtn8Click,
        &TSoftPhoneForm::BitBtn9Click,  &TSoftPhoneForm::BitBtn10Click,
        &TSoftPhoneForm::BitBtn11Click, &TSoftPhoneForm::BitBtn12Click};
    auto onClick = [this](QPushButton* button, Handler handler) {
        connect(button, &QPushButton::clicked, this,
                [this, button, handler] { (this->*handler)(button); });
    };
    for (size_t i = 0; i < DialPad.size(); ++i) {
        onClick(DialPad[i], dialPadHandlers[i]);
    }
    onClick(DialBitBtn, &TSoftPhoneForm::DialBitBtnClick);
    onClick(DisconnectBitBtn, &TSoftPhoneForm::DisconnectBitBtnClick);
    onClick(ClearBitBtn, &TSoftPhoneForm::ClearBitBtnClick);
    onClick(ConfigBitBtn, &TSoftPhoneForm::ConfigBitBtnClick);
    onClick(BookBitBtn, &TSoftPhoneForm::BookBitBtnClick);
    onClick(CDRBitBtn, &TSoftPhoneForm::CDRBitBtnClick);
    connect(VolumeTrackBar, &QSlider::valueChanged, this,
            [this] { VolumeTrackBarChange(VolumeTrackBar); });
    connect(Image1, &SkinImage::MouseDown, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
                Image1MouseDown(Image1, button, shift, x, y);
            });

    // The call manager's rows and colours cross to this thread in the order they were made.
    connect(&messageListView_, &QueuedMessageList::RowAppended, this, &TSoftPhoneForm::AppendRow,
            Qt::QueuedConnection);
    connect(&messageListView_, &QueuedMessageList::LastRowsShown, this,
            &TSoftPhoneForm::ShowLastRows, Qt::QueuedConnection);
    connect(&statusLampView_, &QueuedStatusLamp::BrushColorSet, this,
            &TSoftPhoneForm::SetLampColour, Qt::QueuedConnection);
}

void TSoftPhoneForm::CreateDialogs() {
    // The configuration dialog edits the window's own settings in place.
    ConfigForm_ = std::make_unique<settings::TConfigForm>(settings_, *store_,
                                                          [this] { RestartCallManager(); });
    ChooseLocalAddress();
    ConfigForm_->hide();
    ConfigForm_->FillFields();
    // Shown once and hidden again, so that it is fully built before the user first asks.
    PhoneBookForm_ = std::make_unique<settings::TPhoneBookForm>(phoneBook_, *store_);
    PhoneBookForm_->SetDialRequest([this](const std::string& number) {
        NumberCB->setEditText(FromBytes(number));
        show();
        raise();
        activateWindow();
        DialBitBtnClick(this);
    });
    PhoneBookForm_->setAttribute(Qt::WA_DontShowOnScreen, true);
    PhoneBookForm_->show();
    PhoneBookForm_->hide();
    PhoneBookForm_->setAttribute(Qt::WA_DontShowOnScreen, false);
    PhoneBookForm_->RefreshGrid();
}

void TSoftPhoneForm::ConfigBitBtnClick(QObject*) {
    ConfigForm_->show();
    ConfigForm_->raise();
    ConfigForm_->activateWindow();
}

void TSoftPhoneForm::BookBitBtnClick(QObject*) {
    // Hidden and shown again so that it comes to the front even when it was open.
    PhoneBookForm_->hide();
    PhoneBookForm_->show();
    PhoneBookForm_->raise();
    PhoneBookForm_->activateWindow();
}

QString TSoftPhoneForm::ReadMeUrl() {
    return QStringLiteral("http://") + QStringLiteral(SOFTPHONE_OPERATOR_WEB_HOST) +
           QStringLiteral("/SoftPhone/ReadMe.asp");
}

void TSoftPhoneForm::CDRBitBtnClick(QObject*) {
    // Without a browser or a network nothing can be done about it here.
    QDesktopServices::openUrl(QUrl(ReadMeUrl()));
}

// ---------------------------------------------------------------------------------------------
// Window behaviour

void TSoftPhoneForm::Image1MouseDown(QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int x,
                                     int y) {
    const QPoint at(x, y);
    if (skin::kHideSpot.contains(at)) {
        HideToTray();
        ConfigForm_->hide();
        PhoneBookForm_->hide();
    } else if (skin::kCloseSpot.contains(at)) {
        close();
    }
}

void TSoftPhoneForm::closeEvent(QCloseEvent* event) {
    closing_ = true;
    // The dialogs belong to the application, which ends with this window.
    ConfigForm_->hide();
    PhoneBookForm_->hide();
    TrayIcon1->hide();
    QWidget::closeEvent(event);
    // Queued, so that the window has finished closing before the application closes the rest.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// What the call manager shows

void TSoftPhoneForm::AppendRow(const QString& row) {
    MessageList->addItem(row);
}

void TSoftPhoneForm::ShowLastRows(int rows) {
    const int top = MessageList->count() - rows;
    if (top < 0 || top >= MessageList->count()) {
        return;
    }
    MessageList->scrollToItem(MessageList->item(top), QAbstractItemView::PositionAtTop);
}

void TSoftPhoneForm::SetLampColour(quint32 rgb) {
    RegisterStatusShape->SetBrushColor(QColor::fromRgb(rgb));
}
