// A stand-in for the handset driver library, for tests and for running the program without
// a handset attached.

#include "tools/handset-sim/TjIpSysSim.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "handset/TjIpSys.h"
#include "platform/Clock.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"

namespace {

constexpr size_t kMaxRecordedRequests = 4096;
constexpr size_t kRegisterCount = 256;
// A register transfer keeps the handset busy for a moment, as one over USB does.
constexpr int kTransferBusyMs = 1;

// Requests that overlap in time show that the program let two threads into the library at
// once; counted outside the state lock, which would otherwise hide them.
std::atomic<int> requestsInFlight{0};
std::atomic<int> overlappingRequests{0};

struct SimState {
    TCriticalSection lock;
    std::array<uint8_t, kRegisterCount> registers{};
    std::vector<TjIpSysSimRequest> requests;
    HandsetCallbackFunction callback = nullptr;
    intptr_t user = 0;
    int32_t openResult = 1;
    int32_t transferResult = 1;
};

SimState& State() {
    static SimState state;
    return state;
}

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool TransferIsWellFormed(const TjIpSysTransferBlock& block) {
    const TjIpSysTransferHeader& header = block.header;
    if (header.kind != kTransferKind || header.unused1 != 0 || header.unused2 != 0 ||
        block.unused != 0) {
        return false;
    }
    if (header.registerNumber >= kRegisterCount || header.byteCount != 1 || block.byteCount != 1 ||
        block.data == 0) {
        return false;
    }
    if (header.direction == kTransferRead) {
        return header.marker == 0;
    }
    return header.direction == kTransferWrite && header.marker == kTransferWriteMarker;
}

// Called with the state locked.
int32_t Transfer(SimState& state, TjIpSysSimRequest& record) {
    if (record.b == 0) {
        return 0;
    }
    TjIpSysTransferBlock block;
    std::memcpy(&block, reinterpret_cast<const void*>(record.b), sizeof(block));
    std::memcpy(record.bytes, &block, sizeof(block));
    record.byteCount = sizeof(block);
    if (!TransferIsWellFormed(block)) {
        return 0;
    }
    uint8_t* data = reinterpret_cast<uint8_t*>(block.data);
    record.dataBefore = *data;
    if (state.transferResult != 0) {
        if (block.header.direction == kTransferRead) {
            *data = state.registers[block.header.registerNumber];
        } else {
            state.registers[block.header.registerNumber] = *data;
        }
    }
    record.dataAfter = *data;
    return state.transferResult;
}

int32_t Open(SimState& state, TjIpSysSimRequest& record) {
    if (record.a == 0 || record.b == 0) {
        return 0;
    }
    uint16_t* statusWord = reinterpret_cast<uint16_t*>(record.b);
    record.statusWordBefore = *statusWord;
    if (state.openResult != 0) {
        *statusWord = 1;
    }
    return state.openResult;
}

int32_t SetMode(TjIpSysSimRequest& record) {
    if (record.b == 0) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(record.b);
    for (size_t i = 0; i + 1 < sizeof(record.text) && text[i] != '\0'; ++i) {
        record.text[i] = text[i];
    }
    return 1;
}

int32_t SetCallback(SimState& state, TjIpSysSimRequest& record) {
    if (record.b == 0) {
        return 0;
    }
    TjIpSysCallbackRecord callback;
    std::memcpy(&callback, reinterpret_cast<const void*>(record.b), sizeof(callback));
    std::memcpy(record.bytes, &callback, sizeof(callback));
    record.byteCount = sizeof(callback);
    state.callback = reinterpret_cast<HandsetCallbackFunction>(callback.callback);
    state.user = callback.user;
    return 1;
}

int32_t Answer(SimState& state, TjIpSysSimRequest& record) {
    switch (record.code) {
        case kTjIpSysOpen:
            return Open(state, record);
        case kTjIpSysTransfer:
            return Transfer(state, record);
        case kTjIpSysMode:
            return SetMode(record);
        case kTjIpSysKeyFeedback:
            return record.a >= 0 && record.a <= 9 ? 1 : 0;
        case kTjIpSysSetCallback:
            return SetCallback(state, record);
        default:
            return 0;
    }
}

class KeyPressThread final : public TThread {
public:
    KeyPressThread(HandsetCallbackFunction callback, intptr_t user, int32_t message, int32_t key)
        : callback_(callback), user_(user), message_(message), key_(key) {}
    ~KeyPressThread() override { TerminateAndWait(); }

protected:
    void Execute() override { callback_(user_, message_, key_); }

private:
    HandsetCallbackFunction callback_;
    intptr_t user_;
    int32_t message_;
    int32_t key_;
};

}  // namespace

