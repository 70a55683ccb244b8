#include "bms_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace
{

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

// The delays of the voltage protections, by the code in their registers.
constexpr double OVERVOLTAGE_DELAY_S[] = {1, 2, 4, 8};
constexpr double UNDERVOLTAGE_DELAY_S[] = {1, 4, 8, 16};

double delay_s(const double *table, int code)
{
    return table[std::clamp(code, 0, 3)];
}

quint16 pack_date(int day, int month, int year)
{
    return static_cast<quint16>(day | (month << 5) | ((year - 2000) << 9));
}

} // namespace

BmsModel::BmsModel(quint32 seed, const PackSetup &pack_setup)
    : setup(pack_setup), rng(seed), pack(setup, rng)
{
    const quint16 curve[wire::CURVE_POINTS] = {3000, 3350, 3480, 3560, 3620, 3680,
                                               3760, 3850, 3940, 4040, 4150};
    for (int k = 0; k < wire::CURVE_POINTS; ++k)
        set_reg(wire::CURVE + k, curve[k]);

    // Simulators side by side with their own seeds are different packs; seed 1 keeps
    // the serial number the examples show.
    std::string serial = setup.serial_number;
    if (serial.empty()) {
        char text[wire::SERIAL_TEXT_BYTES + 1];
        std::snprintf(text, sizeof text, "SIM10S-%07u", (seed + 41u) % 10000000u);
        serial = text;
    }
    serial.resize(wire::SERIAL_TEXT_BYTES, ' ');
    for (int i = 0; i < wire::SERIAL_TEXT_BYTES; ++i)
        regs[static_cast<size_t>(2 * wire::SERIAL_TEXT + i)] =
            static_cast<quint8>(serial[static_cast<size_t>(i)]);
    set_reg(wire::FIRMWARE, 18);
    set_reg(wire::CAPACITY, static_cast<quint16>(Pack::NOMINAL_CAPACITY_MAH));
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

    const auto identifier = setup.bms_serial_given ? setup.bms_serial : bms_serial_for(seed);
    for (int i = 0; i < wire::BMS_ID_BYTES; ++i)
        regs[static_cast<size_t>(2 * wire::BMS_ID + i)] = identifier[static_cast<size_t>(i)];

    charge_mah = std::clamp(setup.state_of_charge, 0.0, 1.0) * reg(wire::CAPACITY);
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

std::array<quint16, wire::CURVE_POINTS> BmsModel::curve() const
{
    // The cells follow the pack's discharge curve, so a curve written by the tool
    // shows in the cell voltages.
    std::array<quint16, wire::CURVE_POINTS> points{};
    for (int k = 0; k < wire::CURVE_POINTS; ++k)
        points[static_cast<size_t>(k)] = reg(wire::CURVE + k);
    return points;
}

void BmsModel::advance(int ms)
{
    const double dt_s = ms / 1000.0;
    elapsed_s += dt_s;
    // An open switch stops the current in its direction; the other still flows.
    current_ma = load_demand_ma(setup.load, elapsed_s, rng);
    if ((current_ma < 0 && reg(wire::DISCHARGE_ON) == 0) ||
        (current_ma > 0 && reg(wire::CHARGE_ON) == 0))
        current_ma = 0;

    pack.flow(current_ma, ms);
    const double capacity = std::max<quint16>(reg(wire::CAPACITY), 1);
    charge_mah = std::clamp(charge_mah + current_ma * ms / 3.6e6, 0.0, capacity);
    // Heat follows the current slowly.
    const double target_c = 23 + std::abs(current_ma) / 1000.0 * 1.2;
    temperature_c += (target_c - temperature_c) * std::min(1.0, ms / 20000.0);
    update_live_registers();
    protect(dt_s);
}

void BmsModel::Protection::update(bool past_limit, bool released, double delay, double dt_s)
{
    past_for_s = past_limit ? past_for_s + dt_s : 0;
    if (!tripped && past_limit && past_for_s >= delay)
        tripped = true;
    else if (tripped && released)
        tripped = false;
}

// What the BMS does about the readings it has just taken: past a limit for the
// protection's delay it opens the switch that feeds the trouble, and flags overheat.
// A BMS with a protection fault sees the limit passed and keeps its switches on.
void BmsModel::protect(double dt_s)
{
    const auto [lowest, highest] = std::minmax_element(cell_mv.begin(), cell_mv.end());
    const int uv = reg(wire::UV);
    const int ov = reg(wire::OV);
    under.update(*lowest < uv, *lowest >= uv + reg(wire::UV_HYSTERESIS),
                 delay_s(UNDERVOLTAGE_DELAY_S, reg(wire::UV_DELAY)), dt_s);
    over.update(*highest > ov, *highest <= ov - reg(wire::OV_HYSTERESIS),
                delay_s(OVERVOLTAGE_DELAY_S, reg(wire::OV_DELAY)), dt_s);
    const int hottest = std::max(static_cast<int>(std::lround(temperature_c)), sensor_2_c);
    const int critical = reg(wire::CRITICAL_TEMP);
    heat.update(hottest >= critical, hottest < critical - reg(wire::CRITICAL_TEMP_HYSTERESIS),
                reg(wire::CRITICAL_TEMP_DELAY) / 1000.0, dt_s);

    using Fault = PackSetup::Fault;
    const bool heat_acts = heat.tripped && setup.protection_fault != Fault::Temperature;
    const bool discharge_off =
        heat_acts || (under.tripped && setup.protection_fault != Fault::Under);
    const bool charge_off = heat_acts || (over.tripped && setup.protection_fault != Fault::Over);
    set_reg(wire::DISCHARGE_ON, discharge_off ? 0 : 1);
    set_reg(wire::CHARGE_ON, charge_off ? 0 : 1);
    quint16 status = reg(wire::FLAGS) & ~wire::FLAG_OVERHEAT;
    if (heat.tripped)
        status |= wire::FLAG_OVERHEAT;
    set_reg(wire::FLAGS, status);
}

void BmsModel::update_live_registers()
{
    const double capacity = std::max<quint16>(reg(wire::CAPACITY), 1);
    const double soc = charge_mah / capacity;
    const auto points = curve();
    std::uniform_int_distribution<int> noise(-2, 2);

    int sum = 0;
    for (int k = 0; k < wire::CELL_COUNT; ++k) {
        const auto at = static_cast<size_t>(k);
        const double mv = pack.terminal_mv(k, current_ma, points.data());
        cell_mv[at] = std::clamp(static_cast<int>(std::lround(mv)) + noise(rng), 0, 65535);
        sum += cell_mv[at];
        set_reg(wire::CELLS + k, static_cast<quint16>(cell_mv[at]));
    }
    const int lowest = *std::min_element(cell_mv.begin(), cell_mv.end());
    const int highest = *std::max_element(cell_mv.begin(), cell_mv.end());
    const bool charging = current_ma > 0;
    set_reg(wire::PACK_VOLTAGE, static_cast<quint16>(sum / 10));
    set_reg(wire::CURRENT, static_cast<quint16>(static_cast<qint16>(current_ma / 10)));
    set_reg(wire::CHARGE_MAH, static_cast<quint16>(charge_mah));
    set_reg(wire::CHARGE_PERCENT,
            static_cast<quint16>(std::lround(std::clamp(soc, 0.0, 1.0) * 100)));

    const int t1 = static_cast<int>(std::lround(temperature_c));
    sensor_2_c = t1 + SENSOR_2_ABOVE_C;
    if (setup.hot_sensor) {
        const double runaway_c =
            std::min(START_TEMPERATURE_C + SENSOR_2_ABOVE_C + elapsed_s, setup.hot_sensor_c + 10);
        sensor_2_c = std::max(sensor_2_c, static_cast<int>(std::lround(runaway_c)));
    }
    set_reg(wire::TEMPERATURES, static_cast<quint16>(std::clamp(t1 + 20, 0, 255) |
                                                     (std::clamp(sensor_2_c + 20, 0, 255) << 8)));

    const int mode = reg(wire::BALANCE_MODE);
    const bool may_balance = mode == 1 || (mode == 0 && charging);
    quint16 balancing = 0;
    for (int k = 0; k < wire::CELL_COUNT; ++k) {
        const int v = cell_mv[static_cast<size_t>(k)];
        if (may_balance && v >= reg(wire::BALANCE_FROM) &&
            v > lowest + reg(wire::BALANCE_THRESHOLD))
            balancing |= static_cast<quint16>(1u << k);
    }
    set_reg(wire::BALANCING, balancing);

    quint16 status = reg(wire::FLAGS) & wire::FLAG_OVERHEAT; // the protection's to set
    if (charging)
        status |= wire::FLAG_CHARGING;
    if (highest >= reg(wire::NO_RECUPERATION_FROM))
        status |= wire::FLAG_NO_RECUPERATION;
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
