#ifndef SIM_WIRE_H
#define SIM_WIRE_H

// What the simulated BMS knows of the link and of its own memory: frame layout,
// commands, register numbers, the frame checksum and the loader's CRC. Written
// here on purpose rather than shared with the tool: when both sides carry their
// own copy, a slip in either shows up as a conversation that fails instead of
// the same mistake agreeing with itself.
//
//   55 AA LEN ADDR CMD REG payload... CHK_LO CHK_HI
// LEN counts CMD up to the byte before the checksum.

#include <QByteArray>
#include <QtGlobal>

#include <array>

namespace wire
{

constexpr quint8 SYNC_A = 0x55;
constexpr quint8 SYNC_B = 0xAA;
constexpr quint8 TO_BMS = 0x22;
constexpr quint8 FROM_BMS = 0x25;

// Positions in a frame.
constexpr int AT_LEN = 2;
constexpr int AT_ADDR = 3;
constexpr int AT_CMD = 4;
constexpr int AT_REG = 5;
constexpr int ENVELOPE = 6;      // sync, LEN, address and checksum around the LEN bytes
constexpr int LONGEST_LEN = 249; // a frame never exceeds 255 bytes

enum Command : quint8 {
    READ = 0x01,
    WRITE = 0xFE,
    ERASE = 0xFA,
    PROGRAM_LINE = 0xFB,
    CHECK_CRC = 0xFD,
};

// 128 registers of 16 bits, register r low byte first at 2r.
constexpr int REGISTER_BYTES = 256;
using Registers = std::array<quint8, REGISTER_BYTES>;

// The application flash the loader writes and checks, 0x0000..0x37FF.
constexpr int FLASH_BYTES = 14336;
using Flash = std::array<quint8, FLASH_BYTES>;

// The registers the simulated BMS fills or consults.
enum Reg : quint8 {
    CURVE = 0x05, // 11 points, 0 % to 100 %, mV
    SERIAL_TEXT = 0x10,
    FIRMWARE = 0x17,
    CAPACITY = 0x18, // mAh
    PRODUCED = 0x20, // day | month << 5 | (year - 2000) << 9
    FLAGS = 0x30,
    CHARGE_MAH = 0x31,
    CHARGE_PERCENT = 0x32,
    CURRENT = 0x33,      // signed, 10 mA
    PACK_VOLTAGE = 0x34, // 10 mV
    TEMPERATURES = 0x35, // low byte sensor 1, high byte sensor 2, each deg C + 20
    CELLS = 0x40,        // mV
    SC_CURRENT = 0x51,
    SC_DELAY = 0x52,
    SC_COOLDOWN = 0x53,
    DSG_OC = 0x54,
    DSG_OC_DELAY = 0x55,
    DSG_OC_COOLDOWN = 0x56,
    CHG_OC = 0x57,
    CHG_OC_DELAY = 0x58,
    CHG_OC_COOLDOWN = 0x59,
    OV = 0x5A,
    OV_DELAY = 0x5B,
    OV_HYSTERESIS = 0x5C,
    UV = 0x5D,
    UV_DELAY = 0x5E,
    UV_HYSTERESIS = 0x5F,
    BALANCE_FROM = 0x61,
    BALANCE_THRESHOLD = 0x62,
    SHUTDOWN = 0x63,
    CRITICAL_TEMP = 0x64,
    CRITICAL_TEMP_DELAY = 0x65,
    CRITICAL_TEMP_HYSTERESIS = 0x66,
    NO_RECUPERATION_FROM = 0x67,
    BALANCING = 0x68, // bit k-1: cell k
    LOADER_STATUS = 0x69,
    ADC_GAIN = 0x6B,
    ADC_OFFSET = 0x6C,
    BALANCE_MODE = 0x6D,
    CHARGE_ON = 0x6E,
    DISCHARGE_ON = 0x6F,
    BMS_ID = 0x70,
};

constexpr int CURVE_POINTS = 11;
constexpr int SERIAL_TEXT_BYTES = 14;
constexpr int CELL_COUNT = 10;
constexpr int BMS_ID_BYTES = 12;
constexpr int LOADER_STATUS_BYTES = 4;

constexpr quint16 FLAG_CHARGING = 0x0040;
constexpr quint16 FLAG_NO_RECUPERATION = 0x0200;
constexpr quint16 FLAG_OVERHEAT = 0x0400;

// 0xFFFF less the 16-bit sum of frame[2] .. frame[end - 1]; end <= frame.size().
quint16 checksum(const QByteArray &frame, int end);
// Whether the two bytes at `end` hold, low byte first, the checksum of what precedes them.
bool sealed_at(const QByteArray &frame, int end);
// Appends the checksum of the whole frame so far.
void seal(QByteArray &frame);

// The CRC the loader checks its flash with: CRC-32, polynomial 0x04C11DB7, start
// 0xFFFFFFFF, nothing reflected, no final XOR, over little-endian 32-bit words; a
// tail of 1 to 3 bytes fills the high end of one more word.
quint32 loader_crc(const quint8 *data, int size);

} // namespace wire

#endif // SIM_WIRE_H
