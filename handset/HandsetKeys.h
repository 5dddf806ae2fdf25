#pragma once

// Handset keys: the callback the library calls on its own thread, and the mapping of each
// key onto the main window's actions, run on the window's thread.

#include <cstdint>

// Receives the keys from the library's thread. The window implements it by posting the key
// to its own thread (a queued call), where it runs HandleHandsetKey.
class HandsetKeySink {
public:
    virtual ~HandsetKeySink() = default;
    virtual void DeliverKey(int keyCode) = 0;
};

// The main window's actions that handset keys drive; each runs as the window's own handler.
class HandsetKeyTarget {
public:
    virtual ~HandsetKeyTarget() = default;
    // Dial pad button 1..12, as BitBtn1Click .. BitBtn12Click.
    virtual void ClickDialPadButton(int button) = 0;
    virtual void ClickDial() = 0;        // DialBitBtnClick
    virtual void ClickDisconnect() = 0;  // DisconnectBitBtnClick
    virtual void ClickClear() = 0;       // ClearBitBtnClick
    virtual void ClickPhoneBook() = 0;   // BookBitBtnClick
    virtual bool PhoneBookVisible() const = 0;
    // The number history is NumberCB's item list, the most recent number first.
    virtual int NumberHistoryCount() const = 0;
    // -1 when no item is selected.
    virtual int NumberHistorySelectedIndex() const = 0;
    // Selects the item, which also puts it into the number field.
    virtual void SelectNumberHistoryItem(int index) = 0;
};

// Called by the library, on its thread. Hands the keys of key messages to the attached sink
// when user names that sink; everything else is dropped.
void HandsetCallback(intptr_t user, int32_t message, int32_t key);

// Keys go to sink from now on. The window detaches itself before it goes away, because the
// library keeps calling back for as long as the process runs.
void AttachHandsetKeySink(HandsetKeySink* sink);
void DetachHandsetKeySink();

// Runs on the window's thread: the feedback request first, where the key has one, then the
// key's action. Unknown keys do nothing and send nothing.
void HandleHandsetKey(HandsetKeyTarget& window, int keyCode);
