#include "app/dialogs/TConfigForm.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtGlobal>

#include "settings/ProxyAddress.h"
#include "settings/StoredNumber.h"

namespace settings {

namespace {

const char* const kSipPortItems[] = {"5060", "7000"};

// The key is masked with "*", whatever the platform style would draw.
class StarPasswordStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) {
            return '*';
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QString FromText(const std::string& text) {
    return QString::fromStdString(text);
}
std::string ToText(const QString& text) {
    return text.toStdString();
}

bool IsBackspace(const QKeyEvent& key) {
    return key.key() == Qt::Key_Backspace;
}

// Keys that type a character, as opposed to moving the cursor, deleting forward, changing
// focus or closing the dialog. Control letters (clipboard keys among them) count as typed.
bool TypesCharacter(const QKeyEvent& key) {
    if (key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab || key.key() == Qt::Key_Escape ||
        key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) {
        return false;
    }
    if ((key.modifiers() & Qt::ControlModifier) && key.key() >= Qt::Key_A &&
        key.key() <= Qt::Key_Z) {
        return true;
    }
    return !key.text().isEmpty();
}

QPushButton* MakeButton(const char* name, const char* caption, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter in a field must not press a button behind the user's back.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* MakeLabel(const char* name, const QString& caption, QWidget* parent) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QLineEdit* MakeEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

QComboBox* MakeEditableCombo(const char* name, QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setEditable(true);
    // The list holds only what the program puts there; Enter does not add the typed text.
    combo->setInsertPolicy(QComboBox::NoInsert);
    return combo;
}

}  // namespace

TConfigForm::TConfigForm(EffectiveSettings& settings, platform::SettingsStore& store,
                         std::function<void()> restartCallManager, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      store_(store),
      restartCallManager_(std::move(restartCallManager)) {
    setObjectName(QStringLiteral("ConfigForm"));
    setWindowTitle(QStringLiteral("Config"));
    setModal(false);
    BuildComponents();
    Lock();
}

void TConfigForm::BuildComponents() {
    SettingGB = new QGroupBox(QStringLiteral("Settings"), this);
    SettingGB->setObjectName(QStringLiteral("SettingGB"));

    Label1 = MakeLabel("Label1", QStringLiteral("User Account"), SettingGB);
    Label2 = MakeLabel("Label2", QStringLiteral("User Key"), SettingGB);
    Label3 = MakeLabel("Label3", QStringLiteral("Proxy address"), SettingGB);
    Label4 = MakeLabel("Label4", QStringLiteral("Proxy Port"), SettingGB);
    Label5 = MakeLabel("Label5", QStringLiteral("Local RTP Port"), SettingGB);
    Label6 = MakeLabel("Label6", QStringLiteral("Local IP Address"), SettingGB);
    KYRProxyLabel = MakeLabel("KYRProxyLabel", FromText(OperatorDomain()), SettingGB);

    AccountEdit = MakeEdit("AccountEdit", SettingGB);
    KeyEdit = MakeEdit("KeyEdit", SettingGB);
    auto* starStyle = new StarPasswordStyle;
    starStyle->setParent(this);
    KeyEdit->setStyle(starStyle);
    KeyEdit->setEchoMode(QLineEdit::Password);
    ProxyAddressEdit = MakeEdit("ProxyAddressEdit", SettingGB);
    ProxyPortCB = MakeEditableCombo("ProxyPortCB", SettingGB);
    for (const char* item : kSipPortItems) {
        ProxyPortCB->addItem(QString::fromLatin1(item));
    }
    LRTPPortEdit = MakeEdit("LRTPPortEdit", SettingGB);
    LRTPPortEdit->setText(QStringLiteral("18598"));
    LIPComboBox = MakeEditableCombo("LIPComboBox", SettingGB);

    auto* fields = new QGridLayout(SettingGB);
    fields->addWidget(Label1, 0, 0);
    fields->addWidget(AccountEdit, 0, 1, 1, 2);
    fields->addWidget(Label2, 1, 0);
    fields->addWidget(KeyEdit, 1, 1, 1, 2);
    fields->addWidget(Label3, 2, 0);
    fields->addWidget(ProxyAddressEdit, 2, 1);
    fields->addWidget(KYRProxyLabel, 2, 2);
    fields->addWidget(Label4, 3, 0);
    fields->addWidget(ProxyPortCB, 3, 1, 1, 2);
    fields->addWidget(Label5, 4, 0);
    fields->addWidget(LRTPPortEdit, 4, 1, 1, 2);
    fields->addWidget(Label6, 5, 0);
    fields->addWidget(LIPComboBox, 5, 1, 1, 2);

    ModifyBtn = MakeButton("ModifyBtn", "Modify", this);
    OKBtn = MakeButton("OKBtn", "OK", this);
    CancelBtn = MakeButton("CancelBtn", "Cancel", this);
    VersionLabel = MakeLabel("VersionLabel", QString(), this);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ModifyBtn);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* form = new QVBoxLayout(this);
    form->addWidget(SettingGB);
    form->addLayout(buttons);
    form->addWidget(VersionLabel, 0, Qt::AlignRight);

    connect(ModifyBtn, &QPushButton::clicked, this, [this] { ModifyBtnClick(); });
    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
    // Pasted, dropped or set by the program, the label must still follow the typing rule: a
    // full host name would be stored and leave the program without a proxy.
    connect(ProxyAddressEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { KeepProxyLabelWithoutDots(text); });

    // Filters sit on the combo boxes and on their edit lines, which receive the keys typed.
    for (QObject* watched :
         {static_cast<QObject*>(ProxyAddressEdit), static_cast<QObject*>(LRTPPortEdit),
          static_cast<QObject*>(ProxyPortCB), static_cast<QObject*>(ProxyPortCB->lineEdit()),
          static_cast<QObject*>(LIPComboBox), static_cast<QObject*>(LIPComboBox->lineEdit())}) {
        watched->installEventFilter(this);
    }
}

void TConfigForm::FillFields() {
    RestoreFields(false);
}

void TConfigForm::AddLocalAddress(const std::string& address) {
    if (!address.empty()) {
        LIPComboBox->addItem(FromText(address));
    }
}

void TConfigForm::FormShow() {
    VersionLabel->setText(FromText(settings_.VersionText));
    ProxyAddressEdit->setVisible(true);
    KYRProxyLabel->setVisible(true);
    ProxyPortCB->setEnabled(true);
}

void TConfigForm::FormClose() {
    hide();
}

void TConfigForm::ModifyBtnClick() {
    SettingGB->setEnabled(true);
    ModifyBtn->setEnabled(false);
    OKBtn->setEnabled(true);
    CancelBtn->setEnabled(true);
}

void TConfigForm::OKBtnClick() {
    Lock();
    SaveChangedSettings();
    // Every OK rebuilds the call manager, whether anything changed or not.
    if (restartCallManager_) {
        restartCallManager_();
    }
}

void TConfigForm::CancelBtnClick() {
    Lock();
    RestoreFields(true);
}

void TConfigForm::Lock() {
    SettingGB->setEnabled(false);
    ModifyBtn->setEnabled(true);
    OKBtn->setEnabled(false);
    CancelBtn->setEnabled(false);
}

void TConfigForm::RestoreFields(bool selectPortItem) {
    AccountEdit->setText(FromText(settings_.UserAccount));
    KeyEdit->setText(FromText(settings_.UserKey));
    // The list knows two ports only; any other is shown as the second.
    const int portItem = settings_.SIPProxyPort == 5060 ? 0 : 1;
    if (selectPortItem) {
        ProxyPortCB->setCurrentIndex(portItem);
    }
    ProxyPortCB->setEditText(QString::fromLatin1(kSipPortItems[portItem]));
    LRTPPortEdit->setText(QString::number(settings_.LocalRTPPort));
    LIPComboBox->setEditText(FromText(settings_.LocalIPAddress));
    ProxyAddressEdit->setText(FromText(ProxyLabelFromHost(settings_.SIPProxyAddress)));
}

void TConfigForm::SaveChangedSettings() {
    const std::string account = ToText(AccountEdit->text());
    const std::string key = ToText(KeyEdit->text());
    const std::string proxyLabel = ToText(ProxyAddressEdit->text());
    // A port that is not a number (typed or pasted) leaves the stored one as it was.
    const int proxyPort = ParseStoredNumber(ToText(ProxyPortCB->currentText()), 1, kHighestPort)
                              .value_or(settings_.SIPProxyPort);
    const std::string rtpText = ToText(LRTPPortEdit->text());
    const int rtpPort =
        rtpText.empty()
            ? settings_.DefaultRtpPort
            : ParseStoredNumber(rtpText, 0, kHighestPort).value_or(settings_.LocalRTPPort);
    const std::string localAddress = ToText(LIPComboBox->currentText());

    if (!store_.OpenKey(platform::kSoftPhoneSettingsKey, true)) {
        qWarning("Settings could not be opened for writing");
        return;
    }
    // An empty field never erases what is stored.
    if (account != settings_.UserAccount && !account.empty()) {
        store_.WriteString("UserAccount", account);
    }
    if (key != settings_.UserKey && !key.empty()) {
        store_.WriteString("UserKey", key);
    }
    if (proxyLabel != settings_.SIPProxyAddress && !proxyLabel.empty()) {
        store_.WriteString("SIPProxyAddress", proxyLabel);
    }
    if (proxyPort != settings_.SIPProxyPort) {
        store_.WriteString("SIPProxyPort", std::to_string(proxyPort));
    }
    if (!localAddress.empty()) {
        store_.WriteString("LocalIPAddress", localAddress);
    }
    if (rtpPort != settings_.LocalRTPPort) {
        store_.WriteString("LocalRTPPort", std::to_string(rtpPort));
    }
    if (!store_.CloseKey()) {
        qWarning("Settings could not be saved");
    }
}

bool TConfigForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return QDialog::eventFilter(watched, event);
    }
    const auto& key = static_cast<const QKeyEvent&>(*event);
    if (watched == ProxyAddressEdit) {
        return ProxyAddressEditKeyPress(key);
    }
    if (watched == LRTPPortEdit) {
        return LRTPPortEditKeyPress(key);
    }
    if (watched == ProxyPortCB || watched == ProxyPortCB->lineEdit()) {
        return ProxyPortCBKeyPress(key);
    }
    if (watched == LIPComboBox || watched == LIPComboBox->lineEdit()) {
        return LIPComboBoxKeyDown(key) || LIPComboBoxKeyPress(key);
    }
    return QDialog::eventFilter(watched, event);
}

