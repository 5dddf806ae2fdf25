#pragma once

#include <gtest/gtest.h>

#include <mutex>
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
    void DeliverKey(int keyCode) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        keys_.push_back(keyCode);
        threads_.push_back(std::this_thread::get_id());
    }
    std::vector<int> Keys() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return keys_;
    }
    std::vector<std::thread::id> Threads() {
        std::lock_guard<TCriticalSection> guard(lock_);
        return threads_;
    }

private:
    TCriticalSection lock_;
    std::vector<int> keys_;
    std::vector<std::thread::id> threads_;
};

inline std::vector<TjIpSysSimRequest> RecordedRequests() {
    std::vector<TjIpSysSimRequest> requests;
    TjIpSysSimRequest request{};
    for (int32_t i = 0; TjIpSysSim_GetRequest(i, &request) != 0; ++i) {
        requests.push_back(request);
    }
    return requests;
}

// Every test starts unbound, against a fresh simulated handset.
class SimulatedHandsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetHandsetBindingForTests();
        TjIpSysSim_Reset();
    }
    void TearDown() override { ResetHandsetBindingForTests(); }
    // Binds the handset and forgets the requests of the binding itself.
    void BindHandset() {
        ASSERT_TRUE(BindHandsetLibrary(sink));
        TjIpSysSim_ForgetRequests();
    }

    RecordingSink sink;
};

}  // namespace handset_testing
