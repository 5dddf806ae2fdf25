#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/SkinPainter.h"
#include "app/StatusLampShape.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

// Runs the application's event loop for `act`: 0 when something asked the application to
// quit, 1 when nothing had once every event `act` posted was handled.
int RunUntilQuit(const std::function<void()>& act) {
    struct QuitWatch : QObject {
        bool asked = false;
        bool eventFilter(QObject* watched, QEvent* event) override {
            asked = asked || (watched == qApp && event->type() == QEvent::Quit);
            return false;
        }
    } watch;
    qApp->installEventFilter(&watch);
    QTimer::singleShot(0, qApp, [act, &watch] {
        act();
        QMetaObject::invokeMethod(
            qApp, [&watch] { watch.asked || (QCoreApplication::exit(1), true); },
            Qt::QueuedConnection);
    });
    return QApplication::exec();
}

// Under Qt's default, as in the program itself, closing the last visible window would end the
// program: the hide spot puts the window and its dialogs in the tray, the tray icon brings the
// window back, closing a dialog keeps the program and the tray menu's Quit ends it.
TEST_F(SoftPhoneFormTest, AnUnusableProxyIsReportedAndTheTrayKeepsTheProgram) {
    QApplication::setQuitOnLastWindowClosed(true);
    const std::shared_ptr<void> restore(
        nullptr, [](void*) { QApplication::setQuitOnLastWindowClosed(false); });
    Build({{"SIPProxyAddress", "pbx.kyr.voip.test"}});
    EXPECT_EQ(form->CallManager(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Shows(">Proxy address invalid!"); }));
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    Click("ConfigBitBtn");
    Click("BookBitBtn");
    QTest::mouseClick(Find(form.get(), "Image1"), Qt::RightButton, {}, skin::kHideSpot.center());
    EXPECT_FALSE(form->isVisible() && !form->isMinimized());
    EXPECT_FALSE(form->ConfigForm()->isVisible() || form->PhoneBookForm()->isVisible());
    form->TrayIcon1Click(form->TrayIcon());
    EXPECT_TRUE(form->isVisible() && !form->isMinimized());
    QTest::mouseClick(Find(form.get(), "Image1"), Qt::LeftButton, {}, skin::kHideSpot.topLeft());
    for (QWidget* dialog : {(QWidget*)form->ConfigForm(), (QWidget*)form->PhoneBookForm()}) {
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        EXPECT_EQ(RunUntilQuit([dialog] { dialog->close(); }), 1);
    }
    int quits = 0;
    for (QAction* action : form->TrayIcon()->contextMenu()->actions()) {
        if (action->text() == "Quit" && ++quits) {
            EXPECT_EQ(RunUntilQuit([action] { action->trigger(); }), 0);
        }
    }
    EXPECT_EQ(quits, 1);
}

class CallButtons : public SoftPhoneFormTest {
protected:
    void Dial(const QString& number) {
        NumberCB()->setEditText(number);
        Click("DialBitBtn");
    }
    void HangUpAnsweredCall(const std::string& bye) {
        Click("DisconnectBitBtn");
        EXPECT_EQ(NumberCB()->currentText(), "");
        EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count(bye) >= 1; }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
};

