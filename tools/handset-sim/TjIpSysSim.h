#pragma once

// Test helpers of the simulated handset library (libTjIpSys.so built from TjIpSysSim.cpp).
// The simulator answers every request over 256 registers, records what it receives and
// presses keys from a thread of its own, as a real handset driver does.

#include <cstdint>

struct TjIpSysSimRequest {
    int32_t code;
    intptr_t a;
    intptr_t b;
    int32_t result;
    int64_t timeUs;             // steady clock, when the request arrived
    uint8_t bytes[24];          // the transfer block or the callback record as received
    int32_t byteCount;          // how many of bytes hold something
    uint8_t dataBefore;         // a transfer's data byte as it arrived
    uint8_t dataAfter;          // and as the library left it
    uint16_t statusWordBefore;  // the status word handed to an open request
    char text[16];              // the mode text, NUL-terminated, cut to 15 characters
};

#define TJIPSYS_EXPORT __attribute__((visibility("default")))

extern "C" {

TJIPSYS_EXPORT int32_t TjIpSysCall(int32_t code, intptr_t a, intptr_t b);

// Forgets requests, callback and registers; open and transfers succeed again.
TJIPSYS_EXPORT void TjIpSysSim_Reset();
// Forgets the recorded requests only.
TJIPSYS_EXPORT void TjIpSysSim_ForgetRequests();
TJIPSYS_EXPORT int32_t TjIpSysSim_RequestCount();
// 1 and *out filled when index names a recorded request, else 0.
TJIPSYS_EXPORT int32_t TjIpSysSim_GetRequest(int32_t index, TjIpSysSimRequest* out);
// How many requests arrived while another was still running, since the last reset.
TJIPSYS_EXPORT int32_t TjIpSysSim_OverlappingRequests();
TJIPSYS_EXPORT void TjIpSysSim_SetRegister(int32_t registerNumber, uint8_t value);
TJIPSYS_EXPORT uint8_t TjIpSysSim_GetRegister(int32_t registerNumber);
TJIPSYS_EXPORT void TjIpSysSim_SetOpenResult(int32_t result);
// With 0 every transfer fails without touching its data byte.
TJIPSYS_EXPORT void TjIpSysSim_SetTransferResult(int32_t result);
// Calls the stored callback with (user, message, key) on a thread of the library's own and
// returns once it has returned: 1, or 0 when no callback is stored.
TJIPSYS_EXPORT int32_t TjIpSysSim_PressKey(int32_t key, int32_t message);

}  // extern "C"
