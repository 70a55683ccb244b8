#include "sim/bms_model.h"

#include "monitor/register_map.h"

#include <algorithm>
#include <cmath>

namespace
{

// One charge then discharge round; long enough to look like riding, short enough
// to see everything move within a couple of minutes.
constexpr double CHARGE_PHASE_S = 40;
constexpr double CYCLE_S = 120;
constexpr double CELL_RESISTANCE_OHM = 0.008;

quint16 pack_date(int day, int month, int year)
{
    return static_cast<quint16>(day | (month << 5) | ((year - 2000) << 9));
}

bool checksum_ok(const QByteArray &frame, int length)
{
    const auto expected = static_cast<quint16>(frame_checksum(frame, static_cast<quint8>(length)));
    const auto got = static_cast<quint16>(static_cast<quint8>(frame.at(length)) |
                                          (static_cast<quint8>(frame.at(length + 1)) << 8));
    return expected == got;
}

} // namespace

BmsModel::BmsModel(quint32 seed) : rng(seed)
{
    const quint16 curve[DSG_CURVE_POINTS] = {3000, 3350, 3480, 3560, 3620, 3680,
                                             3760, 3850, 3940, 4040, 4150};
    for (int k = 0; k < DSG_CURVE_POINTS; ++k)
        set_reg(REG_DSG_CURVE + k, curve[k]);

    const char serial[] = "SIM10S-0000042";
    for (int i = 0; i < SERIAL_NUMBER_BYTES; ++i)
        regs[static_cast<size_t>(2 * REG_SERIAL_NUMBER + i)] = static_cast<quint8>(serial[i]);
    set_reg(REG_BMS_FIRMWARE, 18);
    set_reg(REG_BATTERY_CAPACITY, 7800);
    set_reg(REG_DATE_OF_PRODUCTION, pack_date(15, 6, 2023));

    set_reg(REG_SHORT_CIRCUIT_CURRENT, 3);       // 111 A
    set_reg(REG_SHORT_CIRCUIT_DELAY, 1);         // 100 us
    set_reg(REG_SHORT_CIRCUIT_COOLDOWN, 5000);   // ms
    set_reg(REG_DISCHARGE_OVERCURRENT, 4);       // 39 A
    set_reg(REG_DISCHARGE_OVERCURRENT_DELAY, 4); // 160 ms
    set_reg(REG_DISCHARGE_OVERCURRENT_COOLDOWN, 10000);
    set_reg(REG_CHARGE_OVERCURRENT, 5000); // mA
    set_reg(REG_CHARGE_OVERCURRENT_DELAY, 1000);
    set_reg(REG_CHARGE_OVERCURRENT_COOLDOWN, 30000);
    set_reg(REG_OVERVOLTAGE_VOLTAGE, 4200);
    set_reg(REG_OVERVOLTAGE_DELAY, 1); // 2 s
    set_reg(REG_OVERVOLTAGE_HYSTERESIS, 100);
    set_reg(REG_UNDERVOLTAGE_VOLTAGE, 3000);
    set_reg(REG_UNDERVOLTAGE_DELAY, 1); // 4 s
    set_reg(REG_UNDERVOLTAGE_HYSTERESIS, 200);
    set_reg(REG_LOWEST_VOLTAGE_TO_BALANCE, 3900);
    set_reg(REG_CELL_DISBALANCE_THRESHOLD, 20);
    set_reg(REG_SHUTDOWN_VOLTAGE, 2800);
    set_reg(REG_CRITICAL_INT_TEMP, 60);
    set_reg(REG_CRITICAL_TEMP_DELAY, 5000);
    set_reg(REG_CRITICAL_TEMP_HYSTERESIS, 5);
    set_reg(REG_RECUPERATION_DISABLE_VOLTAGE, 4150);
    set_reg(REG_ADC_GAIN, 380);
    set_reg(REG_ADC_OFFSET, static_cast<quint16>(-12));
    set_reg(REG_BALANCE_MODE, 0);
    set_reg(REG_CHARGING_ENABLED, 1);
    set_reg(REG_DISCHARGING_ENABLED, 1);

    const quint8 identifier[BMS_SERIAL_BYTES] = {0x0A, 0x3F, 0x00, 0x17, 0x51, 0x33,
                                                 0x4B, 0x52, 0x20, 0x38, 0x31, 0x47};
    for (int i = 0; i < BMS_SERIAL_BYTES; ++i)
        regs[static_cast<size_t>(2 * REG_BMS_SERIAL + i)] = identifier[i];

    // Cells of one pack are never quite equal; a few tens of millivolts apart is
    // enough for the balancer to have something to do while charging.
    std::uniform_int_distribution<int> spread(-25, 25);
    for (int &offset : cell_offset_mv)
        offset = spread(rng);
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
    if (frame.size() < FRAME_OVERHEAD + 1)
        return {};
    const int len = static_cast<quint8>(frame.at(2));
    if (frame.size() != len + FRAME_OVERHEAD || !checksum_ok(frame, len + 4))
        return {};
    if (static_cast<quint8>(frame.at(0)) != FRAME_HEADER_1 ||
        static_cast<quint8>(frame.at(1)) != FRAME_HEADER_2 ||
        static_cast<quint8>(frame.at(3)) != ADDR_TO_BMS)
        return {};

    switch (static_cast<quint8>(frame.at(4))) {
    case CMD_READ_REGISTERS:
        if (len != 3)
            return {};
        // A read of exactly the status registers is the tool's upgrade status poll.
        if (static_cast<quint8>(frame.at(5)) == SIM_STATUS_REGISTER &&
            static_cast<quint8>(frame.at(6)) == 4 && !loader.status_polled(regs))
            return {};
        return read_reply(static_cast<quint8>(frame.at(5)), static_cast<quint8>(frame.at(6)));
    case CMD_WRITE_REGISTERS:
        write_registers(frame);
        return {};
    case CMD_FLASH_ERASE:
    case CMD_FLASH_WRITE:
    case CMD_FLASH_CHECK_CRC:
        loader.handle_command(frame, regs);
        return {};
    default:
        return {};
    }
}

