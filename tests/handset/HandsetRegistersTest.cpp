#include <cstring>
#include <vector>

#include "handset/HandsetLibrary.h"
#include "handset/HandsetRegisters.h"
#include "platform/TThread.h"
#include "tests/handset/SimulatedHandset.h"
#include "tests/support/TestSupport.h"

namespace {

using handset_testing::RecordedRequests;

constexpr uint8_t kRead = 1;
constexpr uint8_t kWrite = 0;

struct Transfer {
    uint8_t reg;
    uint8_t direction;
    uint8_t value;  // read: the register's value; write: the value written
};

// Checks every byte of a recorded transfer block against the layout the library
// expects.
void ExpectTransfer(const TjIpSysSimRequest& request, const Transfer& expected) {
    EXPECT_EQ(request.code, kTjIpSysTransfer);
    EXPECT_EQ(request.a, 0);
    ASSERT_EQ(request.byteCount, 24);
    const uint8_t marker = expected.direction == kWrite ? 0x55 : 0;
    const uint8_t header[16] = {4, 0, 0, 0, expected.reg, 0, 1, 0, expected.direction, marker, 0, 0,
                                1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(request.bytes, header, sizeof(header)), 0);
    intptr_t data = 0;
    std::memcpy(&data, request.bytes + 16, sizeof(data));
    EXPECT_NE(data, 0);
    EXPECT_EQ(request.dataBefore, expected.direction == kRead ? 0 : expected.value);
    if (expected.direction == kRead) {
        EXPECT_EQ(request.dataAfter, expected.value);
    }
}

class HandsetRegistersTest : public handset_testing::SimulatedHandsetTest {
protected:
    void SetUp() override {
        SimulatedHandsetTest::SetUp();
        BindHandset();
    }
};

TEST_F(HandsetRegistersTest, ARingBurstIs24TransfersWithHalfASecondAfterTheTenth) {
    TjIpSysSim_SetRegister(40, 0x77);
    EXPECT_EQ(HandsetReadRegister(40), 0x77);
    TjIpSysSim_ForgetRequests();
    // The read-modify-write of registers 18 and 19 shows in the values read back.
    TjIpSysSim_SetRegister(18, 0x25);
    TjIpSysSim_SetRegister(19, 0x02);
    RingHandset();
    // Bits 0x80 set (5 transfers), bits 0x20 cleared (5), the pause, bits 0x20
    // set (9), and set again (5).
    const Transfer expected[] = {
        {18, kRead, 0x25},  {19, kRead, 0x02},  {18, kWrite, 0xA5}, {19, kWrite, 0x82},
        {15, kWrite, 0x40}, {18, kRead, 0xA5},  {19, kRead, 0x82},  {18, kWrite, 0x85},
        {19, kWrite, 0xA2}, {27, kWrite, 0x01}, {18, kRead, 0x85},  {19, kRead, 0xA2},
        {18, kWrite, 0xA5}, {19, kWrite, 0xA2}, {25, kWrite, 0x01}, {26, kWrite, 0x09},
        {27, kWrite, 0x07}, {24, kWrite, 0xFF}, {23, kWrite, 0xC8}, {18, kRead, 0xA5},
        {19, kRead, 0xA2},  {18, kWrite, 0xA5}, {19, kWrite, 0xA2}, {15, kWrite, 0x00},
    };
    const std::vector<TjIpSysSimRequest> requests = RecordedRequests();
    ASSERT_EQ(requests.size(), std::size(expected));
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i + 1);
        ExpectTransfer(requests[i], expected[i]);
    }
    // Timer granularity may shorten a sleep slightly, so the bound is a little
    // below 500 ms.
    EXPECT_GE(requests[10].timeUs - requests[9].timeUs, 480'000);

    TjIpSysSim_SetTransferResult(0);
    EXPECT_EQ(HandsetReadRegister(40), 0) << "a failed read gives zero";
    ResetHandsetBindingForTests();
    TjIpSysSim_ForgetRequests();
    RingHandset();
    EXPECT_EQ(TjIpSysSim_RequestCount(), 0) << "no handset, no requests";
}

// The call manager's side: one ring burst on a thread of its own.
class RingingThread final : public TThread {
public:
    ~RingingThread() override { TerminateAndWait(); }

protected:
    void Execute() override { RingHandset(); }
};

TEST_F(HandsetRegistersTest, KeyFeedbackDuringARingNeverMeetsATransferInTheLibrary) {
    RingingThread ringing;
    ringing.Resume();
    int feedbackSent = 0;
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] {
            HandsetKeyFeedback(1);
            ++feedbackSent;
            return ringing.Finished();
        },
        5000, 1));
    ringing.WaitFor();
    EXPECT_GT(feedbackSent, 10);
    EXPECT_EQ(TjIpSysSim_OverlappingRequests(), 0);
    int transfers = 0;
    for (const TjIpSysSimRequest& request : RecordedRequests()) {
        transfers += request.code == kTjIpSysTransfer ? 1 : 0;
    }
    EXPECT_EQ(transfers, 24);
}

}  // namespace
