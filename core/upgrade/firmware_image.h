#ifndef UPGRADE_FIRMWARE_IMAGE_H
#define UPGRADE_FIRMWARE_IMAGE_H

#include <QtGlobal>

#include <array>

// The application flash of the BMS, 0x0000 to 0x37FF; the CRC check covers all of it.
constexpr int FIRMWARE_IMAGE_SIZE = 14336;
using FirmwareImage = std::array<quint8, FIRMWARE_IMAGE_SIZE>;

#endif // UPGRADE_FIRMWARE_IMAGE_H
