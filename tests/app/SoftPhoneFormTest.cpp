#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/SkinPainter.h"
#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

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
                if (!watch.asked)
                    QCoreApplication::exit(1);
            },
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
    Values values = Account(5060);
    values["SIPProxyAddress"] = "pbx.kyr.voip.test";
    Build(values);
    EXPECT_EQ(form->CallManager(), nullptr);
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Proxy address invalid!"); }));
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
    for (QWidget* dialog :
         std::initializer_list<QWidget*>{form->ConfigForm(), form->PhoneBookForm()}) {
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        EXPECT_EQ(RunUntilQuit([dialog] { dialog->close(); }), 1);
    }
    const QList<QAction*> actions = form->TrayIcon()->contextMenu()->actions();
    const auto quit = std::find_if(actions.begin(), actions.end(),
                                   [](QAction* action) { return action->text() == "Quit"; });
    ASSERT_NE(quit, actions.end());
    EXPECT_EQ(RunUntilQuit([quit] { (*quit)->trigger(); }), 0);
}

}  // namespace
}  // namespace app_testing
