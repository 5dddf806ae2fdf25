#include <QLineEdit>
#include <QSlider>
#include <functional>
#include <utility>

#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

class CallButtons : public WindowWithProxy {
protected:
    void Type(const QString& number) { NumberCB()->setEditText(number); }

    void DialAndHangUp(const QString& number) {
        Type(number);
        Click("DialBitBtn");
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Outgoing); }, kWaitMs));
        Click("DisconnectBitBtn");
        ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }, kWaitMs));
    }
};

TEST_F(CallButtons, RegistrationFinishedWithinTheFirstSecondClearsTheStartUpLines) {
    StartRegistered();
    EXPECT_EQ(MessageList()->count(), 0) << Rows().join("|").toStdString();
}

TEST_F(CallButtons, RegistrationStillRunningKeepsTheStartUpLinesAndDialDoesNothing) {
    StoreSettings(AccountWithProxyPort(proxy.Port()));
    BuildForm();
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_TRUE(CallStateIs(CallManagerThread::Registering));
    const QStringList rows = Rows();
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.first(), ">Proxy IP:127.0.0.2");
    EXPECT_TRUE(rows.contains(QString(">Proxy Port:%1").arg(proxy.Port())));
    EXPECT_TRUE(rows.contains("Call Manager created!!"));
    // The window's own row follows the settings lines of its call manager.
    EXPECT_GT(rows.indexOf("Call Manager created!!"), rows.indexOf(">Local IP:127.0.0.1"));

    Type("555");
    Click("DialBitBtn");
    QTest::qWait(50);
    EXPECT_EQ(NumberCB()->currentText(), "555");
    EXPECT_EQ(NumberCB()->count(), 0);
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE"));
}

TEST_F(CallButtons, VolumeSliderSetsTheCallManagersVolume) {
    StartRegistered();
    CallManagerThread* manager = form->CallManager();
    auto volume = [&] {
        return manager->VolumeMax == 0 ? -1 : manager->VolumePosition * 65535 / manager->VolumeMax;
    };
    EXPECT_EQ(manager->VolumeMax, 25);
    EXPECT_EQ(manager->VolumePosition, 13);
    Child<QSlider>("VolumeTrackBar")->setValue(25);
    EXPECT_TRUE(QTest::qWaitFor([&] { return volume() == 65535; }, kWaitMs));
    Child<QSlider>("VolumeTrackBar")->setValue(0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return volume() == 0; }, kWaitMs));
}

// A speed code dials its entry's number, and the history records that number.
TEST_F(CallButtons, DialledNumbersGoOnTopOfTheHistoryOnce) {
    StartRegistered({{"PhoneBookCount", "2"},
                     {"PhoneAddress.1", "321*%*Office*:*7"},
                     {"PhoneAddress.2", "4444*%*Home*:*nil"}});
    DialAndHangUp("100");
    DialAndHangUp("200");
    DialAndHangUp("300");
    EXPECT_EQ(History(), (QStringList{"300", "200", "100"}));
    EXPECT_EQ(NumberCB()->currentText(), "");
    DialAndHangUp("100");
    EXPECT_EQ(History(), (QStringList{"100", "300", "200"}));
    DialAndHangUp("7");
    EXPECT_EQ(History(), (QStringList{"321", "100", "300", "200"}));
    EXPECT_TRUE(proxy.HasReceivedStartingWith("INVITE sip:100@"));
    EXPECT_TRUE(proxy.HasReceivedStartingWith("CANCEL sip:100@"));
    EXPECT_TRUE(proxy.HasReceivedStartingWith("INVITE sip:321@"));
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE sip:7@"));
}

TEST_F(CallButtons, TheNumberHoldsOnlyWhatCanBeDialledHoweverItGotThere) {
    StartRegistered();
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
    EXPECT_EQ(History(), QStringList{"+49301"});
}

TEST_F(CallButtons, DoubleClickInThePhoneBookDialsTheEntry) {
    StartRegistered({{"PhoneBookCount", "1"}, {"PhoneAddress.1", "321*%*Office*:*7"}});
    form->hide();
    form->PhoneBookForm()->show();
    form->PhoneBookForm()->PBookStringGridSelectCell(nullptr, 1, 1);
    form->PhoneBookForm()->PBookStringGridDblClick();
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
    EXPECT_TRUE(form->isVisible());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("INVITE sip:321@"); }, kWaitMs));
    EXPECT_EQ(History(), QStringList{"321"});
    EXPECT_EQ(NumberCB()->currentText(), "");
}

// While the call is being placed Dial and the dial pad send nothing, and Hang up cancels it.
TEST_F(CallButtons, HangUpCancelsTheCallBeingPlacedAndEmptiesTheField) {
    StartRegistered();
    Type("777");
    Click("DialBitBtn");
    ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Outgoing); }, kWaitMs));
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    Type("888");
    Click("DialBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "888");
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("CANCEL"); }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Rows().contains(">Call cleared!"); }, kWaitMs));
    // Whatever those clicks had sent would have gone before the CANCEL.
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE sip:888@"));
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INFO"));
    EXPECT_FALSE(Rows().contains(">Press Button : 5"));
}

std::string IncomingInvite(uint16_t port) {
    const std::string body = SdpBody();
    const std::string at = "127.0.0.2:" + std::to_string(port);
    return "INVITE sip:1001@127.0.0.1:" + std::to_string(port) + " SIP/2.0\r\n" +
           "Via: SIP/2.0/UDP " + at + ";branch=z9hG4bKapptest1\r\n" +
           "From: \"5550100\" <sip:5550100@kyr.voip.test>;tag=caller1\r\n" +
           "To: <sip:1001@kyr.voip.test>\r\n" + "Call-ID: incoming-1@127.0.0.2\r\n" +
           "CSeq: 1 INVITE\r\n" + "Contact: <sip:5550100@" + at + ">\r\n" +
           "Content-Type: application/sdp\r\n" + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const std::string& line : lines) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

TEST_F(CallButtons, DialPadKeyInAConnectedCallSendsDtmfAndShowsTheKey) {
    StartRegistered();
    proxy.AnswerInvites(true);
    Type("321");
    Click("DialBitBtn");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rows().contains(">Called connected!"); }, kWaitMs))
        << Rows().join("|").toStdString();
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Rows().contains(">Press Button : 5"); }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return CountStartingWith(proxy.ReceivedFirstLines(), "INFO ") == 2; }, kWaitMs));
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("BYE "); }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }, kWaitMs));
}

TEST_F(CallButtons, DialWhileACallRingsAnswersItAndKeepsTheNumber) {
    StartRegistered();
    ASSERT_TRUE(proxy.SendToPhone(IncomingInvite(proxy.Port())));
    ASSERT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Incoming); }, kWaitMs));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("SIP/2.0 180"); }, kWaitMs));
    Type("999");
    Click("DialBitBtn");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Rows().contains(">Answering call!"); }, kWaitMs));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("SIP/2.0 200"); }, kWaitMs));
    EXPECT_EQ(NumberCB()->currentText(), "999");
    EXPECT_EQ(NumberCB()->count(), 0);
    EXPECT_FALSE(proxy.HasReceivedStartingWith("INVITE "));
    Click("DisconnectBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return proxy.HasReceivedStartingWith("BYE "); }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return CallStateIs(CallManagerThread::Idle); }, kWaitMs));
}

}  // namespace
}  // namespace app_testing
