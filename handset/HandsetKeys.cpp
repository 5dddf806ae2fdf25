#include "handset/HandsetKeys.h"

#include <array>

#include "handset/HandsetLibrary.h"
#include "handset/TjIpSys.h"
#include "platform/TCriticalSection.h"

namespace {

enum class KeyAction { DialPad, Dial, Disconnect, Clear, PhoneBook, HistoryUp, HistoryDown };

constexpr int kNoFeedback = -1;

struct HandsetKey {
    int code;
    int feedback;
    KeyAction action;
    int button;  // dial pad button for KeyAction::DialPad
};

// The digit keys come in column order: 1 4 7, 2 5 8, 3 6 9. The bottom row of the dial pad
// is BitBtn12 "*", BitBtn11 "0", BitBtn10 "#".
constexpr std::array<HandsetKey, 18> kHandsetKeys{{
    {177, 1, KeyAction::DialPad, 1},
    {178, 4, KeyAction::DialPad, 4},
    {179, 7, KeyAction::DialPad, 7},
    {180, 2, KeyAction::DialPad, 2},
    {181, 5, KeyAction::DialPad, 5},
    {182, 8, KeyAction::DialPad, 8},
    {183, 3, KeyAction::DialPad, 3},
    {184, 6, KeyAction::DialPad, 6},
    {185, 9, KeyAction::DialPad, 9},
    {38, 0, KeyAction::DialPad, 12},
    {49, 0, KeyAction::DialPad, 11},
    {42, 0, KeyAction::DialPad, 10},
    {35, kNoFeedback, KeyAction::Dial, 0},
    {33, kNoFeedback, KeyAction::Disconnect, 0},
    {78, 4, KeyAction::Clear, 0},
    {82, kNoFeedback, KeyAction::PhoneBook, 0},
    {74, 1, KeyAction::HistoryUp, 0},
    {242, 2, KeyAction::HistoryDown, 0},
}};

const HandsetKey* FindHandsetKey(int keyCode) {
    for (const HandsetKey& key : kHandsetKeys) {
        if (key.code == keyCode) {
            return &key;
        }
    }
    return nullptr;
}

TCriticalSection& SinkLock() {
    static TCriticalSection lock;
    return lock;
}

HandsetKeySink* attachedSink = nullptr;

bool HistoryKeysApply(const HandsetKeyTarget& window) {
    return !window.PhoneBookVisible() && window.NumberHistoryCount() > 0;
}

// Towards the most recent number; stays on the first item, and with none selected.
void SelectNewerHistoryItem(HandsetKeyTarget& window) {
    if (!HistoryKeysApply(window)) {
        return;
    }
    const int selected = window.NumberHistorySelectedIndex();
    if (selected > 0) {
        window.SelectNumberHistoryItem(selected - 1);
    }
}

// Towards the oldest number; with none selected the most recent one comes first.
void SelectOlderHistoryItem(HandsetKeyTarget& window) {
    if (!HistoryKeysApply(window)) {
        return;
    }
    const int selected = window.NumberHistorySelectedIndex();
    if (selected < window.NumberHistoryCount() - 1) {
        window.SelectNumberHistoryItem(selected < 0 ? 0 : selected + 1);
    }
}

void RunKeyAction(HandsetKeyTarget& window, const HandsetKey& key) {
    switch (key.action) {
        case KeyAction::DialPad:
            window.ClickDialPadButton(key.button);
            break;
        case KeyAction::Dial:
            window.ClickDial();
            break;
        case KeyAction::Disconnect:
            window.ClickDisconnect();
            break;
        case KeyAction::Clear:
            window.ClickClear();
            break;
        case KeyAction::PhoneBook:
            window.ClickPhoneBook();
            break;
        case KeyAction::HistoryUp:
            SelectNewerHistoryItem(window);
            break;
        case KeyAction::HistoryDown:
            SelectOlderHistoryItem(window);
            break;
    }
}

}  // namespace

void AttachHandsetKeySink(HandsetKeySink* sink) {
    std::lock_guard<TCriticalSection> guard(SinkLock());
    attachedSink = sink;
}

void DetachHandsetKeySink() {
    AttachHandsetKeySink(nullptr);
}

void HandsetCallback(intptr_t user, int32_t message, int32_t key) {
    if (message != kHandsetKeyMessage || key == kHandsetNoKey) {
        return;
    }
    // Held while delivering, so the window cannot detach and go away halfway; DeliverKey
    // only queues the key.
    std::lock_guard<TCriticalSection> guard(SinkLock());
    if (attachedSink != nullptr && reinterpret_cast<intptr_t>(attachedSink) == user) {
        attachedSink->DeliverKey(key & 0xFFFF);
    }
}

void HandleHandsetKey(HandsetKeyTarget& window, int keyCode) {
    const HandsetKey* key = FindHandsetKey(keyCode);
    if (key == nullptr) {
        return;
    }
    if (key->feedback != kNoFeedback) {
        HandsetKeyFeedback(key->feedback);
    }
    RunKeyAction(window, *key);
}
