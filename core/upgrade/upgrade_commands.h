#ifndef UPGRADE_UPGRADE_COMMANDS_H
#define UPGRADE_UPGRADE_COMMANDS_H

// The commands that drive the BMS firmware loader, and the rule by which the
// status it reports in registers 0x69/0x6A confirms the command just sent.

#include "monitor/register_map.h"
#include "upgrade/hex_file.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Where an upgrade stands: which command is outstanding.
enum class UpgradePhase : quint8 {
    Idle,
    Erasing,
    SendingLines,
    CheckingCrc,
};

constexpr int UPGRADE_MAX_ATTEMPTS = 10;

// The loader writes the last command it carried out into REG_LAST_PROCESSED_COMMAND:
// 4 bytes, registers 0x69 and 0x6A, read with an ordinary read request.
constexpr quint8 UPGRADE_STATUS_BYTES = 4;

// Time the loader gets to carry out a command before its status is polled.
constexpr int ERASE_DELAY_MS = 500;
constexpr int WRITE_DELAY_MS = 50;
constexpr int CRC_DELAY_MS = 500;
// How long the status reply may take before the command is sent again.
constexpr int STATUS_REPLY_WINDOW_MS = 100;

// CRC-32 with polynomial 0x04C11DB7, no reflection and no final XOR, over the data
// taken as little-endian 32-bit words. A tail of 1 to 3 bytes is placed at the high
// end of one more word. This is what the loader computes over its flash.
quint32 crc32_words(quint32 initial, const quint8 *data, int length);

// 55 AA 04 22 FA 01 01 01 CHK
QByteArray build_erase_command();
// 55 AA (n+4) 22 FB n addrH addrL data... CHK
QByteArray build_write_command(const HexRecord &record);
// 55 AA 05 22 FD c0 c1 c2 c3 CHK, CRC least significant byte first
QByteArray build_crc_command(quint32 crc);

// Delay before the status poll that follows `frame`.
int command_delay_ms(const QByteArray &frame);

// A duration as an upgrade announces it: "m:ss", from an hour on "h:mm:ss".
QString duration_text(double seconds);

// Byte `index` of `frame`, or 0 past its end.
quint8 frame_byte(const QByteArray &frame, int index);

// Whether `status` (s0..s3 as received) confirms the command in `frame`: it must
// repeat bytes 4..7 of the frame. Four zero bytes also confirm the CRC check, which
// the loader reports that way once it has started the new firmware.
bool status_accepted(const quint8 *status, const QByteArray &frame, UpgradePhase phase);

#endif // UPGRADE_UPGRADE_COMMANDS_H
