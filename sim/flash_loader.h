#ifndef SIM_FLASH_LOADER_H
#define SIM_FLASH_LOADER_H

// The simulated BMS's firmware loader. The model hands it every upgrade command
// (erase 0xFA, write one line 0xFB, check CRC 0xFD) that arrived whole with a
// correct frame checksum; the loader answers only through the status registers
// 0x69 and 0x6A, which the tool polls like any other register.
//
// This version keeps no flash: it reports every command as carried out by echoing
// its bytes 4 to 7 (command byte and the three bytes after it) into the status,
// which is what a loader that accepts everything would show.

#include "link/frame.h"

#include <QByteArray>

class FlashLoader
{
public:
    void handle_command(const QByteArray &frame, RegisterImage &registers);
};

#endif // SIM_FLASH_LOADER_H
