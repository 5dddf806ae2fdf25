#pragma once

// Register transfers to the handset and the ring burst built from them.

#include <cstdint>

#include "handset/TjIpSys.h"

TjIpSysTransferHeader MakeTransferHeader(uint8_t registerNumber, uint8_t direction);

// Sends one transfer block built from header; the transfer is over when this returns.
void HandsetTransfer(const TjIpSysTransferHeader& header, uint32_t byteCount, uint8_t* data);

// A failed read gives 0.
uint8_t HandsetReadRegister(uint8_t registerNumber);
void HandsetWriteRegister(uint8_t registerNumber, uint8_t value);

// Sets or clears mask in register 18; register 19 gets mask set either way.
bool HandsetUpdateBits(uint8_t mask, bool set);

// One ring burst: 24 register transfers with a 500 ms pause, which blocks the caller.
// Does nothing without a handset.
void RingHandset();