QByteArray BmsModel::read_reply(quint8 first_register, quint8 byte_count) const
{
    if (byte_count + 2 > MAX_FRAME_LEN)
        return {};
    QByteArray reply;
    reply.append(static_cast<char>(FRAME_HEADER_1));
    reply.append(static_cast<char>(FRAME_HEADER_2));
    reply.append(static_cast<char>(byte_count + 2));
    reply.append(static_cast<char>(ADDR_FROM_BMS));
    reply.append(static_cast<char>(CMD_READ_REGISTERS));
    reply.append(static_cast<char>(first_register));
    // Past register 0x7F there is nothing; such bytes read as zero.
    for (int i = 0; i < byte_count; ++i) {
        const int at = 2 * first_register + i;
        reply.append(
            static_cast<char>(at < REGISTER_IMAGE_SIZE ? regs[static_cast<size_t>(at)] : 0));
    }
    append_checksum(reply);
    return reply;
}

void BmsModel::write_registers(const QByteArray &frame)
{
    const int len = static_cast<quint8>(frame.at(2));
    const int n = static_cast<quint8>(frame.at(6));
    if (len != n + 5 || !checksum_ok(frame, 7 + n))
        return;
    const int start = 2 * static_cast<quint8>(frame.at(5));
    for (int i = 0; i < n && start + i < REGISTER_IMAGE_SIZE; ++i)
        regs[static_cast<size_t>(start + i)] = static_cast<quint8>(frame.at(7 + i));
}

int BmsModel::open_circuit_mv(double state_of_charge) const
{
    // The pack follows its own discharge curve, so a curve written by the tool
    // shows in the cell voltages.
    const double position = std::clamp(state_of_charge, 0.0, 1.0) * (DSG_CURVE_POINTS - 1);
    const int below = std::min(static_cast<int>(position), DSG_CURVE_POINTS - 2);
    const double share = position - below;
    const double low = reg(REG_DSG_CURVE + below);
    const double high = reg(REG_DSG_CURVE + below + 1);
    return static_cast<int>(std::lround(low + (high - low) * share));
}

void BmsModel::advance(int ms)
{
    elapsed_s += ms / 1000.0;
    const double phase = std::fmod(elapsed_s, CYCLE_S);
    const bool charging = phase < CHARGE_PHASE_S;
    if (charging)
        current_ma = 3000 + 150 * std::sin(elapsed_s / 3.0);
    else
        current_ma = -8000 - 3500 * std::sin(elapsed_s / 6.0);

    const double capacity = std::max<quint16>(reg(REG_BATTERY_CAPACITY), 1);
    charge_mah = std::clamp(charge_mah + current_ma * ms / 3.6e6, 0.0, capacity);
    // Heat follows the current slowly.
    const double target_c = 23 + std::abs(current_ma) / 1000.0 * 1.2;
    temperature_c += (target_c - temperature_c) * std::min(1.0, ms / 20000.0);
    update_live_registers();
}

