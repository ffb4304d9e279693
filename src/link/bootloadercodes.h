#pragma once
// The bytes of the STM32 system bootloader's SPI protocol, shared by the host side that writes a
// shield's firmware and the simulated device side. Constants only.

#include <QtGlobal>

namespace BootloaderCodes {

const quint8 frameStart = 0x5A;  // start of a frame; sent alone it asks for synchronisation
const quint8 ackByte = 0x79;
const quint8 nackByte = 0x1F;
const quint8 cmdGet = 0x00;
const quint8 cmdVersion = 0x01;
const quint8 cmdId = 0x02;
const quint8 cmdRead = 0x11;
const quint8 cmdGo = 0x21;
const quint8 cmdWrite = 0x31;
const quint8 cmdErase = 0x44;
const quint8 cmdWriteUnprotect = 0x73;
const quint8 cmdReadoutUnprotect = 0x92;

}  // namespace BootloaderCodes