bool TConfigForm::ProxyAddressEditKeyPress(const QKeyEvent& key) const {
    // The domain is fixed; only the label in front of it is typed.
    return key.text().contains(QLatin1Char('.'));
}

void TConfigForm::KeepProxyLabelWithoutDots(const QString& text) {
    const QChar dot = QLatin1Char('.');
    if (!text.contains(dot)) {
        return;
    }
    const int cursor = ProxyAddressEdit->cursorPosition();
    const int dotsBeforeCursor = static_cast<int>(text.left(cursor).count(dot));
    QString label = text;
    label.remove(dot);
    ProxyAddressEdit->setText(label);
    ProxyAddressEdit->setCursorPosition(cursor - dotsBeforeCursor);
}

bool TConfigForm::ProxyPortCBKeyPress(const QKeyEvent& key) const {
    return IsBackspace(key);
}

bool TConfigForm::LIPComboBoxKeyDown(const QKeyEvent& key) const {
    return key.key() == Qt::Key_Delete;
}

bool TConfigForm::LIPComboBoxKeyPress(const QKeyEvent& key) const {
    return IsBackspace(key);
}

bool TConfigForm::LRTPPortEditKeyPress(const QKeyEvent& key) const {
    if (IsBackspace(key) || !TypesCharacter(key)) {
        return false;
    }
    const QString typed = key.text();
    if (typed.size() != 1 || !typed.at(0).isDigit() || typed.at(0).unicode() > '9') {
        return true;
    }
    const QString current = LRTPPortEdit->text();
    if (current.isEmpty()) {
        return false;
    }
    const std::optional<int> number = ParseStoredNumber(ToText(current), 0, kHighestPort);
    if (!number) {
        return true;
    }
    const int next = *number * 10 + (typed.at(0).unicode() - '0');
    return next < 1 || next > kHighestPort;
}

void TConfigForm::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TConfigForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

}  // namespace settings