// Dial answers a ringing call. Numbers come from the dial pad, the keyboard, the history, a
// speed code or the phone book; the field keeps only what can be dialled, and dialled numbers
// go on top of the history once. While a call is being placed Dial and the dial pad send
// nothing and Hang up cancels it; in a connected call a dial pad key sends DTMF.
TEST_F(CallButtons, AnswerDialCancelDtmfAndHangUp) {
    StartRegistered({{"PhoneBookCount", "1"}, {"PhoneAddress.1", "321*%*Office*:*7"}});
    EXPECT_EQ(Find<StatusLampShape>(form.get(), "RegisterStatusShape")->BrushColor(),
              QColor(0, 255, 0));
    CallManagerThread* manager = form->CallManager();
    Find<QSlider>(form.get(), "VolumeTrackBar")->setValue(25);
    EXPECT_TRUE(QTest::qWaitFor([&] { return manager->VolumePosition == manager->VolumeMax; }));
    const std::string at = "127.0.0.2:" + std::to_string(proxy.port);
    ASSERT_TRUE(proxy.SendToPhone(
        "INVITE sip:1001@127.0.0.1:" + std::to_string(proxy.port) +
        " SIP/2.0\r\nVia: SIP/2.0/UDP " + at +
        ";branch=z9hG4bKapptest1\r\nFrom: \"5550100\" <sip:5550100@kyr.voip.test>;tag=caller1\r\n"
        "To: <sip:1001@kyr.voip.test>\r\nCall-ID: incoming-1@127.0.0.2\r\nCSeq: 1 INVITE\r\n"
        "Contact: <sip:5550100@" +
        at + ">\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(kSdpBody.size()) + "\r\n\r\n" + kSdpBody));
    ASSERT_TRUE(QTest::qWaitFor([&] { return proxy.Count("SIP/2.0 180") >= 1; }));
    Dial("999");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("SIP/2.0 200") >= 1; }));
    EXPECT_EQ(History(), QStringList{});
    HangUpAnsweredCall("BYE sip:5550100@");

    for (const char* button : {"BitBtn1", "BitBtn2", "BitBtn12", "BitBtn11", "BitBtn10"}) {
        Click(button);
    }
    EXPECT_EQ(NumberCB()->currentText(), "12*0#");
    for (const auto& [typed, kept] : {std::pair{"+49 (30) 1-23", "+4930123"},
                                      {"100@evil.example", "100"},
                                      {"<sip:5>", "5"},
                                      {"abc", ""}}) {
        NumberCB()->lineEdit()->clear();
        QTest::keyClicks(NumberCB()->lineEdit(), typed);
        EXPECT_EQ(NumberCB()->currentText(), kept) << typed;
    }
    for (const char* number : {"100", "200", "100", "7"}) {
        Dial(number);
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Outgoing); }));
        Click("BitBtn5");
        Dial("888");
        Click("DisconnectBitBtn");
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
    EXPECT_GE(proxy.Count("CANCEL sip:100@"), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("CANCEL sip:321@") >= 1; }));
    EXPECT_TRUE(Shows(">Call cleared!"));
    // Whatever the clicks during a call being placed had sent would have gone before a CANCEL.
    EXPECT_EQ(proxy.Count("INVITE sip:888@") + proxy.Count("INFO"), 0);
    EXPECT_EQ(History(), (QStringList{"321", "100", "200"}));
    EXPECT_EQ(proxy.Count("INVITE sip:321@"), 1);
    NumberCB()->setEditText("12");
    Click("ClearBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_EQ(Find<QListWidget>(form.get(), "MessageList")->count(), 0);
    EXPECT_EQ(History().size(), 3) << "Clear keeps the history";

    proxy.answerInvites = true;
    form->PhoneBookForm()->show();
    form->PhoneBookForm()->PBookStringGridSelectCell(nullptr, 1, 1);
    form->PhoneBookForm()->PBookStringGridDblClick();
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shows(">Called connected!"); }));
    EXPECT_EQ(proxy.Count("INVITE sip:321@"), 2);
    EXPECT_EQ(History(), (QStringList{"321", "100", "200"}));
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("INFO ") == 2; }));
    HangUpAnsweredCall("BYE sip:321@");
}

// A private network registers often enough to keep its NAT binding open; what the
// configuration dialog stored is what the next call manager registers with.
TEST_F(CallButtons, APrivateAddressRegistersOftenAndARestartTakesTheStoredSettings) {
    Build({{"LocalIPAddress", "192.168.1.20"}});
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->CallManager()->Settings.RegisterInterval, 150);
    proxy.acceptRegistrations = true;
    SettingsTestHome::Store({{"UserAccount", "1002"}, {"LocalIPAddress", "127.0.0.1"}});
    form->RestartCallManager();
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->CallManager()->Settings.Account, "1002");
    EXPECT_EQ(form->CallManager()->Settings.RegisterInterval, 7200);
    EXPECT_EQ(Find<QLabel>(form.get(), "NumberLabel")->text(), "1002");
    EXPECT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }));
}

}  // namespace
}  // namespace app_testing
