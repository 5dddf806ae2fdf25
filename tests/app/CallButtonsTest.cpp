#include <QLabel>
#include <QSlider>

#include "app/StatusLampShape.h"
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
        EXPECT_TRUE(Eventually([&] { return proxy.Count(bye) >= 1; }));
        EXPECT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    }
};

// Numbers come from the dial pad, the keyboard, the history, a speed code or the phone book;
// the field keeps only what can be dialled, and dialled numbers go on top of the history once.
TEST_F(CallButtons, DialFromThePadTheHistoryASpeedCodeAndThePhoneBook) {
    StartRegistered({{"PhoneBookCount", "1"}, {"PhoneAddress.1", "321*%*Office*:*7"}});
    EXPECT_EQ(Find<StatusLampShape>(form.get(), "RegisterStatusShape")->BrushColor(),
              QColor(0, 255, 0));
    EXPECT_EQ(Find<QLabel>(form.get(), "NumberLabel")->text(), "1001");
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
    for (const char* number : {"100", "200", "100"}) {
        DialAndHangUp(number);
    }
    EXPECT_GE(proxy.Count("CANCEL sip:100@"), 2);
    DialAndHangUp("7");
    EXPECT_EQ(History(), (QStringList{"321", "100", "200"}));
    EXPECT_EQ(proxy.Count("INVITE sip:321@"), 1);
    NumberCB()->setEditText("12");
    Click("ClearBitBtn");
    EXPECT_EQ(NumberCB()->currentText(), "");
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_EQ(History().size(), 3) << "Clear keeps the history";

    form->PhoneBookForm()->show();
    form->PhoneBookForm()->PBookStringGridSelectCell(nullptr, 1, 1);
    form->PhoneBookForm()->PBookStringGridDblClick();
    EXPECT_FALSE(form->PhoneBookForm()->isVisible());
    ASSERT_TRUE(Eventually([&] { return proxy.Count("INVITE sip:321@") == 2; }));
    EXPECT_EQ(History(), (QStringList{"321", "100", "200"}));
}

// Dial answers a ringing call; while a call is being placed Dial and the dial pad send nothing
// and Hang up cancels it; in a connected call a dial pad key sends DTMF; Hang up ends calls.
TEST_F(CallButtons, AnswerCancelDtmfAndHangUp) {
    StartRegistered();
    CallManagerThread* manager = form->CallManager();
    Find<QSlider>(form.get(), "VolumeTrackBar")->setValue(25);
    EXPECT_TRUE(Eventually([&] { return manager->VolumePosition == manager->VolumeMax; }));

    const std::string at = "127.0.0.2:" + std::to_string(proxy.Port());
    ASSERT_TRUE(proxy.SendToPhone(
        "INVITE sip:1001@127.0.0.1:" + std::to_string(proxy.Port()) +
        " SIP/2.0\r\nVia: SIP/2.0/UDP " + at +
        ";branch=z9hG4bKapptest1\r\nFrom: \"5550100\" <sip:5550100@kyr.voip.test>;tag=caller1\r\n"
        "To: <sip:1001@kyr.voip.test>\r\nCall-ID: incoming-1@127.0.0.2\r\nCSeq: 1 INVITE\r\n"
        "Contact: <sip:5550100@" +
        at + ">\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(kSdpBody.size()) + "\r\n\r\n" + kSdpBody));
    ASSERT_TRUE(Eventually([&] { return proxy.Count("SIP/2.0 180") >= 1; }));
    Dial("999");
    EXPECT_TRUE(Eventually([&] { return proxy.Count("SIP/2.0 200") >= 1; }));
    EXPECT_EQ(History(), QStringList{});
    HangUpAnsweredCall("BYE sip:5550100@");

    Dial("777");
    ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Outgoing); }));
    Click("BitBtn5");
    Dial("888");
    Click("DisconnectBitBtn");
    EXPECT_TRUE(Eventually([&] { return proxy.Count("CANCEL sip:777@") >= 1; }));
    EXPECT_TRUE(Eventually([&] { return Rows().contains(">Call cleared!"); }));
    // Whatever those clicks had sent would have gone before the CANCEL.
    EXPECT_EQ(proxy.Count("INVITE sip:888@") + proxy.Count("INFO"), 0);
    ASSERT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));

    proxy.answerInvites = true;
    Dial("321");
    ASSERT_TRUE(Eventually([&] { return Rows().contains(">Called connected!"); }));
    Click("BitBtn5");
    EXPECT_EQ(NumberCB()->currentText(), "5");
    EXPECT_TRUE(Eventually([&] { return proxy.Count("INFO ") == 2; }));
    HangUpAnsweredCall("BYE sip:321@");
}

// What the configuration dialog stored is what the next call manager registers with.
TEST_F(CallButtons, RestartBuildsANewCallManagerFromTheStoredSettings) {
    StartRegistered();
    SettingsTestHome::Store({{"UserAccount", "1002"}});
    form->RestartCallManager();
    ASSERT_NE(form->CallManager(), nullptr);
    EXPECT_EQ(form->CallManager()->Settings.Account, "1002");
    EXPECT_EQ(Find<QLabel>(form.get(), "NumberLabel")->text(), "1002");
    EXPECT_TRUE(Eventually([&] { return CallStateIs(CallManagerThread::Idle); }));
    EXPECT_TRUE(Eventually([&] { return proxy.Count("REGISTER sip:") >= 2; }));
}

// A private network registers often enough to keep its NAT binding open.
TEST_F(CallButtons, APrivateAddressRegistersOftenEnoughForItsNat) {
    for (const auto& [address, interval] : {std::pair{"192.168.1.20", 150}, {"10.1.1.1", 7200}}) {
        SCOPED_TRACE(address);
        Values values = Account(proxy.Port());
        values["LocalIPAddress"] = address;
        SettingsTestHome::Store(values);
        form = std::make_unique<TSoftPhoneForm>([machine = std::string(address)](size_t) {
            return std::vector<std::string>{machine, "127.0.0.1"};
        });
        ASSERT_NE(form->CallManager(), nullptr);
        EXPECT_EQ(form->Settings().LocalIPAddress, address);
        EXPECT_EQ(form->CallManager()->Settings.RegisterInterval, interval);
        form.reset();
    }
}

}  // namespace
}  // namespace app_testing
