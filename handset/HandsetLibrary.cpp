#include "handset/HandsetLibrary.h"

#include "handset/HandsetKeys.h"
#include "platform/TCriticalSection.h"

platform::LibraryHandle HandsetLibrary = nullptr;
TjIpSysCallFunction HandsetEntry = nullptr;
bool usbHandsetPresent = false;
uint16_t HandsetStatusWord = 0;

namespace {

TCriticalSection& RequestLock() {
    static TCriticalSection lock;
    return lock;
}

bool LoadHandsetLibrary() {
    HandsetLibrary = platform::LoadLibraryByName(kHandsetLibraryName);
    if (HandsetLibrary != nullptr) {
        HandsetEntry = reinterpret_cast<TjIpSysCallFunction>(
            platform::FindEntry(HandsetLibrary, kHandsetEntryName));
    }
    return HandsetLibrary != nullptr && HandsetEntry != nullptr;
}

}  // namespace

int32_t CallHandsetLibrary(int32_t code, intptr_t a, intptr_t b) {
    std::lock_guard<TCriticalSection> guard(RequestLock());
    if (HandsetEntry == nullptr) {
        return 0;
    }
    return HandsetEntry(code, a, b);
}

bool OpenHandset() {
    HandsetStatusWord = 0;
    const int32_t opened =
        CallHandsetLibrary(kTjIpSysOpen, reinterpret_cast<intptr_t>(HandsetLibrary),
                           reinterpret_cast<intptr_t>(&HandsetStatusWord));
    if (opened == 0) {
        return false;
    }
    CallHandsetLibrary(kTjIpSysMode, 0, reinterpret_cast<intptr_t>(kHandsetModeText));
    return true;
}

void UnloadHandsetLibrary() {
    std::lock_guard<TCriticalSection> guard(RequestLock());
    if (HandsetLibrary != nullptr) {
        platform::FreeLibrary(HandsetLibrary);
    }
    HandsetEntry = nullptr;
    HandsetLibrary = nullptr;
}

void RegisterHandsetCallback(HandsetCallbackFunction callback, intptr_t user) {
    TjIpSysCallbackRecord record{reinterpret_cast<intptr_t>(callback), user};
    CallHandsetLibrary(kTjIpSysSetCallback, 0, reinterpret_cast<intptr_t>(&record));
}

void HandsetKeyFeedback(int value) {
    CallHandsetLibrary(kTjIpSysKeyFeedback, value, 0);
}

bool BindHandsetLibrary(HandsetKeySink& sink) {
    usbHandsetPresent = false;
    if (!LoadHandsetLibrary()) {
        UnloadHandsetLibrary();
        return false;
    }
    if (!OpenHandset()) {
        UnloadHandsetLibrary();
        return false;
    }
    usbHandsetPresent = true;
    // The sink is attached before the library knows the callback, so no key is lost.
    AttachHandsetKeySink(&sink);
    RegisterHandsetCallback(HandsetCallback, reinterpret_cast<intptr_t>(&sink));
    return true;
}

void ResetHandsetBindingForTests() {
    DetachHandsetKeySink();
    UnloadHandsetLibrary();
    usbHandsetPresent = false;
    HandsetStatusWord = 0;
}