void BmsModel::update_live_registers()
{
    const double capacity = std::max<quint16>(reg(REG_BATTERY_CAPACITY), 1);
    const double soc = charge_mah / capacity;
    const int ocv = open_circuit_mv(soc);
    const int drop =
        static_cast<int>(std::lround(current_ma / 1000.0 * CELL_RESISTANCE_OHM * 1000));
    std::uniform_int_distribution<int> noise(-2, 2);

    int sum = 0;
    int lowest = 65535;
    std::array<int, CELL_COUNT> cells{};
    for (int k = 0; k < CELL_COUNT; ++k) {
        cells[static_cast<size_t>(k)] =
            std::clamp(ocv + drop + cell_offset_mv[static_cast<size_t>(k)] + noise(rng), 0, 65535);
        sum += cells[static_cast<size_t>(k)];
        lowest = std::min(lowest, cells[static_cast<size_t>(k)]);
        set_reg(REG_CELL_VOLTAGES + k, static_cast<quint16>(cells[static_cast<size_t>(k)]));
    }
    const bool charging = current_ma > 0;
    set_reg(REG_BATTERY_VOLTAGE, static_cast<quint16>(sum / 10));
    set_reg(REG_BATTERY_CURRENT, static_cast<quint16>(static_cast<qint16>(current_ma / 10)));
    set_reg(REG_REMAIN_BATTERY_CAPACITY_MAH, static_cast<quint16>(charge_mah));
    set_reg(REG_REMAIN_BATTERY_CAPACITY_PERCENTS,
            static_cast<quint16>(std::lround(std::clamp(soc, 0.0, 1.0) * 100)));

    const int t1 = static_cast<int>(std::lround(temperature_c));
    const int t2 = t1 + 2;
    set_reg(REG_TEMPERATURES,
            static_cast<quint16>(std::clamp(t1 + 20, 0, 255) | (std::clamp(t2 + 20, 0, 255) << 8)));

    const int mode = reg(REG_BALANCE_MODE);
    const bool may_balance = mode == 1 || (mode == 0 && charging);
    quint16 balancing = 0;
    int highest = 0;
    for (int k = 0; k < CELL_COUNT; ++k) {
        const int v = cells[static_cast<size_t>(k)];
        highest = std::max(highest, v);
        if (may_balance && v >= reg(REG_LOWEST_VOLTAGE_TO_BALANCE) &&
            v > lowest + reg(REG_CELL_DISBALANCE_THRESHOLD))
            balancing |= static_cast<quint16>(1u << k);
    }
    set_reg(REG_BALANCING_CELLS, balancing);

    quint16 status = 0;
    if (charging)
        status |= STATUS_CHARGING;
    if (highest >= reg(REG_RECUPERATION_DISABLE_VOLTAGE))
        status |= STATUS_RECUPERATION_DISABLED;
    if (t2 >= reg(REG_CRITICAL_INT_TEMP))
        status |= STATUS_OVERHEAT;
    set_reg(REG_STATUS_FLAGS, status);
}

void FrameAssembler::feed(const QByteArray &bytes)
{
    pending.append(bytes);
}

bool FrameAssembler::next_frame(QByteArray &frame)
{
    while (pending.size() >= 2) {
        if (static_cast<quint8>(pending.at(0)) != FRAME_HEADER_1 ||
            static_cast<quint8>(pending.at(1)) != FRAME_HEADER_2) {
            pending.remove(0, 1);
            continue;
        }
        if (pending.size() < 3)
            return false;
        const int len = static_cast<quint8>(pending.at(2));
        if (len > MAX_FRAME_LEN) {
            pending.remove(0, 1);
            continue;
        }
        const int size = len + FRAME_OVERHEAD;
        if (pending.size() < size)
            return false;
        const QByteArray candidate = pending.left(size);
        if (!checksum_ok(candidate, len + 4)) {
            pending.remove(0, 1);
            continue;
        }
        pending.remove(0, size);
        frame = candidate;
        return true;
    }
    return false;
}
