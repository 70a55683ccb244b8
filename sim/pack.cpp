#include "pack.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace
{

// One charge then discharge round; long enough to look like riding, short enough
// to see everything move within a couple of minutes.
constexpr double CHARGE_PHASE_S = 40;
constexpr double CYCLE_S = 120;
// Discharging, a new current every 2.5 s, each far from the one before: any 10 s
// of it spans more than 10 A, enough to tell each cell's resistance from its sag.
constexpr double CYCLE_STEP_S = 2.5;
constexpr int CYCLE_STEPS_MA[] = {-4000, -15000, -6000, -17000, -3000, -14000, -8000, -16000};
// A test ride: a new current every half second, each step far from the one before,
// so that a few seconds of samples already span more than 10 A.
constexpr double RIDE_STEP_S = 0.5;
constexpr int RIDE_STEPS_MA[] = {-3000, -18000, -8000, -20000, -5000, -14000, -2000, -16000};

// A cell taken on past empty or full: up to 5 % of its capacity, 80 mV a percent.
constexpr double BEYOND_CURVE = 0.05;
constexpr double BEYOND_MV_PER_PERCENT = 80;

} // namespace

Pack::Pack(const PackSetup &setup, std::mt19937 &rng)
{
    // Cells of one pack are never quite equal. A balanced pack's lie well inside the
    // BMS's 20 mV threshold; an unbalanced one's a few tens of millivolts apart, which
    // gives the balancer something to do while charging.
    const int spread_mv = setup.unbalanced ? 25 : 2;
    std::uniform_int_distribution<int> spread(-spread_mv, spread_mv);
    for (size_t k = 0; k < cells_.size(); ++k)
        cells_[k].ocv_offset_mv = spread(rng) + setup.offset_mv[k];
    // Resistance and capacity differ by a few percent between healthy cells.
    std::uniform_real_distribution<double> resistance(0.975, 1.025);
    std::uniform_real_distribution<double> capacity(0.99, 1.01);
    for (size_t k = 0; k < cells_.size(); ++k) {
        Cell &cell = cells_[k];
        cell.resistance_mohm =
            HEALTHY_RESISTANCE_MOHM * resistance(rng) * setup.resistance_factor[k];
        cell.capacity_mah = NOMINAL_CAPACITY_MAH * capacity(rng);
        cell.charge_mah = std::clamp(setup.state_of_charge, 0.0, 1.0) * cell.capacity_mah;
    }
}

void Pack::flow(double current_ma, int ms)
{
    for (Cell &cell : cells_)
        cell.charge_mah =
            std::clamp(cell.charge_mah + current_ma * ms / 3.6e6, -BEYOND_CURVE * cell.capacity_mah,
                       (1 + BEYOND_CURVE) * cell.capacity_mah);
}

double Pack::terminal_mv(int k, double current_ma, const quint16 *curve_mv) const
{
    const Cell &cell = cells_[static_cast<size_t>(k)];
    const double soc = cell.charge_mah / cell.capacity_mah;
    const double position = std::clamp(soc, 0.0, 1.0) * (wire::CURVE_POINTS - 1);
    const int below = std::min(static_cast<int>(position), wire::CURVE_POINTS - 2);
    const double low = curve_mv[below];
    const double high = curve_mv[below + 1];
    // Past either end of its curve a cell's voltage runs away: that is what the
    // BMS's protections are there to stop.
    const double beyond = soc < 0 ? soc : std::max(0.0, soc - 1);
    const double ocv = low + (high - low) * (position - below) +
                       beyond * 100 * BEYOND_MV_PER_PERCENT + cell.ocv_offset_mv;
    return ocv + current_ma * cell.resistance_mohm / 1000.0;
}

double load_demand_ma(PackSetup::Load load, double elapsed_s, std::mt19937 &rng)
{
    switch (load) {
    case PackSetup::Load::Ride: {
        const auto step = static_cast<size_t>(elapsed_s / RIDE_STEP_S) % std::size(RIDE_STEPS_MA);
        return RIDE_STEPS_MA[step] + 150 * std::sin(elapsed_s * 9);
    }
    case PackSetup::Load::Idle:
        return -25 + std::uniform_int_distribution<int>(-15, 15)(rng);
    case PackSetup::Load::Cycle:
        break;
    }
    const double in_cycle = std::fmod(elapsed_s, CYCLE_S);
    if (in_cycle < CHARGE_PHASE_S)
        return 3000 + 150 * std::sin(elapsed_s / 3.0);
    const auto step =
        static_cast<size_t>((in_cycle - CHARGE_PHASE_S) / CYCLE_STEP_S) % std::size(CYCLE_STEPS_MA);
    return CYCLE_STEPS_MA[step] + 150 * std::sin(elapsed_s * 7);
}

std::string truth_line(const Pack &pack)
{
    std::string resistance, capacity;
    char number[32];
    for (const Cell &cell : pack.cells()) {
        std::snprintf(number, sizeof number, "%s%.3f", resistance.empty() ? "" : ", ",
                      cell.resistance_mohm);
        resistance += number;
        std::snprintf(number, sizeof number, "%s%.0f", capacity.empty() ? "" : ", ",
                      cell.capacity_mah);
        capacity += number;
    }
    return "{\"resistance_mohm\": [" + resistance + "], \"capacity_mah\": [" + capacity + "]}";
}
