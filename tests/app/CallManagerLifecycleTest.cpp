#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include "tests/app/SoftPhoneFormFixture.h"

namespace app_testing {
namespace {

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
