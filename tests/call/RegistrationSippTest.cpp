#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "call/CallManagerThread.h"
#include "tests/call/CallTestDoubles.h"
#include "tests/call/SippRunner.h"
#include "tests/support/TestSupport.h"

namespace {

using testing_support::BinaryPath;
using testing_support::SourcePath;
using testing_support::WaitUntil;

struct Registration {
    call_testing::RecordingMessageList list;
    call_testing::RecordingLamp lamp;
    std::unique_ptr<CallManagerThread> manager;

    Registration(const std::string& key, uint16_t registrarPort)
        : manager(std::make_unique<CallManagerThread>(true)) {
        manager->SetMessageList(&list);
        manager->SetStatusLamp(&lamp);
        manager->SetAccount("1001", key);
        manager->SetProxy("127.0.0.1", registrarPort);
        manager->SetLocalAddress("127.0.0.1");
        manager->SetLocalPort(0);  // sipp holds the registrar's port
        manager->Start();
        manager->Resume();
    }
};

TEST(RegistrationWithSipp, RegistrarVerifiesTheDigestAndAccepts) {
    const uint16_t port = sipp_testing::FreeUdpPort();
    const uint16_t controlPort = sipp_testing::FreeUdpPort();
    sipp_testing::SippProcess sipp(
        sipp_testing::ServerArgs(SourcePath("tests/call/scenarios/registrar.xml"), port,
                                 controlPort, 2, 20, BinaryPath("sipp_registrar_errors.log")),
        BinaryPath("sipp_registrar.log"));
    ASSERT_TRUE(sipp.Started());
    ASSERT_TRUE(sipp.WaitUntilListening(port)) << sipp_testing::ReadFile(sipp.LogPath());

    Registration phone("secret", port);
    EXPECT_TRUE(WaitUntil([&] { return phone.lamp.Last() == clLime; }, 8000));
    EXPECT_TRUE(phone.manager->ChangeState(true, CallManagerThread::Idle));
    EXPECT_EQ(sipp.WaitForExit(10000), 0) << sipp_testing::ReadFile(sipp.LogPath());
    phone.manager.reset();
}

TEST(RegistrationWithSipp, WrongKeyIsRejectedByTheRegistrar) {
    const uint16_t port = sipp_testing::FreeUdpPort();
    const uint16_t controlPort = sipp_testing::FreeUdpPort();
    sipp_testing::SippProcess sipp(
        sipp_testing::ServerArgs(SourcePath("tests/call/scenarios/registrar.xml"), port,
                                 controlPort, 2, 20, BinaryPath("sipp_registrar_bad_errors.log")),
        BinaryPath("sipp_registrar_bad.log"));
    ASSERT_TRUE(sipp.Started());
    ASSERT_TRUE(sipp.WaitUntilListening(port)) << sipp_testing::ReadFile(sipp.LogPath());

    Registration phone("wrong-key", port);
    // sipp's verifyauth refuses the digest: the second call fails and sipp says so.
    EXPECT_EQ(sipp.WaitForExit(10000), 1) << sipp_testing::ReadFile(sipp.LogPath());
    EXPECT_NE(phone.lamp.Last(), clLime);
    EXPECT_TRUE(phone.manager->ChangeState(true, CallManagerThread::Registering));
    phone.manager.reset();
}

}  // namespace
