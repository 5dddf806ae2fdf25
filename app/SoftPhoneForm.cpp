#include "app/SoftPhoneForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include "app/SkinImage.h"
#include "app/SkinPainter.h"
#include "app/StatusLampShape.h"
#include "app/UsbHandset.h"
#include "call/CallManagerThread.h"
#include "handset/HandsetLibrary.h"
#include "media/AudioDeviceSelection.h"
#include "platform/HostAddresses.h"
#include "settings/LoadSettings.h"
#include "settings/LocalAddressChoice.h"
#include "settings/PhoneBookForm.h"
#include "settings/PhoneBookStorage.h"
#include "settings/TConfigForm.h"

#ifndef SOFTPHONE_OPERATOR_WEB_HOST
#error "SOFTPHONE_OPERATOR_WEB_HOST must name the operator's web host"
#endif

int installLanguage = 1;

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

// Text crosses into the core and the settings store as UTF-8, as the dialogs write it.
std::string ToBytes(const QString& text) {
    return text.toStdString();
}

QString FromBytes(const std::string& text) {
    return QString::fromStdString(text);
}

QPushButton* GlyphButton(QWidget* parent, const char* name, const QRect& geometry,
                         const QPixmap& glyph) {
    auto* button = new QPushButton(parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setIcon(QIcon(glyph));
    button->setIconSize(glyph.size());
    return button;
}

QSize GlyphSizeFor(const QRect& geometry) {
    return geometry.size() - QSize(8, 8);
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
    handset_ = std::make_unique<UsbHandset>(*this);
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

void TSoftPhoneForm::CreateDialPad() {
    for (size_t i = 0; i < kDialPadKeys.size(); ++i) {
        const DialPadKey& key = kDialPadKeys[i];
        const QRect geometry(QPoint(kDialPadColumns[key.column], kDialPadRows[key.row]),
                             kDialPadKeySize);
        DialPad[i] = GlyphButton(this, key.name, geometry,
                                 skin::DialKeyGlyph(key.character, GlyphSizeFor(geometry)));
    }
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

void TSoftPhoneForm::CreateTrayIcon() {
    TrayIcon1 = new QSystemTrayIcon(skin::ApplicationIcon(), this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setToolTip("SoftPhone");
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    TrayIcon1Click(TrayIcon1);
                }
            });
    auto* menu = new QMenu(this);
    menu->addAction("Quit", this, &QWidget::close);
    TrayIcon1->setContextMenu(menu);
    // Hidden in the tray the window is not a visible window, so a dialog closed then would be
    // the last one and end the program; the program ends with this window instead.
    QApplication::setQuitOnLastWindowClosed(false);
    // Without a notification area the window simply stays on the task bar.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayIcon1->show();
    }
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

void TSoftPhoneForm::ChooseLocalAddress() {
    ListLocalAddresses();
    settings::ChooseStartupLocalAddress(
        settings_, [this](const std::string& address) { ConfigForm_->AddLocalAddress(address); },
        [this] {
            return std::vector<std::string>(LocalAddresses_.begin(),
                                            LocalAddresses_.begin() + localAddressCount_);
        });
}

// ---------------------------------------------------------------------------------------------
// Lifecycle operations

bool TSoftPhoneForm::CheckInstallLanguage() {
    return QLocale::system().name() == QLatin1String("en_US");
}

// The sockets layer needs no start-up on this platform.
bool TSoftPhoneForm::EnsureWinsock() {
    return true;
}

int TSoftPhoneForm::ListLocalAddresses() {
    const std::vector<std::string> found = listAddresses_(kMaxLocalAddresses);
    localAddressCount_ = 0;
    for (const std::string& address : found) {
        if (localAddressCount_ == kMaxLocalAddresses) {
            break;
        }
        LocalAddresses_[localAddressCount_++] = address;
    }
    return static_cast<int>(found.size());
}

void TSoftPhoneForm::LoadSettings() {
    settings::LoadSettings(*store_, settings_, [this](platform::SettingsStore& openKey) {
        settings::LoadPhoneBook(phoneBook_, openKey);
    });
    NumberLabel->setText(FromBytes(settings_.UserAccount));
    if (PhoneBookForm_) {
        PhoneBookForm_->RefreshGrid();
    }
}

void TSoftPhoneForm::CreateCallManager() {
    // Otherwise the program would only stay without a call manager, with no word why.
    if (settings_.SIPProxyLabelUnusable) {
        messageListView_.AppendRow(">Proxy address invalid!");
    }
    if (settings_.UserAccount.empty() || settings_.UserKey.empty() ||
        settings_.SIPProxyAddress.empty() || settings_.LocalIPAddress.empty()) {
        return;
    }
    auto manager = std::make_unique<CallManagerThread>(registerRequired_);
    manager->SetMessageList(&messageListView_);
    manager->SetStatusLamp(&statusLampView_);
    manager->SetHandsetRinger(handset_->Ringer());
    manager->SetAccount(settings_.UserAccount, settings_.UserKey);
    manager->SetProxy(settings_.SIPProxyAddress, settings_.SIPProxyPort);
    manager->SetLocalAddress(settings_.LocalIPAddress);
    // One configured port serves as the proxy's and as our own SIP port.
    manager->SetLocalPort(settings_.SIPProxyPort);
    manager->SetRtpPort(settings_.LocalRTPPort);
    manager->SetPayloadType(kPayloadType);
    manager->SetCaptureBlockSize(kCaptureBlockSize);
    manager->Start();
    manager->ShowSettings();
    SelectAudioDevices(*manager);
    manager->SetVolumes(VolumeTrackBar->value(), VolumeTrackBar->maximum());
    if (settings_.LocalIPAddress.find("192.168") != std::string::npos) {
        manager->SetRegisterInterval(kNatRegisterInterval);
    }
    manager->Resume();
    CallManager_ = std::move(manager);
    // Through the same queue as the call manager's lines, so it follows its settings lines.
    messageListView_.AppendRow("Call Manager created!!");
}

void TSoftPhoneForm::SelectAudioDevices(CallManagerThread& manager) {
    manager.SetHandsetPresent(usbHandsetPresent);
    const AudioDeviceChoice devices = ::SelectAudioDevices(installLanguage);
    manager.SetAudioDevices(devices.speakerDevice, devices.speakerName, devices.microphoneDevice,
                            devices.microphoneName);
}

void TSoftPhoneForm::RestartCallManager() {
    // A second OK while a restart is waiting runs one more restart afterwards.
    if (restarting_) {
        restartAgain_ = true;
        return;
    }
    restarting_ = true;
    do {
        restartAgain_ = false;
        if (CallManager_) {
            CallManager_->Terminate();
        }
        WaitKeepingEventsFlowing(kRestartStopWaitMs);
        retiredCallManager_ = std::move(CallManager_);
        WaitKeepingEventsFlowing(kRestartSettleWaitMs);
        // The new call manager binds the same SIP port: the old one must have let it go.
        ReleaseRetiredCallManager();
        if (closing_) {
            break;
        }
        LoadSettings();
        CreateCallManager();
    } while (restartAgain_);
    restarting_ = false;
}

void TSoftPhoneForm::ReleaseRetiredCallManager() {
    if (!retiredCallManager_) {
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!retiredCallManager_->Finished() && retiredCallManager_->Started() &&
           waited.elapsed() < 5000) {
        WaitKeepingEventsFlowing(10);
    }
    retiredCallManager_.reset();
}

void TSoftPhoneForm::WaitKeepingEventsFlowing(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---------------------------------------------------------------------------------------------
// Dial pad and call buttons

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

void TSoftPhoneForm::HideToTray() {
    // Hidden without a notification area the window could never come back: it is only
    // minimised then, and stays on the task bar.
    if (TrayIcon1->isVisible()) {
        hide();
    } else {
        showMinimized();
    }
}

void TSoftPhoneForm::TrayIcon1Click(QObject*) {
    showNormal();
    raise();
    activateWindow();
}

void TSoftPhoneForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Minimised, the application goes to the notification area when there is one.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon1 &&
        TrayIcon1->isVisible()) {
        QTimer::singleShot(0, this, [this] { hide(); });
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
