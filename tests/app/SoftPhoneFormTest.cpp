#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <vector>

#include "app/StatusLampShape.h"
#include "platform/TThread.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

// Settings without a key: the window must come up without a call manager.
SoftPhoneFormTest::Values IncompleteAccount() {
    return {{"UserAccount", "1001"}, {"SIPProxyAddress", "kyr"}, {"LocalIPAddress", "127.0.0.1"}};
}

class WindowWithoutCallManager : public SoftPhoneFormTest {
protected:
    void SetUp() override {
        StoreSettings(IncompleteAccount());
        BuildForm();
        ASSERT_EQ(form->CallManager(), nullptr);
    }
};

TEST_F(WindowWithoutCallManager, ShowsNoRowsAndOnlyEditsTheNumber) {
    EXPECT_EQ(MessageList()->count(), 0);
    EXPECT_EQ(Child<QLabel>("NumberLabel")->text(), "1001");
    Click("BitBtn1");
    Click("BitBtn2");
    Click("BitBtn3");
    EXPECT_EQ(NumberCB()->currentText(), "123");
    // The bottom row is "*", "0", "#" from left to right: BitBtn12, BitBtn11, BitBtn10.
    Click("BitBtn12");
    Click("BitBtn11");
    Click("BitBtn10");
    EXPECT_EQ(NumberCB()->currentText(), "123*0#");
    Click("DialBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "123*0#");
    EXPECT_EQ(NumberCB()->count(), 0);
    QTest::qWait(20);
    EXPECT_EQ(MessageList()->count(), 0);
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
}

TEST_F(SoftPhoneFormTest, AStoredProxyWithADotIsReportedAndTheFieldTakesNoDotAtAll) {
    Values values = AccountWithProxyPort(5060);
    values["SIPProxyAddress"] = "pbx.kyr.voip.test";
    StoreSettings(values);
    BuildForm();
    EXPECT_EQ(form->CallManager(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Rows().contains(">Proxy address invalid!"); }, 1000))
        << Rows().join('|').toStdString();

    auto* proxy = form->ConfigForm()->findChild<QLineEdit*>("ProxyAddressEdit");
    ASSERT_NE(proxy, nullptr);
    const std::function<void(const QString&)> ways[] = {
        [&](const QString& text) { proxy->setText(text); },
        [&](const QString& text) {
            QGuiApplication::clipboard()->setText(text);
            proxy->clear();
            proxy->paste();
        },
        [&](const QString& text) {
            proxy->clear();
            proxy->insert(text);  // what a drop does
        },
    };
    for (const auto& way : ways) {
        way("pbx.kyr.voip.test");
        EXPECT_EQ(proxy->text(), "pbxkyrvoiptest");
    }
}

TEST_F(WindowWithoutCallManager, ClearEmptiesFieldAndListButKeepsTheHistory) {
    NumberCB()->addItem("555");
    NumberCB()->setEditText("12");
    MessageList()->addItem("row");
    Click("ClearBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_EQ(MessageList()->count(), 0);
    EXPECT_EQ(History(), QStringList{"555"});
}

TEST_F(WindowWithoutCallManager, HotSpotsHideAndCloseAndTheGapsDoNothing) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QWidget* image = Child<QWidget>("Image1");
    auto hiddenOrMinimised = [&] { return !form->isVisible() || form->isMinimized(); };
    // Between the two spots, which the skin draws apart.
    QTest::mouseClick(image, Qt::LeftButton, {}, QPoint(569, 16));
    EXPECT_FALSE(hiddenOrMinimised());
    // Any button counts, at both ends of the hide spot.
    QTest::mouseClick(image, Qt::RightButton, {}, QPoint(565, 24));
    EXPECT_TRUE(hiddenOrMinimised());
    form->TrayIcon1Click(form->TrayIcon());
    EXPECT_FALSE(hiddenOrMinimised());
    QTest::mouseClick(image, Qt::LeftButton, Qt::ShiftModifier, QPoint(548, 9));
    EXPECT_TRUE(hiddenOrMinimised());
    form->TrayIcon1Click(form->TrayIcon());
    ASSERT_TRUE(form->isVisible());
    QTest::mouseClick(image, Qt::LeftButton, {}, QPoint(587, 24));
    EXPECT_FALSE(form->isVisible());
}

// Built under Qt's default, where closing the last visible window ends the program, as in the
// program itself.
class WindowInTheTray : public SoftPhoneFormTest {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(true);
        StoreSettings(IncompleteAccount());
        BuildForm();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        // Where the hide spot puts it when there is a notification area.
        form->hide();
    }
    void TearDown() override { QApplication::setQuitOnLastWindowClosed(false); }

    // Runs the application's event loop for `act`: 0 when something asked the application to
    // quit, 1 when nothing had once every event `act` posted was handled.
    static int RunUntilQuit(const std::function<void()>& act) {
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

private:
    struct QuitWatch : QObject {
        bool asked = false;
        bool eventFilter(QObject* watched, QEvent* event) override {
            asked = asked || (watched == qApp && event->type() == QEvent::Quit);
            return false;
        }
    };
};

TEST_F(WindowInTheTray, ClosingADialogKeepsTheProgramAndTheTrayMenusQuitEndsIt) {
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

TEST_F(WindowWithoutCallManager, DialogButtonsShowTheDialogsAndTheHideSpotHidesThemToo) {
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_FALSE(form->ConfigForm()->isVisible());
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
    Click("ConfigBitBtn");
    Click("BookBitBtn");
    EXPECT_TRUE(form->ConfigForm()->isVisible());
    EXPECT_TRUE(form->PhoneBookForm()->isVisible());
    // Pressed again while open, the phone book stays open (it comes to the front).
    Click("BookBitBtn");
    EXPECT_TRUE(form->PhoneBookForm()->isVisible());
    QTest::mouseClick(Child<QWidget>("Image1"), Qt::LeftButton, {}, QPoint(556, 16));
    EXPECT_FALSE(form->ConfigForm()->isVisible());
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
}

// Captures what the read-me button asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

TEST_F(WindowWithoutCallManager, ReadMeButtonOpensTheOperatorsPage) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    Click("CDRBitBtn");
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0].toString(), "http://www.voip.test/SoftPhone/ReadMe.asp");
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return MessageList()->count() == 300; }, 5000));
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(MessageList()->item(i)->text(), QString(">row %1").arg(i));
    }
    EXPECT_EQ(lamp->BrushColor(), QColor(0, 255, 0));
}

}  // namespace
}  // namespace app_testing

#include "SoftPhoneFormTest.moc"
