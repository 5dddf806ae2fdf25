#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>
#include <functional>
#include <utility>

#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

class CallButtons : public WindowWithProxy {
protected:
    void Dial(const QString& number) {
        NumberCB()->setEditText(number);
        Click("DialBitBtn");
    }
    void DialAndHangUp(const QString& number) {
        Dial(number);
        ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Outgoing); }));
        Click("DisconnectBitBtn");
        ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
    void HangUpAnsweredCall(const std::string& bye) {
        Click("DisconnectBitBtn");
        EXPECT_EQ(NumberCB()->currentText(), "");
        EXPECT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith(bye); }));
        EXPECT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
};

TEST_F(CallButtons, RegistrationStillRunningKeepsTheStartUpLinesAndDialDoesNothing) {
    Build(Account(proxy.Port()));
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_TRUE(CallStateIs(CallManagerThread::Registering));
    const QStringList rows = Rows();
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.first(), ">Proxy IP:127.0.0.2");
    EXPECT_TRUE(rows.contains(QString(">Proxy Port:%1").arg(proxy.Port())));
    // The window's own row follows the settings lines of its call manager.
    EXPECT_GT(rows.indexOf("Call Manager created!!"), rows.indexOf(">Local IP:127.0.0.1"));
    EXPECT_GE(rows.indexOf(">Local IP:127.0.0.1"), 0);

    ASSERT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith("REGISTER "); }));
    Dial("555");
    // A REGISTER sent again after the click shows the call manager went on past it.
    ASSERT_TRUE(Eventually([&] { return proxy.CountStartingWith("REGISTER ") >= 2; }));
    EXPECT_EQ(NumberCB()->currentText(), "555");
    EXPECT_EQ(NumberCB()->count(), 0);
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE"));
}

// The number holds only what can be dialled however it got there; dialled numbers go on top
// of the history once, a speed code dials its entry's number, and so does a double click in
// the phone book.
TEST_F(CallButtons, DialledNumbersGoOnTopOfTheHistoryOnce) {
    StartRegistered({{"PhoneBookCount", "2"},
                     {"PhoneAddress.1", "321*%*Office*:*7"},
                     {"PhoneAddress.2", "4444*%*Home*:*nil"}});
    QLineEdit* field = NumberCB()->lineEdit();
    const std::function<void(const QString&)> ways[] = {
        [&](const QString& text) { NumberCB()->setEditText(text); },
        [&](const QString& text) {
            field->clear();
            field->insert(text);  // what a paste or a drop does
        },
        [&](const QString& text) {
            field->clear();
            QTest::keyClicks(field, text);
        },
    };
    const std::pair<QString, QString> rows[] = {
        {"12 34", "1234"},
        {"+49 (30) 123", "+4930123"},
        {"100@evil.example", "100"},
        {"<sip:5>", "5"},
        {"1+2", "12"},
        {"*21#", "*21#"},
        {"abc", ""},
    };
    for (const auto& way : ways) {
        for (const auto& [given, kept] : rows) {
            way(given);
            EXPECT_EQ(NumberCB()->currentText(), kept) << given.toStdString();
        }
    }
    DialAndHangUp(" +49 30-1 ");
    EXPECT_TRUE(proxy.HasReceivedStartingWith("INVITE sip:+49301@"));
    for (const char* number : {"100", "200", "300"}) {
        DialAndHangUp(number);
    }
    EXPECT_EQ(History(), (QStringList{"300", "200", "100", "+49301"}));
    EXPECT_EQ(NumberCB()->currentText(), "");
    DialAndHangUp("100");
    EXPECT_EQ(History(), (QStringList{"100", "300", "200", "+49301"}));
    DialAndHangUp("7");
    EXPECT_EQ(History(), (QStringList{"321", "100", "300", "200", "+49301"}));
    EXPECT_TRUE(proxy.HasReceivedStartingWith("CANCEL sip:100@"));
    EXPECT_EQ(proxy.CountStartingWith("INVITE sip:321@"), 1);
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE sip:7@"));

    form->hide();
    form->PhoneBookForm()->show();
    form->PhoneBookForm()->PBookStringGridSelectCell(nullptr, 1, 1);
    form->PhoneBookForm()->PBookStringGridDblClick();
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
    EXPECT_TRUE(form->isVisible());
    ASSERT_TRUE(Eventually([&] { return proxy.CountStartingWith("INVITE sip:321@") == 2; }));
    EXPECT_EQ(History(), (QStringList{"321", "100", "300", "200", "+49301"}));
    EXPECT_EQ(NumberCB()->currentText(), "");
}

