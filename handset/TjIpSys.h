#pragma once

// The binary interface of the USB handset library "libTjIpSys.so", shared by the binding and
// the simulated library. The library was first built for 32-bit Windows; on a 64-bit build
// everything that carries a pointer or a handle widens to intptr_t, every other field keeps
// its size and place.

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the handset library exchanges little-endian blocks");

constexpr const char* kHandsetLibraryName = "libTjIpSys.so";
constexpr const char* kHandsetEntryName = "TjIpSysCall";

// The library's one entry point: a request code and two arguments; non-zero means success.
using TjIpSysCallFunction = int32_t (*)(int32_t code, intptr_t a, intptr_t b);

// What the library calls when a handset key is pressed, on a thread of its own.
using HandsetCallbackFunction = void (*)(intptr_t user, int32_t message, int32_t key);

// Request codes.
constexpr int32_t kTjIpSysOpen = 0;          // a: library handle, b: uint16_t* status word
constexpr int32_t kTjIpSysTransfer = 2;      // a: 0, b: TjIpSysTransferBlock*
constexpr int32_t kTjIpSysMode = 20;         // a: 0, b: NUL-terminated mode text
constexpr int32_t kTjIpSysKeyFeedback = 21;  // a: feedback value 0..9, b: 0
constexpr int32_t kTjIpSysSetCallback = 46;  // a: 0, b: TjIpSysCallbackRecord*

constexpr const char* kHandsetModeText = "USB";

// Window message number of a key press (WM_USER + 402) and the code the handset sends when
// no key is meant.
constexpr int32_t kHandsetKeyMessage = 1426;
constexpr int32_t kHandsetNoKey = 32;

// Handed over by kTjIpSysSetCallback; only lives while the request runs, so the library
// keeps its own copy of both values.
struct TjIpSysCallbackRecord {
    intptr_t callback;  // HandsetCallbackFunction
    intptr_t user;
};
static_assert(sizeof(TjIpSysCallbackRecord) == 16);
static_assert(offsetof(TjIpSysCallbackRecord, callback) == 0);
static_assert(offsetof(TjIpSysCallbackRecord, user) == 8);

// Transfer header, 10 bytes little-endian.
constexpr size_t kTransferHeaderSize = 10;
constexpr uint8_t kTransferKind = 4;
constexpr uint8_t kTransferRead = 1;
constexpr uint8_t kTransferWrite = 0;
constexpr uint8_t kTransferWriteMarker = 0x55;  // "U"

struct TjIpSysTransferHeader {
    uint8_t kind;             // kTransferKind
    uint8_t unused1;          // 0
    uint16_t unused2;         // 0
    uint16_t registerNumber;  // 0..255
    uint16_t byteCount;       // 1 in every use
    uint8_t direction;        // kTransferRead or kTransferWrite
    uint8_t marker;           // kTransferWriteMarker in a write, 0 in a read
};
static_assert(sizeof(TjIpSysTransferHeader) == kTransferHeaderSize);
static_assert(offsetof(TjIpSysTransferHeader, kind) == 0);
static_assert(offsetof(TjIpSysTransferHeader, unused1) == 1);
static_assert(offsetof(TjIpSysTransferHeader, unused2) == 2);
static_assert(offsetof(TjIpSysTransferHeader, registerNumber) == 4);
static_assert(offsetof(TjIpSysTransferHeader, byteCount) == 6);
static_assert(offsetof(TjIpSysTransferHeader, direction) == 8);
static_assert(offsetof(TjIpSysTransferHeader, marker) == 9);

// Transfer block of kTjIpSysTransfer. The library stores a read register's value through
// data, or takes the value to write from there; block and byte only live while the
// request runs.
struct TjIpSysTransferBlock {
    TjIpSysTransferHeader header;
    uint16_t unused;     // 0
    uint32_t byteCount;  // 1 in every use
    intptr_t data;       // uint8_t*
};
static_assert(sizeof(TjIpSysTransferBlock) == 24);
static_assert(offsetof(TjIpSysTransferBlock, header) == 0);
static_assert(offsetof(TjIpSysTransferBlock, unused) == 10);
static_assert(offsetof(TjIpSysTransferBlock, byteCount) == 12);
static_assert(offsetof(TjIpSysTransferBlock, data) == 16);
