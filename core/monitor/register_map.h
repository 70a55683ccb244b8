#ifndef MONITOR_REGISTER_MAP_H
#define MONITOR_REGISTER_MAP_H

// The BMS register space as the tool reads and writes it. Register r is the
// 16-bit word at bytes 2r (low) and 2r+1 (high) of the register image.

#include <QtGlobal>

#include <array>

constexpr quint8 REG_DSG_CURVE = 0x05; // 11 points, 0 % .. 100 % in 10 % steps, mV
constexpr int DSG_CURVE_POINTS = 11;
constexpr quint8 REG_SERIAL_NUMBER = 0x10; // 14 bytes of text, 0x10 .. 0x16
constexpr int SERIAL_NUMBER_BYTES = 14;
constexpr quint8 REG_BMS_FIRMWARE = 0x17;       // low byte
constexpr quint8 REG_BATTERY_CAPACITY = 0x18;   // mAh
constexpr quint8 REG_DATE_OF_PRODUCTION = 0x20; // day | month << 5 | (year - 2000) << 9
constexpr quint8 REG_STATUS_FLAGS = 0x30;
constexpr quint8 REG_REMAIN_BATTERY_CAPACITY_MAH = 0x31;
constexpr quint8 REG_REMAIN_BATTERY_CAPACITY_PERCENTS = 0x32; // low byte
constexpr quint8 REG_BATTERY_CURRENT = 0x33;                  // signed, 10 mA
constexpr quint8 REG_BATTERY_VOLTAGE = 0x34;                  // 10 mV
constexpr quint8 REG_TEMPERATURES = 0x35;                     // low: T1 + 20, high: T2 + 20
constexpr quint8 REG_CELL_VOLTAGES = 0x40;                    // 10 cells, mV
constexpr int CELL_COUNT = 10;
constexpr quint8 REG_SHORT_CIRCUIT_CURRENT = 0x51;          // code
constexpr quint8 REG_SHORT_CIRCUIT_DELAY = 0x52;            // code
constexpr quint8 REG_SHORT_CIRCUIT_COOLDOWN = 0x53;         // ms
constexpr quint8 REG_DISCHARGE_OVERCURRENT = 0x54;          // code
constexpr quint8 REG_DISCHARGE_OVERCURRENT_DELAY = 0x55;    // code
constexpr quint8 REG_DISCHARGE_OVERCURRENT_COOLDOWN = 0x56; // ms
constexpr quint8 REG_CHARGE_OVERCURRENT = 0x57;             // mA
constexpr quint8 REG_CHARGE_OVERCURRENT_DELAY = 0x58;       // ms
constexpr quint8 REG_CHARGE_OVERCURRENT_COOLDOWN = 0x59;    // ms
constexpr quint8 REG_OVERVOLTAGE_VOLTAGE = 0x5A;            // mV
constexpr quint8 REG_OVERVOLTAGE_DELAY = 0x5B;              // code
constexpr quint8 REG_OVERVOLTAGE_HYSTERESIS = 0x5C;         // mV
constexpr quint8 REG_UNDERVOLTAGE_VOLTAGE = 0x5D;           // mV
constexpr quint8 REG_UNDERVOLTAGE_DELAY = 0x5E;             // code
constexpr quint8 REG_UNDERVOLTAGE_HYSTERESIS = 0x5F;        // mV
constexpr quint8 REG_LOWEST_VOLTAGE_TO_BALANCE = 0x61;      // mV
constexpr quint8 REG_CELL_DISBALANCE_THRESHOLD = 0x62;      // mV
constexpr quint8 REG_SHUTDOWN_VOLTAGE = 0x63;               // mV
constexpr quint8 REG_CRITICAL_INT_TEMP = 0x64;              // deg C
constexpr quint8 REG_CRITICAL_TEMP_DELAY = 0x65;            // ms
constexpr quint8 REG_CRITICAL_TEMP_HYSTERESIS = 0x66;       // deg C
constexpr quint8 REG_RECUPERATION_DISABLE_VOLTAGE = 0x67;   // mV
constexpr quint8 REG_BALANCING_CELLS = 0x68;                // bit k-1: cell k
constexpr quint8 REG_LAST_PROCESSED_COMMAND = 0x69;         // 0x69 and 0x6A, 4 bytes
constexpr quint8 REG_ADC_GAIN = 0x6B;                       // uV per LSB
constexpr quint8 REG_ADC_OFFSET = 0x6C;                     // signed, mV
constexpr quint8 REG_BALANCE_MODE = 0x6D;                   // 0, 1, 2
constexpr quint8 REG_CHARGING_ENABLED = 0x6E;
constexpr quint8 REG_DISCHARGING_ENABLED = 0x6F;
constexpr quint8 REG_BMS_SERIAL = 0x70; // 12 bytes, 0x70 .. 0x75
constexpr int BMS_SERIAL_BYTES = 12;

constexpr quint16 STATUS_CHARGING = 0x0040;
constexpr quint16 STATUS_RECUPERATION_DISABLED = 0x0200;
constexpr quint16 STATUS_OVERHEAT = 0x0400;

// Decode tables of the coded settings: the register holds the index.
constexpr std::array<quint16, 4> OVERVOLTAGE_DELAY_S = {1, 2, 4, 8};
constexpr std::array<quint16, 4> UNDERVOLTAGE_DELAY_S = {1, 4, 8, 16};
constexpr std::array<quint16, 4> SHORT_CIRCUIT_DELAY_US = {70, 100, 200, 400};
constexpr std::array<quint16, 8> SHORT_CIRCUIT_CURRENT_A = {44, 67, 89, 111, 133, 155, 178, 200};
constexpr std::array<quint16, 8> DISCHARGE_OVERCURRENT_DELAY_MS = {8,   20,  40,  80,
                                                                   160, 320, 640, 1280};
constexpr std::array<quint16, 16> DISCHARGE_OVERCURRENT_A = {17, 22, 28, 33, 39, 44, 50, 56,
                                                             61, 67, 72, 78, 83, 89, 94, 100};

#endif // MONITOR_REGISTER_MAP_H
