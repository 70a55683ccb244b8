#ifndef SIM_BMS_MODEL_H
#define SIM_BMS_MODEL_H

// The BMS side of the link, without any I/O: a 128-register space filled from
// the ten cells it measures (pack.h), the protections it acts on, the answers to
// read requests, register writes, and the hand-over of upgrade commands to the
// flash loader. The executable around it (main.cpp) owns the pseudo-terminal,
// the clock and the fault injection.

#include "flash_loader.h"
#include "pack.h"
#include "wire.h"

#include <QByteArray>

#include <array>
#include <bitset>
#include <random>

constexpr int SIM_STATUS_REGISTER = wire::LOADER_STATUS; // 0x69 and 0x6A: last upgrade command

// Register writes the BMS drops without storing anything, as a unit whose
// settings will not stick does; for seeing the tool's read-back catch it.
struct WriteRefusal {
    double share = 0;           // of all register writes, drawn per write
    std::bitset<256> registers; // every write whose first register is set here
    quint32 seed = 1;
};

class BmsModel
{
public:
    explicit BmsModel(quint32 seed = 1, const PackSetup &pack = {});

    quint16 reg(int r) const;
    void set_reg(int r, quint16 value);
    const wire::Registers &registers() const { return regs; }
    FlashLoader &flash_loader() { return loader; }

    void refuse_writes(const WriteRefusal &refusal);
    // Register writes that arrived intact and were dropped by the refusal.
    long long refused_writes() const { return refused; }

    // One frame as the BMS received it. Frames with a wrong size or checksum, or
    // not addressed to the BMS, are ignored. Returns the reply to send: a read
    // reply for a read request, nothing for anything else.
    QByteArray handle_frame(const QByteArray &frame);

    // Moves the pack on by `ms` milliseconds: current, charge, cell voltages,
    // temperatures, the protections, balancing and status flags.
    void advance(int ms);

    const Pack &cells() const { return pack; }

private:
    // One of the BMS's protections: its limit passed for its whole delay trips it;
    // it lets go once the reading is back past the limit by the hysteresis.
    struct Protection {
        double past_for_s = 0;
        bool tripped = false;
        void update(bool past_limit, bool released, double delay_s, double dt_s);
    };

    QByteArray read_reply(quint8 first_register, quint8 byte_count) const;
    void write_registers(const QByteArray &frame);
    void update_live_registers();
    void protect(double dt_s);
    std::array<quint16, wire::CURVE_POINTS> curve() const;

    wire::Registers regs{};
    FlashLoader loader;
    PackSetup setup;
    std::mt19937 rng;
    Pack pack;
    double charge_mah = 0; // the BMS's own count, against the capacity register
    double elapsed_s = 0;
    double current_ma = 0;
    std::array<int, wire::CELL_COUNT> cell_mv{};
    int sensor_2_c = 0;
    Protection under, over, heat;
    static constexpr double START_TEMPERATURE_C = 24;
    double temperature_c = START_TEMPERATURE_C;
    WriteRefusal refusal;
    std::mt19937 refusal_rng;
    long long refused = 0;
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
