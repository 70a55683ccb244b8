#ifndef SIM_BMS_MODEL_H
#define SIM_BMS_MODEL_H

// The BMS side of the link, without any I/O: a 128-register space holding a
// ten-cell pack that charges and discharges over time, the answers to read
// requests, register writes, and the hand-over of upgrade commands to the
// flash loader. The executable around it (main.cpp) owns the pseudo-terminal,
// the clock and the fault injection.

#include "link/frame.h"
#include "sim/flash_loader.h"

#include <QByteArray>

#include <array>
#include <random>

constexpr int SIM_STATUS_REGISTER = 0x69; // 0x69 and 0x6A: last upgrade command carried out

class BmsModel
{
public:
    explicit BmsModel(quint32 seed = 1);

    quint16 reg(int r) const;
    void set_reg(int r, quint16 value);
    const RegisterImage &registers() const { return regs; }
    FlashLoader &flash_loader() { return loader; }

    // One frame as the BMS received it. Frames with a wrong size or checksum, or
    // not addressed to the BMS, are ignored. Returns the reply to send: a read
    // reply for a read request, nothing for anything else.
    QByteArray handle_frame(const QByteArray &frame);

    // Moves the pack on by `ms` milliseconds: current, charge, cell voltages,
    // temperatures, balancing and status flags.
    void advance(int ms);

private:
    QByteArray read_reply(quint8 first_register, quint8 byte_count) const;
    void write_registers(const QByteArray &frame);
    void update_live_registers();
    int open_circuit_mv(double state_of_charge) const;

    RegisterImage regs{};
    FlashLoader loader;
    std::mt19937 rng;
    std::array<int, 10> cell_offset_mv{};
    double charge_mah = 0;
    double elapsed_s = 0;
    double current_ma = 0;
    double temperature_c = 24;
};

// Cuts a byte stream into frames: resynchronises on 55 AA, waits for LEN + 6
// bytes and keeps only frames with a correct checksum. A BMS has to do this; the
// tool never does.
class FrameAssembler
{
public:
    void feed(const QByteArray &bytes);
    // The next complete frame, if one is there.
    bool next_frame(QByteArray &frame);
    bool has_partial() const { return !pending.isEmpty(); }
    // Gives up on the frame start at the head: a header whose length byte was noise
    // would otherwise hold back the good frames behind it until that many bytes came.
    void skip_head()
    {
        if (!pending.isEmpty())
            pending.remove(0, 1);
    }

private:
    QByteArray pending;
};

#endif // SIM_BMS_MODEL_H
