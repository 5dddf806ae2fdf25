#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <tuple>

#include "app/SkinPainter.h"
#include "app/StatusLampShape.h"
#include "platform/TThread.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

using skin::kCloseSpot;
using skin::kHideSpot;

// Settings without a key: the window must come up without a call manager.
class WindowWithoutCallManager : public SoftPhoneFormTest {
protected:
    void SetUp() override {
        form.reset();
        Build(
            {{"UserAccount", "1001"}, {"SIPProxyAddress", "kyr"}, {"LocalIPAddress", "127.0.0.1"}});
        ASSERT_EQ(form->CallManager(), nullptr);
    }
};

// Captures what the read-me button asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

TEST_F(WindowWithoutCallManager, ButtonsEditTheNumberAndShowTheDialogsAndSpotsHideTheWindow) {
    EXPECT_EQ(MessageList()->count(), 0);
    EXPECT_EQ(Child<QLabel>("NumberLabel")->text(), "1001");
    // The bottom row is "*", "0", "#" from left to right: BitBtn12, BitBtn11, BitBtn10.
    for (const char* button :
         {"BitBtn1", "BitBtn2", "BitBtn3", "BitBtn12", "BitBtn11", "BitBtn10"}) {
        Click(button);
    }
    EXPECT_EQ(NumberCB()->currentText(), "123*0#");
    Click("DialBitBtn");
    QCoreApplication::processEvents();
    EXPECT_EQ(NumberCB()->currentText(), "123*0#");
    EXPECT_EQ(NumberCB()->count(), 0);
    EXPECT_EQ(MessageList()->count(), 0);
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    // Clear empties field and list but keeps the history.
    NumberCB()->addItem("555");
    NumberCB()->setEditText("12");
    MessageList()->addItem("row");
    Click("ClearBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_EQ(MessageList()->count(), 0);
    EXPECT_EQ(History(), QStringList{"555"});

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    Click("CDRBitBtn");
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl("http://www.voip.test/SoftPhone/ReadMe.asp")});

    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QWidget* image = Child<QWidget>("Image1");
    const auto hidden = [&] { return !form->isVisible() || form->isMinimized(); };
    Click("ConfigBitBtn");
    Click("BookBitBtn");
    Click("BookBitBtn");  // pressed again while open, the phone book stays open
    EXPECT_TRUE(form->ConfigForm()->isVisible());
    EXPECT_TRUE(form->PhoneBookForm()->isVisible());
    // Between the two spots, which the skin draws apart.
    QTest::mouseClick(image, Qt::LeftButton, {},
                      QPoint(kCloseSpot.left() - 1, kHideSpot.center().y()));
    EXPECT_FALSE(hidden());
    // Any button counts, anywhere on the hide spot, and it hides the dialogs too.
    const std::tuple<Qt::MouseButton, Qt::KeyboardModifiers, QPoint> hideClicks[] = {
        {Qt::LeftButton, {}, kHideSpot.center()},
        {Qt::RightButton, {}, kHideSpot.bottomRight()},
        {Qt::LeftButton, Qt::ShiftModifier, kHideSpot.topLeft()}};
    for (const auto& [button, modifiers, at] : hideClicks) {
        QTest::mouseClick(image, button, modifiers, at);
        EXPECT_TRUE(hidden()) << at.x() << "," << at.y();
        EXPECT_FALSE(form->ConfigForm()->isVisible());
        EXPECT_FALSE(form->PhoneBookForm()->isVisible());
        form->TrayIcon1Click(form->TrayIcon());
        EXPECT_FALSE(hidden());
    }
    QTest::mouseClick(image, Qt::LeftButton, {}, kCloseSpot.bottomRight());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(SoftPhoneFormTest, AStoredProxyWithADotIsReportedAndStartsNoCallManager) {
    Values values = Account(5060);
    values["SIPProxyAddress"] = "pbx.kyr.voip.test";
    Build(values);
    EXPECT_EQ(form->CallManager(), nullptr);
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Proxy address invalid!"); }));
}

struct QuitWatch : QObject {
    bool asked = false;
    bool eventFilter(QObject* watched, QEvent* event) override {
        asked = asked || (watched == qApp && event->type() == QEvent::Quit);
        return false;
    }
};

// Runs the application's event loop for `act`: 0 when something asked the application to
// quit, 1 when nothing had once every event `act` posted was handled.
int RunUntilQuit(const std::function<void()>& act) {
    QuitWatch watch;
    qApp->installEventFilter(&watch);
    QTimer::singleShot(0, qApp, [act, &watch] {
        act();
        QMetaObject::invokeMethod(
            qApp,
            [&watch] {
                if (!watch.asked) {
                    QCoreApplication::exit(1);
                }
            },
            Qt::QueuedConnection);
    });
    return QApplication::exec();
}

// Under Qt's default, as in the program itself, closing the last visible window would end the
// program; the window is hidden in the tray, where the hide spot puts it.
TEST_F(WindowWithoutCallManager, ClosingADialogKeepsTheProgramAndTheTrayMenusQuitEndsIt) {
    QApplication::setQuitOnLastWindowClosed(true);
    const std::shared_ptr<void> restore(
        nullptr, [](void*) { QApplication::setQuitOnLastWindowClosed(false); });
    SetUp();  // built again under Qt's default
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->hide();
    for (QWidget* dialog :
         std::initializer_list<QWidget*>{form->ConfigForm(), form->PhoneBookForm()}) {
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        EXPECT_EQ(RunUntilQuit([dialog] { dialog->close(); }), 1)
            << dialog->objectName().toStdString();
        EXPECT_FALSE(dialog->isVisible());
    }
    const QList<QAction*> actions = form->TrayIcon()->contextMenu()->actions();
    const auto quit = std::find_if(actions.begin(), actions.end(),
                                   [](QAction* action) { return action->text() == "Quit"; });
    ASSERT_NE(quit, actions.end());
    EXPECT_EQ(RunUntilQuit([quit] { (*quit)->trigger(); }), 0);
}

// Writes rows and lamp colours from its own thread, as the call manager does.
class RowWriter final : public TThread {
public:
    RowWriter(MessageListView& list, StatusLampView& lamp) : list_(list), lamp_(lamp) {}
    ~RowWriter() override { TerminateAndWait(); }

protected:
    void Execute() override {
        for (int i = 0; i < 300; ++i) {
            list_.AppendRow(">row " + std::to_string(i));
            lamp_.SetBrushColor(i % 2 == 0 ? clRed : clLime);
        }
        list_.ShowLastRows(4);
    }

private:
    MessageListView& list_;
    StatusLampView& lamp_;
};

TEST_F(WindowWithoutCallManager, RowsFromAnotherThreadArriveInOrder) {
    auto* lamp = Child<StatusLampShape>("RegisterStatusShape");
    EXPECT_EQ(lamp->BrushColor(), QColor(255, 0, 0)) << "red until registered";
    RowWriter writer(form->MessageListSink(), form->StatusLampSink());
    writer.Resume();
    ASSERT_TRUE(Eventually([&] { return MessageList()->count() == 300; }));
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(MessageList()->item(i)->text(), QString(">row %1").arg(i));
    }
    EXPECT_EQ(lamp->BrushColor(), QColor(0, 255, 0));
}

}  // namespace
}  // namespace app_testing

#include "SoftPhoneFormTest.moc"
