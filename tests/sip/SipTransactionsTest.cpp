#include "sip/SipTransactions.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

using Fate = SipTransactions::Fate;

// What leaves and when, and what is given up ("method branch", "server" after a server's),
// as time moves on in 5 ms steps like the call manager's loop.
struct Wire {
    testing_support::FakeClock clock{1'700'000'000, 0};
    std::vector<uint32_t> sentAt;
    std::vector<std::string> sent, expired;
    SipTransactions layer{clock, [this](const std::string& bytes) {
                              sent.push_back(bytes);
                              sentAt.push_back(clock.TickCountMs());
                          }};

    void RunUntil(uint32_t ms) {
        while (clock.TickCountMs() < ms) {
            clock.SetTickCount(clock.TickCountMs() + 5);
            for (const SipTransactions::Expiry& e : layer.Tick()) {
                expired.push_back(e.method + " " + e.branch + (e.server ? " server" : ""));
            }
        }
    }
};

// RFC 3261 17.1.1.2 and 17.1.2.2: when each retransmission leaves, and when the
// transaction is given up, with a provisional response at respondAt (0: none).
TEST(SipTransactions, ClientTimersFollowTheRfc) {
    const struct {
        std::string method;
        uint32_t respondAt;
        std::vector<uint32_t> sendTimes;
        bool givenUp;
    } rows[] = {
        // Timer A doubles without bound; timer B ends the INVITE after 32 s.
        {"INVITE", 0, {0, 500, 1500, 3500, 7500, 15500, 31500}, true},
        // Any response stops the INVITE's retransmissions; it then waits for the final one.
        {"INVITE", 1000, {0, 500}, false},
        // Timer E doubles up to T2 (4 s); timer F ends it after 32 s.
        {"BYE", 0, {0, 500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}, true},
        // A provisional response puts E at T2.
        {"INFO", 1000, {0, 500, 1500, 5500, 9500, 13500, 17500, 21500, 25500, 29500}, true},
    };
    for (const auto& row : rows) {
        Wire wire;
        wire.layer.SendRequest(row.method, "z9hG4bKa", "call-1", 7, "request");
        if (row.respondAt > 0) {
            wire.RunUntil(row.respondAt);
            EXPECT_EQ(wire.layer.OnResponse("z9hG4bKa", row.method, "call-1", 7, 100), Fate::First);
        }
        wire.RunUntil(40000);
        EXPECT_EQ(wire.sentAt, row.sendTimes) << row.method << " " << row.respondAt;
        EXPECT_EQ(wire.expired, std::vector<std::string>(row.givenUp, row.method + " z9hG4bKa"));
    }
}

TEST(SipTransactions, ResponsesMatchByBranchAndMethodAndRepeatsAreToldApart) {
    Wire wire;
    wire.layer.SendRequest("INVITE", "z9hG4bKinv", "call-1", 1, "invite");
    wire.layer.SendRequest("BYE", "z9hG4bKbye", "call-0", 9, "bye");
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "BYE", "call-1", 1, 200), Fate::Unmatched);
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKother", "INVITE", "call-1", 1, 200), Fate::Unmatched);
    // A response of an older peer without an RFC 3261 branch: Call-ID and CSeq decide.
    EXPECT_EQ(wire.layer.OnResponse("", "BYE", "call-0", 9, 200), Fate::First);
    EXPECT_EQ(wire.layer.OnResponse("", "BYE", "call-0", 8, 200), Fate::Unmatched);

    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "INVITE", "call-1", 1, 486), Fate::First);
    wire.layer.SetAck("z9hG4bKinv", "ack");
    wire.sent.clear();
    // The repeated refusal gets the ACK again from the transaction itself.
    EXPECT_EQ(wire.layer.OnResponse("z9hG4bKinv", "INVITE", "call-1", 1, 486), Fate::Repeat);
    EXPECT_EQ(wire.sent, std::vector<std::string>{"ack"});
    wire.RunUntil(40000);
    EXPECT_TRUE(wire.expired.empty() && wire.layer.Idle());
}

// The 2xx goes again at T1 doubling up to T2 until the ACK, and is given up at 64 T1. The ACK
// of a 2xx has a branch of its own: the Call-ID finds the transaction.
TEST(SipTransactions, ServerAbsorbsRepeatsAndResendsItsOkUntilTheAck) {
    const std::vector<uint32_t> unacked{0,     0,     0,     500,   1500,  3500, 7500,
                                        11500, 15500, 19500, 23500, 27500, 31500};
    for (const bool acked : {true, false}) {
        SCOPED_TRACE(acked);
        Wire wire;
        EXPECT_FALSE(wire.layer.AbsorbRepeat("z9hG4bKin", "INVITE"));
        wire.layer.Respond("z9hG4bKin", "INVITE", "call-9", 180, "ringing");
        EXPECT_TRUE(wire.layer.AbsorbRepeat("z9hG4bKin", "INVITE"));
        EXPECT_FALSE(wire.layer.AbsorbRepeat("z9hG4bKin", "BYE"));
        EXPECT_EQ(wire.sent, (std::vector<std::string>{"ringing", "ringing"}));
        wire.layer.Respond("z9hG4bKin", "INVITE", "call-9", 200, "ok");
        wire.RunUntil(2000);
        EXPECT_EQ(acked && wire.layer.OnAck("z9hG4bKack", "call-9"), acked);
        wire.RunUntil(40000);
        EXPECT_EQ(wire.sentAt, acked ? std::vector(unacked.begin(), unacked.begin() + 5) : unacked);
        EXPECT_EQ(wire.expired, std::vector<std::string>(!acked, "INVITE z9hG4bKin server"));
    }
}

}  // namespace
