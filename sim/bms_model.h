#ifndef SIM_BMS_MODEL_H
#define SIM_BMS_MODEL_H

// The BMS side of the link, without any I/O: a 128-register space holding a
// ten-cell pack that charges and discharges over time, the answers to read
// requests, register writes, and the hand-over of upgrade commands to the
// flash loader. The executable around it (main.cpp) owns the pseudo-terminal,
// the clock and the fault injection.

#include "flash_loader.h"
#include "wire.h"

#include <QByteArray>

#include <array>
#include <bitset>
#include <random>
#include <string>

constexpr int SIM_STATUS_REGISTER = wire::LOADER_STATUS; // 0x69 and 0x6A: last upgrade command

// How the pack is used, who it is and what is wrong with it. The default is a
// healthy, balanced pack going round its two-minute charge and discharge cycle.
struct PackSetup {
    // Empty: SIM10S-0000042. Padded with spaces to 14 characters.
    std::string serial_number;
    // Unless given, drawn from the seed, so that packs side by side differ.
    bool bms_serial_given = false;
    std::array<quint8, wire::BMS_ID_BYTES> bms_serial{};
    // Cells a few tens of mV apart, beyond the BMS's disbalance threshold.
    bool unbalanced = false;
    enum class Load {
        Cycle, // 40 s charging at about 3 A, then 80 s discharging at 4.5 to 11.5 A
        Ride,  // discharging from the start, a new current between 2 and 20 A every 0.5 s
        Idle,  // at rest: a few tens of mA drawn, with a little noise
    };
    Load load = Load::Cycle;
    // Internal resistance of each cell as a multiple of a healthy cell's.
    std::array<double, wire::CELL_COUNT> resistance_factor{1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    // Added to each cell's voltage on top of the spread drawn from the seed.
    std::array<int, wire::CELL_COUNT> offset_mv{};
    // Sensor 2 runs away, about 1 deg C a second, up to this plus 10 deg C.
    bool hot_sensor = false;
    double hot_sensor_c = 0;
};

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
    // temperatures, balancing and status flags.
    void advance(int ms);

private:
    QByteArray read_reply(quint8 first_register, quint8 byte_count) const;
    void write_registers(const QByteArray &frame);
    void update_live_registers();
    int open_circuit_mv(double state_of_charge) const;
    double load_ma();

    wire::Registers regs{};
    FlashLoader loader;
    PackSetup pack;
    std::mt19937 rng;
    std::array<int, wire::CELL_COUNT> cell_offset_mv{};
    double charge_mah = 0;
    double elapsed_s = 0;
    double current_ma = 0;
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