// Registration finished within the first second clears the start-up lines. Dial answers a
// ringing call and keeps the number; while a call is being placed Dial and the dial pad send
// nothing, and Hang up cancels it; in a connected call a dial pad key sends DTMF.
TEST_F(CallButtons, TheSliderSetsTheVolumeAndDialAndHangUpAnswerPlaceCancelAndEndCalls) {
    StartRegistered();
    EXPECT_EQ(MessageList()->count(), 0) << Rows().join("|").toStdString();
    CallManagerThread* manager = form->CallManager();
    auto volume = [&] {
        return manager->VolumeMax == 0 ? -1 : manager->VolumePosition * 65535 / manager->VolumeMax;
    };
    EXPECT_EQ(manager->VolumeMax, 25);
    EXPECT_EQ(manager->VolumePosition, 13);
    for (const auto& [position, level] : {std::pair{25, 65535}, std::pair{0, 0}}) {
        Child<QSlider>("VolumeTrackBar")->setValue(position);
        EXPECT_TRUE(Eventually([&] { return volume() == level; })) << position;
    }

    const std::string at = "127.0.0.2:" + std::to_string(proxy.Port());
    ASSERT_TRUE(proxy.SendToPhone(
        "INVITE sip:1001@127.0.0.1:" + std::to_string(proxy.Port()) +
        " SIP/2.0\r\nVia: SIP/2.0/UDP " + at +
        ";branch=z9hG4bKapptest1\r\nFrom: \"5550100\" <sip:5550100@kyr.voip.test>;tag=caller1\r\n"
        "To: <sip:1001@kyr.voip.test>\r\nCall-ID: incoming-1@127.0.0.2\r\nCSeq: 1 INVITE\r\n"
        "Contact: <sip:5550100@" +
        at + ">\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(SdpBody().size()) + "\r\n\r\n" + SdpBody()));
    ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Incoming); }));
    EXPECT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith("SIP/2.0 180"); }));
    Dial("999");
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Answering call!"); }));
    EXPECT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith("SIP/2.0 200"); }));
    EXPECT_EQ(NumberCB()->currentText(), "999");
    EXPECT_EQ(NumberCB()->count(), 0);
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE "));
    HangUpAnsweredCall("BYE sip:5550100@");

    Dial("777");
    ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Outgoing); }));
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    Dial("888");
    EXPECT_EQ(NumberCB()->currentText(), "888");
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith("CANCEL sip:777@"); }));
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Call cleared!"); }));
    // Whatever those clicks had sent would have gone before the CANCEL.
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE sip:888@"));
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INFO"));
    EXPECT_FALSE(Rows().contains(">Press Button : 5"));
    ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));

    proxy.AnswerInvites(true);
    Dial("321");
    ASSERT_TRUE(Eventually([&] { return Rows().contains(">Called connected!"); }))
        << Rows().join("|").toStdString();
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Press Button : 5"); }));
    EXPECT_TRUE(Eventually([&] { return proxy.CountStartingWith("INFO ") == 2; }));
    HangUpAnsweredCall("BYE sip:321@");
}

using CallManagerLifecycle = WindowWithProxy;

TEST_F(CallManagerLifecycle, RestartBuildsANewCallManagerFromFreshSettingsWithoutFreezing) {
    StartRegistered();
    SettingsTestHome::Store({{"UserAccount", "1002"}});
    bool windowKeptRunning = false;
    QTimer::singleShot(200, form.get(), [&] { windowKeptRunning = true; });
    QElapsedTimer restart;
    restart.start();
    form->RestartCallManager();
    EXPECT_GE(restart.elapsed(), 1500);
    EXPECT_TRUE(windowKeptRunning);
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->CallManager()->Settings.Account, "1002");
    EXPECT_EQ(Child<QLabel>("NumberLabel")->text(), "1002");
    // The new call manager binds the same port again and registers.
    EXPECT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    EXPECT_TRUE(Eventually([&] { return Rows().contains("Call Manager created!!"); }));
}

// The configured address stays only when it is the machine's; a private network registers
// often enough to keep its NAT binding.
TEST_F(CallManagerLifecycle, TheLocalAddressAndTheRegisterIntervalFollowTheMachine) {
    const struct {
        std::vector<std::string> machine;
        std::string chosen;
        int interval;  // 0: no call manager looked at
    } rows[] = {
        {{"192.168.1.20", "127.0.0.1"}, "192.168.1.20", 150},
        {{"192.168.1.20", "10.1.1.1"}, "10.1.1.1", 7200},
        {{}, "127.0.0.1", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.chosen);
        Values values = Account(proxy.Port());
        values["LocalIPAddress"] = "10.1.1.1";
        Build(values, row.machine);
        EXPECT_EQ(form->Settings().LocalIPAddress, row.chosen);
        if (row.interval != 0) {
            ASSERT_NE(form->CallManager(), nullptr);
            EXPECT_EQ(form->CallManager()->Settings.RegisterInterval, row.interval);
        }
        form.reset();
    }
}

// Another program scribbled over the settings file: what is readable still registers the
// account and fills the phone book. A quote is left open mid-file, and the file ends in the
// middle of a quoted value, as a writer that was cut off leaves it.
TEST_F(CallManagerLifecycle, DamagedSettingsFileStillRegistersWithWhatIsReadable) {
    proxy.AcceptRegistrations(true);
    home.WriteFile(
        std::string("[General]\nUserAccount=1001\nUserKey=\"secret\n\x01\xff\xfe junk\n") +
        std::string("\0\0", 2) +
        "\n[broken section\nSIPProxyAddress=kyr\nSIPProxyPort=" + std::to_string(proxy.Port()) +
        "\nLocalIPAddress=127.0.0.1\nPhoneBookCount=3\nPhoneAddress.1=100*%*Office*:*1\n"
        "PhoneAddress.2=\xff\xfe\nPhoneAddress.3=200*%*Home*:*nil\nLocalRTPPort=\"0");
    form = std::make_unique<TSoftPhoneForm>(
        [](size_t) { return std::vector<std::string>{"127.0.0.1"}; });
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->Settings().UserAccount, "1001");
    EXPECT_EQ(form->PhoneBook().PhoneBookNames(), (std::vector<std::string>{"Office", "Home"}));
    EXPECT_TRUE(Eventually([&] { return proxy.HasReceivedStartingWith("REGISTER"); }));
    EXPECT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
}

}  // namespace
}  // namespace app_testing
