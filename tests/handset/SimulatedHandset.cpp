#include "tests/handset/SimulatedHandset.h"

#include <mutex>

namespace handset_testing {

void RecordingSink::DeliverKey(int keyCode) {
    std::lock_guard<TCriticalSection> guard(lock_);
    keys_.push_back(keyCode);
    threads_.push_back(std::this_thread::get_id());
}

std::vector<int> RecordingSink::Keys() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return keys_;
}

std::vector<std::thread::id> RecordingSink::Threads() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return threads_;
}

std::vector<TjIpSysSimRequest> RecordedRequests() {
    std::vector<TjIpSysSimRequest> requests;
    TjIpSysSimRequest request{};
    for (int32_t i = 0; TjIpSysSim_GetRequest(i, &request) != 0; ++i) {
        requests.push_back(request);
    }
    return requests;
}

void SimulatedHandsetTest::SetUp() {
    ResetHandsetBindingForTests();
    TjIpSysSim_Reset();
}

void SimulatedHandsetTest::TearDown() {
    ResetHandsetBindingForTests();
}

void SimulatedHandsetTest::BindHandset() {
    ASSERT_TRUE(BindHandsetLibrary(sink));
    TjIpSysSim_ForgetRequests();
}

}  // namespace handset_testing
