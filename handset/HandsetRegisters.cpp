#include "handset/HandsetRegisters.h"

#include "handset/HandsetLibrary.h"
#include "platform/Clock.h"

namespace {

constexpr uint8_t kBitsRegister = 18;
constexpr uint8_t kBitsEnableRegister = 19;
constexpr int kRingPauseMs = 500;

}  // namespace

TjIpSysTransferHeader MakeTransferHeader(uint8_t registerNumber, uint8_t direction) {
    TjIpSysTransferHeader header{};
    header.kind = kTransferKind;
    header.registerNumber = registerNumber;
    header.byteCount = 1;
    header.direction = direction;
    header.marker = direction == kTransferWrite ? kTransferWriteMarker : 0;
    return header;
}

void HandsetTransfer(const TjIpSysTransferHeader& header, uint32_t byteCount, uint8_t* data) {
    TjIpSysTransferBlock block{};
    block.header = header;
    block.byteCount = byteCount;
    block.data = reinterpret_cast<intptr_t>(data);
    CallHandsetLibrary(kTjIpSysTransfer, 0, reinterpret_cast<intptr_t>(&block));
}

uint8_t HandsetReadRegister(uint8_t registerNumber) {
    uint8_t value = 0;
    HandsetTransfer(MakeTransferHeader(registerNumber, kTransferRead), 1, &value);
    return value;
}

void HandsetWriteRegister(uint8_t registerNumber, uint8_t value) {
    HandsetTransfer(MakeTransferHeader(registerNumber, kTransferWrite), 1, &value);
}

bool HandsetUpdateBits(uint8_t mask, bool set) {
    const uint8_t bits = HandsetReadRegister(kBitsRegister);
    const uint8_t enabled = HandsetReadRegister(kBitsEnableRegister);
    HandsetWriteRegister(kBitsRegister, set ? bits | mask : bits & static_cast<uint8_t>(~mask));
    HandsetWriteRegister(kBitsEnableRegister, enabled | mask);
    return true;
}

void RingHandset() {
    if (!usbHandsetPresent) {
        return;
    }
    HandsetUpdateBits(0x80, true);
    HandsetWriteRegister(15, 0x40);
    HandsetUpdateBits(0x20, false);
    HandsetWriteRegister(27, 0x01);
    // The burst holds the ring for half a second; no request lock is held meanwhile, so key
    // feedback from the window is not held up.
    platform::SleepMs(kRingPauseMs);
    HandsetUpdateBits(0x20, true);
    HandsetWriteRegister(25, 0x01);
    HandsetWriteRegister(26, 0x09);
    HandsetWriteRegister(27, 0x07);
    HandsetWriteRegister(24, 0xFF);
    HandsetWriteRegister(23, 0xC8);
    HandsetUpdateBits(0x20, true);
    HandsetWriteRegister(15, 0x00);
}
