#ifndef SIM_FLASH_LOADER_H
#define SIM_FLASH_LOADER_H

// The simulated BMS's firmware loader. The model hands it every upgrade command
// (erase 0xFA, write one line 0xFB, check CRC 0xFD) that arrived whole with a
// correct frame checksum; the loader answers only through the status registers
// 0x69 and 0x6A, which the tool polls like any other register. After a command
// has been carried out they hold its bytes 4 to 7; a refused command leaves them
// as they were, and a failed CRC check writes a status that names no command.

#include "wire.h"

#include <QByteArray>
#include <QString>

#include <random>

// Ways to make the loader misbehave, to see the tool's retries at work.
struct LoaderFaults {
    int ignore_first = 0;   // transmissions of each command that are lost before one works
    double drop_status = 0; // share of status polls left unanswered
    double late_status = 0; // share of commands whose status shows one poll late
    bool no_loader = false; // upgrade commands are never carried out
    QString flash_dump;     // the flash is written here after every CRC check and on exit
    quint32 seed = 1;
};

// The status after a CRC check that failed: 0xEE, 0xFD, then the low two bytes of
// the CRC the loader found. Never an echo (byte 0 is not a command) nor all zeros.
constexpr quint8 LOADER_CRC_MISMATCH = 0xEE;

class FlashLoader
{
public:
    FlashLoader();
    void configure(const LoaderFaults &faults);

    void handle_command(const QByteArray &frame, wire::Registers &registers);

    // Runs for every read of exactly the status registers, before it is answered.
    // Returns false when the reply is to be dropped.
    bool status_polled(wire::Registers &registers);

    const wire::Flash &flash() const { return memory; }
    // Writes the flash to the dump file, if one was given.
    void dump_flash() const;

private:
    void set_status(wire::Registers &registers, const quint8 *status);
    bool chance(double share);

    LoaderFaults faults;
    wire::Flash memory;
    std::mt19937 rng;
    QByteArray last_frame;
    int transmissions = 0;
    bool late_pending = false;
    int late_polls_left = 0;
    quint8 late_status[4] = {};
};

#endif // SIM_FLASH_LOADER_H
