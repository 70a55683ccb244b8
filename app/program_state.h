#ifndef PROGRAM_STATE_H
#define PROGRAM_STATE_H

// The program-wide objects that the dialog's slots share. There is exactly one
// dialog and one thread, so there is exactly one of each and no locking.

#include "link/frame.h"
#include "upgrade/firmware_image.h"
#include "upgrade/sequencer.h"

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

class QSerialPort;
class QTimer;

extern QSerialPort *serial_port;

extern QTimer *bms_registers_request_send_timer;
extern QTimer *values_refresh_timer;
extern QTimer *disconnect_timer;
extern QTimer *upgrade_command_check_timer;
extern QTimer *upgrade_command_retry_timer;

constexpr qint32 bms_request_period_ms = 100;
constexpr qint32 values_refresh_period_ms = 500;
constexpr int disconnect_period_ms = 1000;

// Link: the frame being sent by polling, status polls and parameter writes; the
// last batch read from the port; the batch copied for checking; the register image.
extern QByteArray tx_frame;
extern QByteArray rx_buffer;
extern RegisterImage reply_buffer;
extern RegisterImage bms_registers;
extern qint32 register_request_offset;

// Firmware upgrade.
extern QByteArray upgrade_frame;
extern QFile firmware_file;
extern FirmwareImage firmware_image;
extern quint16 hex_lines_total;
extern quint8 upgrade_state;
extern quint8 upgrade_attempt;
extern quint16 hex_line_number;
extern quint32 firmware_crc;

#endif // PROGRAM_STATE_H