extern "C" {

TJIPSYS_EXPORT int32_t TjIpSysCall(int32_t code, intptr_t a, intptr_t b) {
    if (requestsInFlight.fetch_add(1) != 0) {
        overlappingRequests.fetch_add(1);
    }
    TjIpSysSimRequest record{};
    record.code = code;
    record.a = a;
    record.b = b;
    {
        SimState& state = State();
        std::lock_guard<TCriticalSection> guard(state.lock);
        record.timeUs = NowUs();
        record.result = Answer(state, record);
        if (state.requests.size() < kMaxRecordedRequests) {
            state.requests.push_back(record);
        }
    }
    if (code == kTjIpSysTransfer) {
        platform::SleepMs(kTransferBusyMs);
    }
    requestsInFlight.fetch_sub(1);
    return record.result;
}

TJIPSYS_EXPORT void TjIpSysSim_Reset() {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    state.registers.fill(0);
    state.requests.clear();
    state.callback = nullptr;
    state.user = 0;
    state.openResult = 1;
    state.transferResult = 1;
    overlappingRequests.store(0);
}

TJIPSYS_EXPORT void TjIpSysSim_ForgetRequests() {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    state.requests.clear();
}

TJIPSYS_EXPORT int32_t TjIpSysSim_RequestCount() {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    return static_cast<int32_t>(state.requests.size());
}

TJIPSYS_EXPORT int32_t TjIpSysSim_GetRequest(int32_t index, TjIpSysSimRequest* out) {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    if (out == nullptr || index < 0 || static_cast<size_t>(index) >= state.requests.size()) {
        return 0;
    }
    *out = state.requests[static_cast<size_t>(index)];
    return 1;
}

TJIPSYS_EXPORT int32_t TjIpSysSim_OverlappingRequests() {
    return overlappingRequests.load();
}

TJIPSYS_EXPORT void TjIpSysSim_SetRegister(int32_t registerNumber, uint8_t value) {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    if (registerNumber >= 0 && static_cast<size_t>(registerNumber) < kRegisterCount) {
        state.registers[static_cast<size_t>(registerNumber)] = value;
    }
}

TJIPSYS_EXPORT uint8_t TjIpSysSim_GetRegister(int32_t registerNumber) {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    if (registerNumber < 0 || static_cast<size_t>(registerNumber) >= kRegisterCount) {
        return 0;
    }
    return state.registers[static_cast<size_t>(registerNumber)];
}

TJIPSYS_EXPORT void TjIpSysSim_SetOpenResult(int32_t result) {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    state.openResult = result;
}

TJIPSYS_EXPORT void TjIpSysSim_SetTransferResult(int32_t result) {
    SimState& state = State();
    std::lock_guard<TCriticalSection> guard(state.lock);
    state.transferResult = result;
}

TJIPSYS_EXPORT int32_t TjIpSysSim_PressKey(int32_t key, int32_t message) {
    HandsetCallbackFunction callback = nullptr;
    intptr_t user = 0;
    {
        SimState& state = State();
        std::lock_guard<TCriticalSection> guard(state.lock);
        callback = state.callback;
        user = state.user;
    }
    if (callback == nullptr) {
        return 0;
    }
    // The lock is not held while the callback runs: a driver's key thread may meet requests
    // from the program at any time.
    KeyPressThread thread(callback, user, message, key);
    thread.Resume();
    thread.WaitFor();
    return 1;
}

}  // extern "C"
