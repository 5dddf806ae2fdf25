#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <mutex>
#include <thread>

#include "app/SkinPainter.h"
#include "app/SoftPhoneForm.h"
#include "app/StatusLampShape.h"
#include "app/dialogs/PhoneBookForm.h"
#include "app/dialogs/TConfigForm.h"
#include "call/CallManagerThread.h"
#include "platform/HostAddresses.h"
#include "platform/UdpSocket.h"
#include "tests/settings/SettingsTestHome.h"
#include "tests/support/CallTestDoubles.h"

namespace {

template <typename Widget = QWidget>
Widget* Find(const QObject* parent, const char* name) {
    auto* widget = parent->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}
void Click(const QObject* parent, const char* button) {
    QTest::mouseClick(Find(parent, button), Qt::LeftButton);
}
void Type(const QObject* parent, const char* edit, const QString& text) {
    Find<QLineEdit>(parent, edit)->clear();
    QTest::keyClicks(Find<QLineEdit>(parent, edit), text);
}
std::string Text(const QObject* parent, const char* edit) {
    return Find<QLineEdit>(parent, edit)->text().toStdString();
}
QPoint FirstRow(QTableWidget* grid) {
    return grid->visualItemRect(grid->item(1, 1)).center();
}

constexpr auto Stored = &SettingsTestHome::Stored;
const std::string kSdpBody =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.3\r\ns=-\r\nc=IN IP4 127.0.0.3\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";

// The operator's proxy shares the phone's port on a second loopback address (sipp cannot),
// records every datagram and, when told to, answers REGISTER and INVITE with 200 OK.
class LoopbackProxy {
    platform::UdpSocket socket_;

public:
    const uint16_t port = [this] {
        uint32_t address = 0;
        platform::ParseDottedIpv4("127.0.0.2", &address);
        return socket_.SetReuseAddress() && socket_.Bind(0, address) ? socket_.LocalPort() : 0;
    }();
    std::atomic<bool> acceptRegistrations = false, answerInvites = false;
    ~LoopbackProxy() { stop_ = true, socket_.Wake(), thread_.join(); }
    bool SendToPhone(const std::string& text) {
        std::lock_guard hold(lock_);
        return socket_.SendTo(text.data(), text.size(), phone_) == long(text.size());
    }
    int Count(const std::string& prefix) {
        std::lock_guard hold(lock_);
        return int(std::count_if(received_.begin(), received_.end(),
                                 [&](const std::string& d) { return d.rfind(prefix, 0) == 0; }));
    }

private:
    void Serve() {
        char buffer[4096];
        platform::Ipv4Endpoint from{};
        if (socket_.WaitReadable(200) != platform::UdpSocket::WaitResult::Readable) {
            return;
        }
        const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &from);
        const std::string request(buffer, size_t(std::clamp(length, 0L, long(sizeof(buffer)))));
        std::lock_guard hold(lock_);
        received_.push_back(request);
        phone_ = from;
        const bool invite = request.rfind("INVITE ", 0) == 0;
        if (!(invite ? answerInvites.load()
                     : request.rfind("REGISTER ", 0) == 0 && acceptRegistrations)) {
            return;
        }
        const std::string ok =
            call_testing::ResponseTo(request, "200 OK",
                                     invite ? "Contact: <sip:callee@127.0.0.2>\r\n"
                                            : "Contact: <sip:1001@127.0.0.1>;expires=7200\r\n",
                                     invite ? kSdpBody : "", "proxy1");
        socket_.SendTo(ok.data(), ok.size(), from);
    }

    std::mutex lock_;
    platform::Ipv4Endpoint phone_{};
    std::vector<std::string> received_;
    std::atomic<bool> stop_ = false;
    std::thread thread_{[this] {
        while (!stop_) {
            Serve();
        }
    }};
};

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

