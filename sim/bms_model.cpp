#include "bms_model.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace
{

// One charge then discharge round; long enough to look like riding, short enough
// to see everything move within a couple of minutes.
constexpr double CHARGE_PHASE_S = 40;
constexpr double CYCLE_S = 120;
constexpr double CELL_RESISTANCE_OHM = 0.008;
// A test ride: a new current every half second, each step far from the one before,
// so that a few seconds of samples already span more than 10 A.
constexpr double RIDE_STEP_S = 0.5;
constexpr int RIDE_STEPS_MA[] = {-3000, -18000, -8000, -20000, -5000, -14000, -2000, -16000};
// Sensor 2 sits this far above sensor 1.
constexpr int SENSOR_2_ABOVE_C = 2;

// The maker's prefix stays; the rest follows the seed, and seed 1 keeps the
// identifier that the examples show.
std::array<quint8, wire::BMS_ID_BYTES> bms_serial_for(quint32 seed)
{
    std::array<quint8, wire::BMS_ID_BYTES> id = {0x0A, 0x3F, 0x00, 0x17, 0x51, 0x33,
                                                 0x4B, 0x52, 0x20, 0x38, 0x31, 0x47};
    const auto mix = [](quint64 z) {
        z += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    const quint64 change = mix(seed) ^ mix(1);
    for (size_t i = 4; i < id.size(); ++i)
        id[i] ^= static_cast<quint8>(change >> (8 * (i - 4)));
    return id;
}

quint16 pack_date(int day, int month, int year)
{
    return static_cast<quint16>(day | (month << 5) | ((year - 2000) << 9));
}

} // namespace

BmsModel::BmsModel(quint32 seed, const PackSetup &setup) : pack(setup), rng(seed)
{
    const quint16 curve[wire::CURVE_POINTS] = {3000, 3350, 3480, 3560, 3620, 3680,
                                               3760, 3850, 3940, 4040, 4150};
    for (int k = 0; k < wire::CURVE_POINTS; ++k)
        set_reg(wire::CURVE + k, curve[k]);

    std::string serial = pack.serial_number.empty() ? "SIM10S-0000042" : pack.serial_number;
    serial.resize(wire::SERIAL_TEXT_BYTES, ' ');
    for (int i = 0; i < wire::SERIAL_TEXT_BYTES; ++i)
        regs[static_cast<size_t>(2 * wire::SERIAL_TEXT + i)] =
            static_cast<quint8>(serial[static_cast<size_t>(i)]);
    set_reg(wire::FIRMWARE, 18);
    set_reg(wire::CAPACITY, 7800);
    set_reg(wire::PRODUCED, pack_date(15, 6, 2023));

    set_reg(wire::SC_CURRENT, 3);     // 111 A
    set_reg(wire::SC_DELAY, 1);       // 100 us
    set_reg(wire::SC_COOLDOWN, 5000); // ms
    set_reg(wire::DSG_OC, 4);         // 39 A
    set_reg(wire::DSG_OC_DELAY, 4);   // 160 ms
    set_reg(wire::DSG_OC_COOLDOWN, 10000);
    set_reg(wire::CHG_OC, 5000); // mA
    set_reg(wire::CHG_OC_DELAY, 1000);
    set_reg(wire::CHG_OC_COOLDOWN, 30000);
    set_reg(wire::OV, 4200);
    set_reg(wire::OV_DELAY, 1); // 2 s
    set_reg(wire::OV_HYSTERESIS, 100);
    set_reg(wire::UV, 3000);
    set_reg(wire::UV_DELAY, 1); // 4 s
    set_reg(wire::UV_HYSTERESIS, 200);
    set_reg(wire::BALANCE_FROM, 3900);
    set_reg(wire::BALANCE_THRESHOLD, 20);
    set_reg(wire::SHUTDOWN, 2800);
    set_reg(wire::CRITICAL_TEMP, 60);
    set_reg(wire::CRITICAL_TEMP_DELAY, 5000);
    set_reg(wire::CRITICAL_TEMP_HYSTERESIS, 5);
    set_reg(wire::NO_RECUPERATION_FROM, 4150);
    set_reg(wire::ADC_GAIN, 380);
    set_reg(wire::ADC_OFFSET, static_cast<quint16>(-12));
    set_reg(wire::BALANCE_MODE, 0);
    set_reg(wire::CHARGE_ON, 1);
    set_reg(wire::DISCHARGE_ON, 1);

    const auto identifier = pack.bms_serial_given ? pack.bms_serial : bms_serial_for(seed);
    for (int i = 0; i < wire::BMS_ID_BYTES; ++i)
        regs[static_cast<size_t>(2 * wire::BMS_ID + i)] = identifier[static_cast<size_t>(i)];

    // Cells of one pack are never quite equal. A balanced pack's lie well inside the
    // BMS's 20 mV threshold; an unbalanced one's a few tens of millivolts apart, which
    // gives the balancer something to do while charging.
    const int spread_mv = pack.unbalanced ? 25 : 3;
    std::uniform_int_distribution<int> spread(-spread_mv, spread_mv);
    for (int &offset : cell_offset_mv)
        offset = spread(rng);
    for (size_t k = 0; k < cell_offset_mv.size(); ++k)
        cell_offset_mv[k] += pack.offset_mv[k];
    charge_mah = 0.78 * 7800;
    advance(0);
}

quint16 BmsModel::reg(int r) const
{
    const auto low = static_cast<size_t>(2 * (r & 0x7F));
    return static_cast<quint16>(regs[low] | (regs[low + 1] << 8));
}

void BmsModel::set_reg(int r, quint16 value)
{
    const auto low = static_cast<size_t>(2 * (r & 0x7F));
    regs[low] = static_cast<quint8>(value & 0xFF);
    regs[low + 1] = static_cast<quint8>(value >> 8);
}

QByteArray BmsModel::handle_frame(const QByteArray &frame)
{
    if (frame.size() < wire::ENVELOPE + 1)
        return {};
    const int len = static_cast<quint8>(frame.at(2));
    if (frame.size() != len + wire::ENVELOPE || !wire::sealed_at(frame, len + 4))
        return {};
    if (static_cast<quint8>(frame.at(0)) != wire::SYNC_A ||
        static_cast<quint8>(frame.at(1)) != wire::SYNC_B ||
        static_cast<quint8>(frame.at(3)) != wire::TO_BMS)
        return {};

    switch (static_cast<quint8>(frame.at(4))) {
    case wire::READ:
        if (len != 3)
            return {};
        // A read of exactly the status registers is the tool's upgrade status poll.
        if (static_cast<quint8>(frame.at(5)) == SIM_STATUS_REGISTER &&
            static_cast<quint8>(frame.at(6)) == 4 && !loader.status_polled(regs))
            return {};
        return read_reply(static_cast<quint8>(frame.at(5)), static_cast<quint8>(frame.at(6)));
    case wire::WRITE:
        write_registers(frame);
        return {};
    case wire::ERASE:
    case wire::PROGRAM_LINE:
    case wire::CHECK_CRC:
        loader.handle_command(frame, regs);
        return {};
    default:
        return {};
    }
}

QByteArray BmsModel::read_reply(quint8 first_register, quint8 byte_count) const
{
    if (byte_count + 2 > wire::LONGEST_LEN)
        return {};
    QByteArray reply;
    reply.append(static_cast<char>(wire::SYNC_A));
    reply.append(static_cast<char>(wire::SYNC_B));
    reply.append(static_cast<char>(byte_count + 2));
    reply.append(static_cast<char>(wire::FROM_BMS));
    reply.append(static_cast<char>(wire::READ));
    reply.append(static_cast<char>(first_register));
    // Past register 0x7F there is nothing; such bytes read as zero.
    for (int i = 0; i < byte_count; ++i) {
        const int at = 2 * first_register + i;
        reply.append(
            static_cast<char>(at < wire::REGISTER_BYTES ? regs[static_cast<size_t>(at)] : 0));
    }
    wire::seal(reply);
    return reply;
}

void BmsModel::refuse_writes(const WriteRefusal &r)
{
    refusal = r;
    refusal_rng.seed(r.seed ^ 0x2EF5u);
}

void BmsModel::write_registers(const QByteArray &frame)
{
    const int len = static_cast<quint8>(frame.at(2));
    const int n = static_cast<quint8>(frame.at(6));
    if (len != n + 5 || !wire::sealed_at(frame, 7 + n))
        return;
    // Drawn for every write, listed or not, so that one run's refusals by chance
    // do not shift with the list.
    const bool by_chance = refusal.share > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(
                                                    refusal_rng) < refusal.share;
    if (by_chance || refusal.registers.test(static_cast<quint8>(frame.at(5)))) {
        ++refused;
        return;
    }
    const int start = 2 * static_cast<quint8>(frame.at(5));
    for (int i = 0; i < n && start + i < wire::REGISTER_BYTES; ++i)
        regs[static_cast<size_t>(start + i)] = static_cast<quint8>(frame.at(7 + i));
}

int BmsModel::open_circuit_mv(double state_of_charge) const
{
    // The pack follows its own discharge curve, so a curve written by the tool
    // shows in the cell voltages.
    const double position = std::clamp(state_of_charge, 0.0, 1.0) * (wire::CURVE_POINTS - 1);
    const int below = std::min(static_cast<int>(position), wire::CURVE_POINTS - 2);
    const double share = position - below;
    const double low = reg(wire::CURVE + below);
    const double high = reg(wire::CURVE + below + 1);
    return static_cast<int>(std::lround(low + (high - low) * share));
}

double BmsModel::load_ma()
{
    switch (pack.load) {
    case PackSetup::Load::Ride: {
        const auto step = static_cast<size_t>(elapsed_s / RIDE_STEP_S) % std::size(RIDE_STEPS_MA);
        return RIDE_STEPS_MA[step] + 150 * std::sin(elapsed_s * 9);
    }
    case PackSetup::Load::Idle:
        return -25 + std::uniform_int_distribution<int>(-15, 15)(rng);
    case PackSetup::Load::Cycle:
        break;
    }
    if (std::fmod(elapsed_s, CYCLE_S) < CHARGE_PHASE_S)
        return 3000 + 150 * std::sin(elapsed_s / 3.0);
    return -8000 - 3500 * std::sin(elapsed_s / 6.0);
}

void BmsModel::advance(int ms)
{
    elapsed_s += ms / 1000.0;
    current_ma = load_ma();

    const double capacity = std::max<quint16>(reg(wire::CAPACITY), 1);
    charge_mah = std::clamp(charge_mah + current_ma * ms / 3.6e6, 0.0, capacity);
    // Heat follows the current slowly.
    const double target_c = 23 + std::abs(current_ma) / 1000.0 * 1.2;
    temperature_c += (target_c - temperature_c) * std::min(1.0, ms / 20000.0);
    update_live_registers();
}

void BmsModel::update_live_registers()
{
    const double capacity = std::max<quint16>(reg(wire::CAPACITY), 1);
    const double soc = charge_mah / capacity;
    const int ocv = open_circuit_mv(soc);
    // What a healthy cell gives up (or gains) across its internal resistance, in mV.
    const double drop_mv = current_ma / 1000.0 * CELL_RESISTANCE_OHM * 1000;
    std::uniform_int_distribution<int> noise(-2, 2);

    int sum = 0;
    int lowest = 65535;
    std::array<int, wire::CELL_COUNT> cells{};
    for (int k = 0; k < wire::CELL_COUNT; ++k) {
        const auto at = static_cast<size_t>(k);
        const int drop = static_cast<int>(std::lround(drop_mv * pack.resistance_factor[at]));
        cells[at] = std::clamp(ocv + drop + cell_offset_mv[at] + noise(rng), 0, 65535);
        sum += cells[at];
        lowest = std::min(lowest, cells[at]);
        set_reg(wire::CELLS + k, static_cast<quint16>(cells[at]));
    }
    const bool charging = current_ma > 0;
    set_reg(wire::PACK_VOLTAGE, static_cast<quint16>(sum / 10));
    set_reg(wire::CURRENT, static_cast<quint16>(static_cast<qint16>(current_ma / 10)));
    set_reg(wire::CHARGE_MAH, static_cast<quint16>(charge_mah));
    set_reg(wire::CHARGE_PERCENT,
            static_cast<quint16>(std::lround(std::clamp(soc, 0.0, 1.0) * 100)));

    const int t1 = static_cast<int>(std::lround(temperature_c));
    int t2 = t1 + SENSOR_2_ABOVE_C;
    if (pack.hot_sensor) {
        const double runaway_c =
            std::min(START_TEMPERATURE_C + SENSOR_2_ABOVE_C + elapsed_s, pack.hot_sensor_c + 10);
        t2 = std::max(t2, static_cast<int>(std::lround(runaway_c)));
    }
    set_reg(wire::TEMPERATURES,
            static_cast<quint16>(std::clamp(t1 + 20, 0, 255) | (std::clamp(t2 + 20, 0, 255) << 8)));

    const int mode = reg(wire::BALANCE_MODE);
    const bool may_balance = mode == 1 || (mode == 0 && charging);
    quint16 balancing = 0;
    int highest = 0;
    for (int k = 0; k < wire::CELL_COUNT; ++k) {
        const int v = cells[static_cast<size_t>(k)];
        highest = std::max(highest, v);
        if (may_balance && v >= reg(wire::BALANCE_FROM) &&
            v > lowest + reg(wire::BALANCE_THRESHOLD))
            balancing |= static_cast<quint16>(1u << k);
    }
    set_reg(wire::BALANCING, balancing);

    quint16 status = 0;
    if (charging)
        status |= wire::FLAG_CHARGING;
    if (highest >= reg(wire::NO_RECUPERATION_FROM))
        status |= wire::FLAG_NO_RECUPERATION;
    if (t2 >= reg(wire::CRITICAL_TEMP))
        status |= wire::FLAG_OVERHEAT;
    set_reg(wire::FLAGS, status);
}

void FrameAssembler::feed(const QByteArray &bytes)
{
    pending.append(bytes);
}

bool FrameAssembler::next_frame(QByteArray &frame)
{
    while (pending.size() >= 2) {
        if (static_cast<quint8>(pending.at(0)) != wire::SYNC_A ||
            static_cast<quint8>(pending.at(1)) != wire::SYNC_B) {
            pending.remove(0, 1);
            continue;
        }
        if (pending.size() < 3)
            return false;
        const int len = static_cast<quint8>(pending.at(2));
        if (len > wire::LONGEST_LEN) {
            pending.remove(0, 1);
            continue;
        }
        const int size = len + wire::ENVELOPE;
        if (pending.size() < size)
            return false;
        const QByteArray candidate = pending.left(size);
        if (!wire::sealed_at(candidate, len + 4)) {
            pending.remove(0, 1);
            continue;
        }
        pending.remove(0, size);
        frame = candidate;
        return true;
    }
    return false;
}
