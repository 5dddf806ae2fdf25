#pragma once

// The binding of the USB handset library: loaded once when the main window is built and,
// once a handset has opened, kept until the process ends.

#include <cstdint>

#include "handset/TjIpSys.h"
#include "platform/DynamicLibrary.h"

class HandsetKeySink;

// Process-wide values. Written only by BindHandsetLibrary, which runs before any other
// thread uses them.
extern platform::LibraryHandle HandsetLibrary;
extern TjIpSysCallFunction HandsetEntry;
extern bool usbHandsetPresent;
// Handed to the open request; the library may keep writing it, the program never reads it.
extern uint16_t HandsetStatusWord;

// Loads the library, opens the handset and registers the key callback, whose keys go to
// sink. Returns usbHandsetPresent; without a handset nothing stays loaded.
bool BindHandsetLibrary(HandsetKeySink& sink);

bool OpenHandset();
void UnloadHandsetLibrary();
void RegisterHandsetCallback(HandsetCallbackFunction callback, intptr_t user);
void HandsetKeyFeedback(int value);

// Sends one request. Requests come from the window's thread (key feedback) and from the call
// manager's thread (register transfers); one lock keeps them from overlapping in the
// library. Returns 0 without a library.
int32_t CallHandsetLibrary(int32_t code, intptr_t a, intptr_t b);

// Returns the binding to its state before BindHandsetLibrary, so that one test program can
// bind several times. The program itself never unloads an opened handset.
void ResetHandsetBindingForTests();
