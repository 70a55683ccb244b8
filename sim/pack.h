#ifndef SIM_PACK_H
#define SIM_PACK_H

// The cells behind the BMS, as physics rather than registers: each cell has its
// own open-circuit voltage curve (the pack's discharge curve, shifted by the
// cell's own offset), its own internal resistance and capacity, and its own
// charge. Under a current I (positive while charging) cell k shows
// OCV_k(charge_k / capacity_k) + I * R_k; a cell driven past empty or full (a
// BMS that does not cut off) falls or climbs steeply beyond its curve. The BMS model reads it like
// a BMS's measuring front end does; nothing here knows about registers or the line.

#include "wire.h"

#include <QtGlobal>

#include <array>
#include <random>
#include <string>

// How the pack is used, who it is and what is wrong with it. The default is a
// healthy, balanced pack going round its two-minute charge and discharge cycle.
struct PackSetup {
    // Empty: drawn from the seed (seed 1: SIM10S-0000042). Padded with spaces to 14 characters.
    std::string serial_number;
    // Unless given, drawn from the seed, so that packs side by side differ.
    bool bms_serial_given = false;
    std::array<quint8, wire::BMS_ID_BYTES> bms_serial{};
    // Cells a few tens of mV apart, beyond the BMS's disbalance threshold.
    bool unbalanced = false;
    enum class Load {
        Cycle, // 40 s charging at about 3 A, then 80 s discharging in steps of 3 to 17 A
        Ride,  // discharging from the start, a new current between 2 and 20 A every 0.5 s
        Idle,  // at rest: a few tens of mA drawn, with a little noise
    };
    Load load = Load::Cycle;
    // State of charge at start, 0 to 1.
    double state_of_charge = 0.78;
    // Internal resistance of each cell as a multiple of its own healthy value.
    std::array<double, wire::CELL_COUNT> resistance_factor{1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    // Added to each cell's open-circuit voltage on top of the spread drawn from the seed.
    std::array<int, wire::CELL_COUNT> offset_mv{};
    // Sensor 2 runs away, about 1 deg C a second, up to this plus 10 deg C.
    bool hot_sensor = false;
    double hot_sensor_c = 0;
    // The BMS sees a protection's limit passed but keeps its switches on.
    enum class Fault { None, Under, Over, Temperature };
    Fault protection_fault = Fault::None;
};

struct Cell {
    double ocv_offset_mv = 0;
    double resistance_mohm = 0;
    double capacity_mah = 0;
    double charge_mah = 0;
};

class Pack
{
public:
    static constexpr double NOMINAL_CAPACITY_MAH = 7800;
    static constexpr double HEALTHY_RESISTANCE_MOHM = 8;

    // Draws the cells' spread from `rng`, in an order that keeps a seed's offsets
    // what they were before the cells had resistances and capacities of their own.
    Pack(const PackSetup &setup, std::mt19937 &rng);

    const std::array<Cell, wire::CELL_COUNT> &cells() const { return cells_; }

    // Moves `current_ma` (positive into the pack) through every cell for `ms`.
    void flow(double current_ma, int ms);
    // Cell k's voltage at its terminals under `current_ma`, on the discharge
    // curve `curve_mv` (11 points, 0 % to 100 %).
    double terminal_mv(int k, double current_ma, const quint16 *curve_mv) const;

private:
    std::array<Cell, wire::CELL_COUNT> cells_{};
};

// The cells' true figures as one line of JSON, for checking what a report makes
// of them: {"resistance_mohm": [10 numbers], "capacity_mah": [10 numbers]}.
std::string truth_line(const Pack &pack);

// The current the loads (or the charger) ask for, in mA, positive while charging.
double load_demand_ma(PackSetup::Load load, double elapsed_s, std::mt19937 &rng);

#endif // SIM_PACK_H
