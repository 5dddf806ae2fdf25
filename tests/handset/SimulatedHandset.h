#pragma once

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "handset/HandsetKeys.h"
#include "handset/HandsetLibrary.h"
#include "platform/TCriticalSection.h"
#include "tools/handset-sim/TjIpSysSim.h"

namespace handset_testing {

// Stands in for the window's queued delivery: remembers each key and the thread it came on.
class RecordingSink final : public HandsetKeySink {
public:
    void DeliverKey(int keyCode) override;
    std::vector<int> Keys();
    std::vector<std::thread::id> Threads();

private:
    TCriticalSection lock_;
    std::vector<int> keys_;
    std::vector<std::thread::id> threads_;
};

std::vector<TjIpSysSimRequest> RecordedRequests();

// Every test starts unbound, against a fresh simulated handset.
class SimulatedHandsetTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Binds the handset and forgets the requests of the binding itself.
    void BindHandset();

    RecordingSink sink;
};

}  // namespace handset_testing