// A private network registers often enough to keep its NAT binding open. The dialog shows a
// port other than 5060 as 7000; Cancel writes nothing; OK stores what changed (an emptied
// field never erases, an empty RTP port stores the default, an unusable port nothing) and the
// next call manager registers with it. Under Qt's default, as in the program, closing the last
// window would end the program: the tray must keep it until its menu's Quit.
//
// Dial answers a ringing call. Numbers come from the dial pad, the keyboard, the history, a
// speed code or the phone book; the field keeps only what can be dialled, and dialled numbers
// go on top of the history once. While a call is being placed Dial and the dial pad send
// nothing and Hang up cancels it; in a connected call a dial pad key sends DTMF.
TEST(SoftPhoneFormTest, SettingsCallsPhoneBookAndTray) {
    ASSERT_EQ(platform::ResolveFirstIpv4("kyr.voip.test"), "127.0.0.2")
        << "run under scripts/with-test-env.sh (libnss-wrapper with tools/demo/hosts)";
    SettingsTestHome home;
    LoopbackProxy proxy;
    ASSERT_NE(proxy.port, 0);
    std::unique_ptr<TSoftPhoneForm> form;  // the call manager goes before the proxy
    const auto click = [&](const char* button) { Click(form.get(), button); };
    const auto numberCB = [&] { return Find<QComboBox>(form.get(), "NumberCB"); };
    const auto dial = [&](const QString& number) {
        numberCB()->setEditText(number);
        click("DialBitBtn");
    };
    const auto callStateIs = [&](int state) {
        return form->CallManager() != nullptr && form->CallManager()->ChangeState(true, state);
    };
    const auto hangUp = [&](const std::string& bye) {
        click("DisconnectBitBtn");
        EXPECT_EQ(numberCB()->currentText(), "");
        EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count(bye) >= 1; }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return callStateIs(CallManagerThread::Idle); }));
    };
    const auto shows = [&](const char* row) {
        return !Find<QListWidget>(form.get(), "MessageList")->findItems(row, {}).empty();
    };
    const auto history = [&] {
        QStringList items;
        while (items.size() < numberCB()->count()) {
            items << numberCB()->itemText(items.size());
        }
        return items;
    };
    SettingsTestHome::Store({{"UserAccount", "1001"},
                             {"UserKey", "secret"},
                             {"SIPProxyAddress", "kyr"},
                             {"SIPProxyPort", std::to_string(proxy.port)},
                             {"LocalIPAddress", "192.168.1.20"},
                             {"LocalRTPPort", "0"},
                             {"PhoneBookCount", "1"},
                             {"PhoneAddress.1", "321*%*Office*:*7"}});
    form = std::make_unique<TSoftPhoneForm>([](size_t) {
        return std::vector<std::string>{"192.168.1.20", "127.0.0.1"};
    });
    CallManagerThread* const first = form->CallManager();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Settings.RegisterInterval, 150);
    proxy.acceptRegistrations = true;
    QWidget* const config = form->ConfigForm();
    auto* port = Find<QComboBox>(config, "ProxyPortCB");
    const auto shown = [&] {
        return Text(config, "AccountEdit") + "|" + Text(config, "ProxyAddressEdit") + "|" +
               port->currentText().toStdString() + "|" + Text(config, "LRTPPortEdit") +
               (Find(config, "SettingGB")->isEnabled() ? "|editable" : "|locked");
    };
    click("ConfigBitBtn");
    EXPECT_EQ(shown(), "1001|kyr|7000|0|locked");
    Click(config, "ModifyBtn");
    EXPECT_EQ(shown(), "1001|kyr|7000|0|editable");
    Type(config, "AccountEdit", "bob");
    port->setCurrentIndex(0);
    Click(config, "CancelBtn");
    EXPECT_EQ(shown(), "1001|kyr|7000|0|locked");
    EXPECT_EQ(Stored("UserAccount") + Stored("SIPProxyPort"), "1001" + std::to_string(proxy.port));
    EXPECT_EQ(form->CallManager(), first);

    Click(config, "ModifyBtn");
    Type(config, "AccountEdit", "1002");
    Type(config, "ProxyAddressEdit", ".k.y.r");
    Find<QLineEdit>(config, "KeyEdit")->clear();
    port->setEditText("70000");
    Find<QComboBox>(config, "LIPComboBox")->setEditText("127.0.0.1");
    Click(config, "OKBtn");
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->CallManager()->Settings.Account, "1002");
    EXPECT_EQ(form->CallManager()->Settings.RegisterInterval, 7200);
    EXPECT_EQ(Find(form.get(), "NumberLabel")->property("text"), "1002");
    EXPECT_TRUE(QTest::qWaitFor([&] { return callStateIs(CallManagerThread::Idle); }));
    EXPECT_EQ(Stored("UserKey") + "|" + Stored("SIPProxyPort") + "|" + Stored("SIPProxyAddress"),
              "secret|" + std::to_string(proxy.port) + "|kyr");

    auto* lamp = Find<StatusLampShape>(form.get(), "RegisterStatusShape");
    EXPECT_TRUE(QTest::qWaitFor([&] { return lamp->BrushColor() == QColor(0, 255, 0); }));
    Find(form.get(), "VolumeTrackBar")->setProperty("value", 25);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form->CallManager()->VolumePosition == form->CallManager()->VolumeMax; }));
    const std::string at = "127.0.0.2:" + std::to_string(proxy.port);
    ASSERT_TRUE(proxy.SendToPhone(
        "INVITE sip:1002@127.0.0.1:" + std::to_string(proxy.port) +
        " SIP/2.0\r\nVia: SIP/2.0/UDP " + at +
        ";branch=z9hG4bKapptest1\r\nFrom: \"5550100\" <sip:5550100@kyr.voip.test>;tag=caller1\r\n"
        "To: <sip:1002@kyr.voip.test>\r\nCall-ID: incoming-1@127.0.0.2\r\nCSeq: 1 INVITE\r\n"
        "Contact: <sip:5550100@" +
        at + ">\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(kSdpBody.size()) + "\r\n\r\n" + kSdpBody));
    ASSERT_TRUE(QTest::qWaitFor([&] { return proxy.Count("SIP/2.0 180") >= 1; }));
    dial("999");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("SIP/2.0 200") >= 1; }));
    EXPECT_EQ(history(), QStringList{});
    hangUp("BYE sip:5550100@");

    for (const char* button : {"BitBtn1", "BitBtn2", "BitBtn12", "BitBtn11", "BitBtn10"}) {
        click(button);
    }
    EXPECT_EQ(numberCB()->currentText(), "12*0#");
    for (const auto& [typed, kept] :
         {std::pair{"+49 (30) 1-2+3", "+4930123"}, {"<sip:100@evil.example>", "100"}}) {
        numberCB()->lineEdit()->clear();
        QTest::keyClicks(numberCB()->lineEdit(), typed);
        EXPECT_EQ(numberCB()->currentText(), kept) << typed;
    }
    for (const char* number : {"100", "200", "100", "7"}) {
        dial(number);
        ASSERT_TRUE(QTest::qWaitFor([&] { return callStateIs(CallManagerThread::Outgoing); }));
        click("BitBtn5");
        dial("888");
        click("DisconnectBitBtn");
        ASSERT_TRUE(QTest::qWaitFor([&] { return callStateIs(CallManagerThread::Idle); }));
    }
    EXPECT_GE(proxy.Count("CANCEL sip:100@"), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("CANCEL sip:321@") >= 1; }));
    EXPECT_TRUE(shows(">Call cleared!"));
    // Whatever the clicks during a call being placed had sent would have gone before a CANCEL.
    EXPECT_EQ(proxy.Count("INVITE sip:888@") + proxy.Count("INFO"), 0);
    EXPECT_EQ(history(), (QStringList{"321", "100", "200"}));
    EXPECT_EQ(proxy.Count("INVITE sip:321@"), 1);
    numberCB()->setEditText("12");
    click("ClearBitBtn");
    EXPECT_EQ(numberCB()->currentText(), "");
    EXPECT_EQ(Find<QListWidget>(form.get(), "MessageList")->count(), 0);
    EXPECT_EQ(history().size(), 3) << "Clear keeps the history";

    proxy.answerInvites = true;
    QWidget* const book = form->PhoneBookForm();
    auto* grid = Find<QTableWidget>(book, "PBookStringGrid");
    book->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(book));
    form->PhoneBookForm()->PBookStringGridSelectCell(nullptr, 1, 1);
    form->PhoneBookForm()->PBookStringGridDblClick();
    EXPECT_FALSE(book->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shows(">Called connected!"); }));
    EXPECT_EQ(proxy.Count("INVITE sip:321@"), 2);
    EXPECT_EQ(history(), (QStringList{"321", "100", "200"}));
    click("BitBtn5");
    EXPECT_EQ(numberCB()->currentText(), "5");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.Count("INFO ") == 2; }));
    hangUp("BYE sip:321@");

    // A phone book change shows in the grid and is written at once; a refused entry keeps the
    // typed fields.
    book->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(book));
    const auto check = [&](const std::string& rows, const std::string& stored) {
        std::string text;
        for (int cell = 4; cell < 16; ++cell) {
            const QTableWidgetItem* item = grid->item(cell / 4, cell % 4);
            text += (item ? item->text().toStdString() : "") + (cell % 4 == 3 ? "/" : "|");
        }
        EXPECT_EQ(text, rows);
        EXPECT_EQ(Stored("PhoneBookCount") + "/" + Stored("PhoneAddress.1"), stored);
    };
    const auto edit = [&](const char* button, const char* number, const char* name,
                          const char* speed) {
        Click(book, button);
        Type(book, "PBookNumEdit", number);
        Type(book, "PBookNameEdit", name);
        Type(book, "PBookSpeedEdit", speed);
        Click(book, "PBookOKBtn");
    };
    edit("PBookNewBtn", "20", "Twenty", "");
    edit("PBookNewBtn", "100", "Hundred", "1");
    check("1|100|Hundred|1/2|20|Twenty|/3|321|Office|7/", "3/100*%*Hundred*:*1");
    edit("PBookNewBtn", "600", "HUNDRED", "");
    EXPECT_EQ(Text(book, "PBookNameEdit"), "HUNDRED");
    EXPECT_EQ(form->PhoneBook().Count(), 3);
    Click(book, "PBookCnlBtn");
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, FirstRow(grid));
    EXPECT_EQ(Text(book, "PBookSpeedEdit"), "1");
    edit("PBookMdyBtn", "100", "Head office", "1");
    check("1|100|Head office|1/2|20|Twenty|/3|321|Office|7/", "3/100*%*Head office*:*1");
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, FirstRow(grid));
    Click(book, "PBookDelBtn");
    check("1|20|Twenty|/2|321|Office|7/|||/", "2/20*%*Twenty*:*nil");

    SettingsTestHome::Store({{"SIPProxyAddress", "pbx.kyr.voip.test"}});
    Click(config, "ModifyBtn");
    Find<QLineEdit>(config, "ProxyAddressEdit")->clear();
    Find<QLineEdit>(config, "LRTPPortEdit")->clear();
    Click(config, "OKBtn");
    EXPECT_EQ(form->CallManager(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(">Proxy address invalid!"); }));
    EXPECT_EQ(Stored("SIPProxyAddress") + "|" + Stored("LocalRTPPort"), "pbx.kyr.voip.test|18598");

    QApplication::setQuitOnLastWindowClosed(true);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    click("ConfigBitBtn");
    click("BookBitBtn");
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
    const QList<QAction*> actions = form->TrayIcon()->contextMenu()->actions();
    const auto quit = std::find_if(actions.begin(), actions.end(),
                                   [](QAction* action) { return action->text() == "Quit"; });
    ASSERT_NE(quit, actions.end());
    EXPECT_EQ(RunUntilQuit([quit] { (*quit)->trigger(); }), 0);
    QApplication::setQuitOnLastWindowClosed(false);
}

}  // namespace

// The proxy's name, kyr.voip.test, must resolve to 127.0.0.2 from the test hosts file through
// libnss-wrapper, which only works when preloaded: the program starts itself again with it.
int main(int argc, char** argv) {
    const std::string preloaded = std::getenv("LD_PRELOAD") ? std::getenv("LD_PRELOAD") : "";
    if (std::getenv("NSS_WRAPPER_HOSTS") == nullptr ||
        preloaded.find("libnss_wrapper.so") == std::string::npos) {
        setenv("NSS_WRAPPER_HOSTS", SOFTPHONE_SOURCE_DIR "/tools/demo/hosts", 1);
        setenv("LD_PRELOAD",
               (preloaded.empty() ? "" : preloaded + ":").append("libnss_wrapper.so").c_str(), 1);
        execv("/proc/self/exe", argv);
    }
    // Listing the tests at build time starts the program without a display.
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    // Closing one window must not end the event loops of the tests that follow.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
